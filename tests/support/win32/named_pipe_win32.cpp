#include "named_pipe.h"

namespace testftp {

// Windows keeps its devices and pipes out of the directories.
bool makeNamedPipe(const std::string&) { return false; }

// A device name stands for the device with a suffix and in any folder too.
std::vector<std::string> deviceNames() { return {"NUL", "CON", "COM1", "nul.txt", "sub\\CON.txt"}; }

}  // namespace testftp
