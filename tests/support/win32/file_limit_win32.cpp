#include "file_limit.h"

namespace testftp {

// Windows has no per-process file size limit.
FileSizeLimit::FileSizeLimit(std::uint64_t) {}
FileSizeLimit::~FileSizeLimit() {}
bool FileSizeLimit::supported() { return false; }

}  // namespace testftp
