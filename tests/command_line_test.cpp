// Finding the command-line tail and splitting it into the argument table.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "command_line.h"

using talven::app::ArgumentTable;
using talven::app::commandLineTail;
using talven::app::splitArguments;

namespace {

void expectEntries(const ArgumentTable& table, std::initializer_list<std::string> expected) {
    ASSERT_EQ(table.count, static_cast<int>(expected.size()));
    int index = 1;
    for (const std::string& entry : expected) EXPECT_EQ(table.entry(index++), entry) << "entry " << index - 1;
    for (; index <= talven::app::kArgumentSlots; ++index) EXPECT_EQ(table.entry(index), "") << "entry " << index;
}

ArgumentTable splitLine(std::string_view line) { return splitArguments(commandLineTail(line)); }

}  // namespace

TEST(CommandLineTail, SkipsTheProgramNameAndTheBlanksAfterIt) {
    EXPECT_EQ(commandLineTail("prog.exe C:\\data\\inv.pdf"), "C:\\data\\inv.pdf");
    EXPECT_EQ(commandLineTail("prog.exe    a.txt  "), "a.txt  ");
    EXPECT_EQ(commandLineTail("prog.exe"), "");
    EXPECT_EQ(commandLineTail(""), "");
}

TEST(CommandLineTail, QuotedProgramNameMayHoldBlanks) {
    EXPECT_EQ(commandLineTail("\"C:\\Program Files\\tool\\prog.exe\" a.txt"), "a.txt");
    EXPECT_EQ(commandLineTail("\"C:\\Program Files\\tool\\prog.exe\"a.txt"), "a.txt");
    EXPECT_EQ(commandLineTail("\"C:\\Program Files\\prog.exe a.txt"), "");
}

TEST(CommandLineTail, LeadingBlankMeansNoProgramName) {
    EXPECT_EQ(commandLineTail("   a.txt b"), "a.txt b");
}

TEST(CommandLineTail, OnlyBlanksAreSkippedAfterTheName) {
    EXPECT_EQ(commandLineTail("prog.exe\ta.txt"), "\ta.txt");
    EXPECT_EQ(commandLineTail("prog.exe \ta.txt"), "\ta.txt");
    EXPECT_EQ(commandLineTail("\ta.txt"), "\ta.txt");
    EXPECT_EQ(commandLineTail("prog.exe\na.txt"), "\na.txt");
}

TEST(CommandLineTail, BytesAboveAsciiBelongToTheName) {
    EXPECT_EQ(commandLineTail("pr\xE9g\xA0.exe a"), "a");
}

TEST(SplitArguments, OneArgument) {
    expectEntries(splitLine("prog.exe C:\\data\\inv.pdf"), {"C:\\data\\inv.pdf"});
}

TEST(SplitArguments, NothingOrOnlyDelimiters) {
    expectEntries(splitLine("prog.exe"), {});
    expectEntries(splitLine("prog.exe     "), {});
    expectEntries(splitArguments(" ,;\t ,"), {});
}

TEST(SplitArguments, EveryDelimiterCutsAnUnquotedArgument) {
    expectEntries(splitArguments("C:\\data\\a,b.txt"), {"C:\\data\\a", "b.txt"});
    expectEntries(splitArguments("C:\\My Files\\a.txt"), {"C:\\My", "Files\\a.txt"});
    expectEntries(splitArguments("a;b\tc d"), {"a", "b", "c", "d"});
}

TEST(SplitArguments, RunsOfDelimitersGiveNoEmptyEntries) {
    expectEntries(splitArguments("x,y;z"), {"x", "y", "z"});
    expectEntries(splitArguments("x , ; y"), {"x", "y"});
    expectEntries(splitArguments(" ,x,, "), {"x"});
}

TEST(SplitArguments, TabAfterTheProgramNameStartsTheTailWithoutAnEmptyEntry) {
    expectEntries(splitLine("prog.exe\ta.txt"), {"a.txt"});
}

TEST(SplitArguments, QuotedArgumentKeepsItsDelimiters) {
    expectEntries(splitLine("prog.exe \"C:\\My Files\\a b.txt\""), {"C:\\My Files\\a b.txt"});
    expectEntries(splitArguments("\"a,b;c\td\" e"), {"a,b;c\td", "e"});
    expectEntries(splitArguments("\"a b\",c"), {"a b", "c"});
}

TEST(SplitArguments, EmptyQuotesGiveAnEmptyEntry) {
    expectEntries(splitArguments("\"\" b"), {"", "b"});
    expectEntries(splitArguments("a \"\""), {"a", ""});
}

TEST(SplitArguments, QuoteInsideAnUnquotedArgumentIsOrdinary) {
    expectEntries(splitArguments("ab\"cd ef"), {"ab\"cd", "ef"});
    expectEntries(splitArguments("a\" b\""), {"a\"", "b\""});
}

TEST(SplitArguments, TextAfterTheClosingQuoteJoinsTheArgument) {
    expectEntries(splitArguments("\"ab\"cd"), {"abcd"});
    expectEntries(splitArguments("\"C:\\My Files\"\\a.txt next"), {"C:\\My Files\\a.txt", "next"});
    // The joined text is unquoted: a quote there is an ordinary character
    // and the next delimiter ends the argument.
    expectEntries(splitArguments("\"a b\"c\"d e\""), {"a bc\"d", "e\""});
    expectEntries(splitArguments("\"\"\"x"), {"\"x"});
}

TEST(SplitArguments, OpeningQuoteWithoutClosingTakesTheRest) {
    expectEntries(splitArguments("\"C:\\My Files\\a.txt"), {"C:\\My Files\\a.txt"});
    expectEntries(splitArguments("a \"b, c; "), {"a", "b, c; "});
    expectEntries(splitArguments("a \""), {"a", ""});
}

TEST(SplitArguments, KeepsTheFirstNine) {
    expectEntries(splitArguments("1 2 3 4 5 6 7 8 9 10 11 12"), {"1", "2", "3", "4", "5", "6", "7", "8", "9"});
    expectEntries(splitArguments("1 2 3 4 5 6 7 8 \"9 and more\" \"10"),
                  {"1", "2", "3", "4", "5", "6", "7", "8", "9 and more"});
    // The files to send are every field, as Send To names every selected file.
    EXPECT_EQ(talven::app::splitAllArguments("1 2 3 4 5 6 7 8 \"9 and more\" \"10"),
              (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "9 and more", "10"}));
}

TEST(SplitArguments, BytesPassUnchanged) {
    expectEntries(splitArguments("C:\\d\xE8ries\\\xE0.txt"), {"C:\\d\xE8ries\\\xE0.txt"});
}
