// Any bytes as the process's command line: the tail finder and the split.
// The tail is the end of the line after the program name and its blanks,
// and an unquoted name holds no blank or control character; at most nine
// entries are filled, the
// rest stay empty; and where the tail holds no double quote, the entries are
// exactly its first nine runs of characters between delimiters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

constexpr std::string_view kDelimiters = " ,;\t";

std::vector<std::string> runsBetweenDelimiters(std::string_view tail) {
    std::vector<std::string> runs;
    std::size_t at = 0;
    while ((at = tail.find_first_not_of(kDelimiters, at)) != std::string_view::npos) {
        const std::size_t end = std::min(tail.find_first_of(kDelimiters, at), tail.size());
        runs.emplace_back(tail.substr(at, end - at));
        at = end;
    }
    return runs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::string_view tail = talven::app::commandLineTail(line);
    require(tail.size() <= line.size() && tail.data() + tail.size() == line.data() + line.size());
    require(tail.empty() || tail.front() != ' ');
    // An unquoted program name ends at the first blank or control character.
    const std::string_view name = line.substr(0, line.size() - tail.size());
    if (!line.empty() && line.front() != '"') {
        const std::string_view unpadded = name.substr(0, name.find_last_not_of(' ') + 1);
        for (char c : unpadded) require(static_cast<unsigned char>(c) > ' ');
    }
    const talven::app::ArgumentTable table = talven::app::splitArguments(tail);
    require(table.count >= 0 && table.count <= talven::app::kArgumentSlots);
    for (int index = table.count + 1; index <= talven::app::kArgumentSlots; ++index) require(table.entry(index).empty());
    for (int index = 1; index <= table.count; ++index) require(table.entry(index).size() <= tail.size());
    if (tail.find('"') == std::string_view::npos) {
        const std::vector<std::string> runs = runsBetweenDelimiters(tail);
        require(static_cast<std::size_t>(table.count) == std::min<std::size_t>(runs.size(), talven::app::kArgumentSlots));
        for (int index = 1; index <= table.count; ++index)
            require(table.entry(index) == runs[static_cast<std::size_t>(index - 1)]);
    }
    return 0;
}
