#include "special_file.h"

#include <sys/stat.h>

namespace testftp {

bool makeSpecialFile(const std::string& path) { return mkfifo(path.c_str(), 0666) == 0; }

}  // namespace testftp
