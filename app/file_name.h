// The remote name of an upload: the local file name, split so that a retry
// can replace the stem and keep the suffix.
#pragma once

#include <string>
#include <string_view>

namespace talven::app {

struct FileNameParts {
    std::string stem;
    // From the last full stop on; the whole file name when it has none.
    std::string suffix;
};

// The file name is what follows the path's last colon, backslash or slash.
FileNameParts splitFileName(std::string_view localPath);

}  // namespace talven::app
