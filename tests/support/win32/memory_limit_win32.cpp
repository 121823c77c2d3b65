#include "memory_limit.h"

namespace testftp {

// No such limit is set here; the tests that need one are skipped.
MemoryLimit::MemoryLimit(std::uint64_t) {}
MemoryLimit::~MemoryLimit() {}
bool MemoryLimit::supported() { return false; }

}  // namespace testftp
