// The program's arguments: the command line less the program name, split at
// blanks, commas, semicolons and tabs into at most nine entries.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace talven::app {

inline constexpr int kArgumentSlots = 9;

struct ArgumentTable {
    std::array<std::string, kArgumentSlots> entries;
    int count = 0;

    // Entries are numbered from 1; an entry that received no argument is empty.
    const std::string& entry(int index) const { return entries[static_cast<std::size_t>(index - 1)]; }
};

// The command line without the program name and the blanks after it.
std::string_view commandLineTail(std::string_view commandLine);

// A field is a run of characters up to the next delimiter. One that begins
// with a double quote holds everything up to the next double quote,
// delimiters included; characters right after that closing quote, up to the
// next delimiter, are joined to it as they stand. An opening quote without a
// closing one takes the rest of the tail. Runs of delimiters give no empty
// fields; fields past the ninth are ignored.
ArgumentTable splitArguments(std::string_view tail);
// Every field, the ninth and those after it included (Explorer's Send To
// names every selected file).
std::vector<std::string> splitAllArguments(std::string_view tail);

// Fills the process-wide table from the process's command line.
void splitCommandLine();
const ArgumentTable& arguments();
const std::vector<std::string>& allArguments();

}  // namespace talven::app
