// A directory entry that is neither a plain file nor a directory: a named
// pipe, standing for devices and the like. Not every platform has one.
#pragma once

#include <string>

namespace testftp {

// True when the entry was made at path.
bool makeNamedPipe(const std::string& path);

}  // namespace testftp
