#include "special_file.h"

namespace testftp {

// Windows keeps its devices and pipes out of the directories.
bool makeSpecialFile(const std::string&) { return false; }

}  // namespace testftp
