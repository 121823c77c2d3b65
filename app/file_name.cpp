#include "file_name.h"

namespace talven::app {

FileNameParts splitFileName(std::string_view localPath) {
    std::size_t separator = localPath.find_last_of(":\\/");
    std::string_view fileName = separator == std::string_view::npos ? localPath : localPath.substr(separator + 1);
    std::size_t stop = fileName.rfind('.');
    if (stop == std::string_view::npos) return {std::string(), std::string(fileName)};
    return {std::string(fileName.substr(0, stop)), std::string(fileName.substr(stop))};
}

}  // namespace talven::app
