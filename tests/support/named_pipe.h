// A directory entry that is neither a plain file nor a directory: a named
// pipe, standing for devices and the like. Not every platform has one.
#pragma once

#include <string>
#include <vector>

namespace testftp {

// True when the entry was made at path.
bool makeNamedPipe(const std::string& path);

// Paths that name a device, not a file, relative to the current directory.
std::vector<std::string> deviceNames();

}  // namespace testftp
