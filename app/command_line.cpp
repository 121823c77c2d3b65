#include "command_line.h"

#include "os.h"

namespace talven::app {

namespace {

constexpr std::string_view kDelimiters = " ,;\t";

std::size_t skipBlanks(std::string_view text, std::size_t from) {
    std::size_t end = text.find_first_not_of(' ', from);
    return end == std::string_view::npos ? text.size() : end;
}

// The name ends at the first control character or blank; a blank is
// skipped with those after it, anything else already belongs to the tail.
std::size_t endOfUnquotedProgramName(std::string_view line) {
    std::size_t end = 0;
    while (end < line.size() && static_cast<unsigned char>(line[end]) > ' ') ++end;
    return end < line.size() && line[end] == ' ' ? skipBlanks(line, end) : end;
}

std::size_t endOfQuotedProgramName(std::string_view line) {
    std::size_t closing = line.find('"', 1);
    return closing == std::string_view::npos ? line.size() : skipBlanks(line, closing + 1);
}

std::size_t endOfFieldText(std::string_view tail, std::size_t from) {
    std::size_t end = tail.find_first_of(kDelimiters, from);
    return end == std::string_view::npos ? tail.size() : end;
}

// Takes one field starting at position, which holds no delimiter, and moves
// position past it.
std::string takeField(std::string_view tail, std::size_t& position) {
    std::string field;
    if (tail[position] == '"') {
        std::size_t closing = tail.find('"', position + 1);
        std::size_t quotedEnd = closing == std::string_view::npos ? tail.size() : closing;
        field = tail.substr(position + 1, quotedEnd - position - 1);
        position = closing == std::string_view::npos ? tail.size() : closing + 1;
    }
    std::size_t end = endOfFieldText(tail, position);
    field += tail.substr(position, end - position);
    position = end;
    return field;
}

ArgumentTable& processArguments() {
    static ArgumentTable table;
    return table;
}

std::vector<std::string>& allProcessArguments() {
    static std::vector<std::string> fields;
    return fields;
}

}  // namespace

std::string_view commandLineTail(std::string_view commandLine) {
    if (commandLine.empty()) return commandLine;
    if (commandLine.front() == '"') return commandLine.substr(endOfQuotedProgramName(commandLine));
    if (commandLine.front() == ' ') return commandLine.substr(skipBlanks(commandLine, 0));
    return commandLine.substr(endOfUnquotedProgramName(commandLine));
}

std::vector<std::string> splitAllArguments(std::string_view tail) {
    std::vector<std::string> fields;
    std::size_t position = 0;
    while ((position = tail.find_first_not_of(kDelimiters, position)) != std::string_view::npos)
        fields.push_back(takeField(tail, position));
    return fields;
}

ArgumentTable splitArguments(std::string_view tail) {
    ArgumentTable table;
    for (std::string& field : splitAllArguments(tail)) {
        if (table.count == kArgumentSlots) break;
        table.entries[static_cast<std::size_t>(table.count++)] = std::move(field);
    }
    return table;
}

void splitCommandLine() {
    allProcessArguments() = splitAllArguments(commandLineTail(os::commandLine()));
    processArguments() = splitArguments(commandLineTail(os::commandLine()));
}

const ArgumentTable& arguments() { return processArguments(); }
const std::vector<std::string>& allArguments() { return allProcessArguments(); }

}  // namespace talven::app
