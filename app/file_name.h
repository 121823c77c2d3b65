// The remote name of an upload: the local file name, split so that a retry
// can replace the stem and keep the suffix.
#pragma once

#include <string>
#include <string_view>

#include "os.h"

namespace talven::app {

struct FileNameParts {
    std::string stem;
    // From the last full stop on; the whole file name when it has none.
    std::string suffix;
};

// The file name is what follows the path's last colon, backslash or slash;
// isLeadByte marks the first byte of a two-byte character, whose second byte
// is never a separator (by default the system's code page tells).
FileNameParts splitFileName(std::string_view localPath, bool (*isLeadByte)(char) = os::isLeadByte);

}  // namespace talven::app
