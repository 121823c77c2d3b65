// POSIX has no command line of its own: the one rebuilt from argv must split
// back into the arguments the shell passed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "os.h"

namespace {

int splitInsideTheProgram() {
    talven::app::splitCommandLine();
    return 0;
}

// The process frame keeps argv, as a real process start does, so the
// strings must outlive each run: os::commandLine() reads them afterwards.
std::vector<std::string> gArgvStrings;
std::vector<char*> gArgvPointers;

// Runs the splitting as the program does, with argv as given.
const talven::app::ArgumentTable& splitArgv(std::vector<std::string> argv) {
    gArgvStrings = std::move(argv);
    gArgvPointers.clear();
    for (std::string& argument : gArgvStrings) gArgvPointers.push_back(argument.data());
    gArgvPointers.push_back(nullptr);
    os::runProgram(static_cast<int>(gArgvStrings.size()), gArgvPointers.data(), &splitInsideTheProgram);
    return talven::app::arguments();
}

void expectRoundTrip(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"/usr/bin/talven"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const talven::app::ArgumentTable& table = splitArgv(argv);
    ASSERT_EQ(table.count, static_cast<int>(arguments.size())) << os::commandLine();
    for (std::size_t i = 0; i < arguments.size(); ++i)
        EXPECT_EQ(table.entry(static_cast<int>(i) + 1), arguments[i]) << os::commandLine();
}

}  // namespace

TEST(CommandLineRoundTrip, ArgumentsWithDelimitersComeBackWhole) {
    expectRoundTrip({"/home/u/My Files/a b.txt"});
    expectRoundTrip({"a,b.txt", "c;d", "e\tf", " lead", "trail ", ",;\t "});
    expectRoundTrip({"plain", "", "after empty"});
}

TEST(CommandLineRoundTrip, OtherBytesAreNotDelimiters) {
    expectRoundTrip({"line\nbreak", "carriage\rreturn", "d\xC3\xA8ries/\xC3\xA0.txt", "back\\slash"});
}

TEST(CommandLineRoundTrip, DoubleQuotesBeforeAnyLaterDelimiter) {
    expectRoundTrip({"a\"b", "ends\"", "\"", "\"starts", "\"\"", "My Files/\"quoted\".txt"});
}

TEST(CommandLineRoundTrip, DelimiterAfterADoubleQuoteCutsTheArgument) {
    const talven::app::ArgumentTable& table = splitArgv({"talven", "say \"hi there\".txt"});
    ASSERT_EQ(table.count, 2);
    EXPECT_EQ(table.entry(1), "say \"hi");
    EXPECT_EQ(table.entry(2), "there\".txt");
}

TEST(CommandLineRoundTrip, ProgramNameNeverBecomesAnArgument) {
    for (std::string name : {"/opt/My Apps/talven", "\"talven", "tal\"ven x", "", "tal\tven", "tal\nven"}) {
        const talven::app::ArgumentTable& table = splitArgv({name, "a.txt"});
        ASSERT_EQ(table.count, 1) << name;
        EXPECT_EQ(table.entry(1), "a.txt") << name;
    }
    EXPECT_EQ(splitArgv({}).count, 0);
}

TEST(CommandLineRoundTrip, NineArgumentsAtMost) {
    const talven::app::ArgumentTable& table =
        splitArgv({"talven", "1", "2", "3", "4", "5", "6", "7", "8", "9 9", "10", "11"});
    EXPECT_EQ(table.count, 9);
    EXPECT_EQ(table.entry(9), "9 9");
}
