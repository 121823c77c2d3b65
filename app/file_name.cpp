#include "file_name.h"

namespace talven::app {

namespace {

std::size_t fileNameStart(std::string_view path, bool (*isLeadByte)(char)) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (isLeadByte(path[i])) ++i;
        else if (path[i] == ':' || path[i] == '\\' || path[i] == '/') start = i + 1;
    }
    return start;
}

}  // namespace

// A full stop is never the second byte of a character, so the last one is
// the suffix's.
FileNameParts splitFileName(std::string_view localPath, bool (*isLeadByte)(char)) {
    std::string_view fileName = localPath.substr(fileNameStart(localPath, isLeadByte));
    std::size_t stop = fileName.rfind('.');
    if (stop == std::string_view::npos) return {std::string(), std::string(fileName)};
    return {std::string(fileName.substr(0, stop)), std::string(fileName.substr(stop))};
}

}  // namespace talven::app
