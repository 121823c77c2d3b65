// Local files opened under connection numbers, in the same number space and
// open list as the TCP streams; StreamClose closes them too.
//
// Failures record the file error numbers:
//  53 file not found        61 disk full            67 too many open files
//  64 bad file name         68 invalid drive        70 access denied / in use
//  71 drive not ready       72 device I/O error     75 any other failure
//  76 path not found        52 nothing open under the number
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "open_list.h"
#include "os.h"

namespace talven {

// Opens an existing file for reading; while it is open other programs may
// read it but not write it, where the platform can prevent that.
void LocalFileOpenForReading(std::int32_t number, const std::string& path);
// Creates a new file for reading and writing, shared with nobody.
void LocalFileCreate(std::int32_t number, const std::string& path);
// Reads up to count bytes; fewer only at the end of the file.
std::size_t LocalFileRead(std::int32_t number, char* buffer, std::size_t count);
// Moves the read position to offset bytes from the start; false with the
// error number recorded when it cannot.
bool LocalFileSeek(std::int32_t number, std::int64_t offset);
// Writes all count bytes; returns how many reached the file, fewer only
// after a failure.
std::size_t LocalFileWrite(std::int32_t number, const char* bytes, std::size_t count);
// Puts the file's data on the disk; the error number (recorded too), or 0.
std::int32_t LocalFileFlush(std::int32_t number);
// The platform's handle of the file open under number; false, with 52
// recorded, when no file is open there.
bool LocalFileHandle(std::int32_t number, os::FileHandle& handle);
// Size and last-write stamp of the open file (size -1 after a failure).
os::FileIdentity LocalFileIdentity(std::int32_t number);

}  // namespace talven
