#include "file_limit.h"

namespace testftp {

// Windows has no per-process file size or memory limit, and its files have
// security descriptors rather than owner numbers.
FileSizeLimit::FileSizeLimit(std::uint64_t) {}
FileSizeLimit::~FileSizeLimit() {}
bool FileSizeLimit::supported() { return false; }

MemoryLimit::MemoryLimit(std::uint64_t) {}
MemoryLimit::~MemoryLimit() {}
bool MemoryLimit::supported() { return false; }

FileOwner ownerOf(const std::string&) { return FileOwner{}; }
bool setOwner(const std::string&, FileOwner) { return false; }

}  // namespace testftp
