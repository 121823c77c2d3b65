// Splitting the local file name into the stem a retry replaces and the
// suffix it keeps.
#include <gtest/gtest.h>

#include "file_name.h"

using talven::app::splitFileName;

namespace {

void expectParts(std::string_view path, std::string_view stem, std::string_view suffix) {
    talven::app::FileNameParts parts = splitFileName(path);
    EXPECT_EQ(parts.stem, stem) << path;
    EXPECT_EQ(parts.suffix, suffix) << path;
}

// Shift-JIS: the second byte of a two-byte character may be 0x5C, which
// is no backslash there (\x83\x5C is one katakana, \x95\x5C one kanji).
bool shiftJisLeadByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

}  // namespace

TEST(SplitFileName, SuffixFromTheLastFullStop) {
    expectParts("C:\\data\\inv.2024.pdf", "inv.2024", ".pdf");
    expectParts("inv.pdf", "inv", ".pdf");
    expectParts("archive.tar.", "archive.tar", ".");
}

TEST(SplitFileName, WithoutFullStopTheWholeNameIsTheSuffix) {
    expectParts("C:\\data\\README", "", "README");
    expectParts("README", "", "README");
}

TEST(SplitFileName, LeadingFullStopLeavesTheStemEmpty) {
    expectParts("/home/u/.profile", "", ".profile");
}

TEST(SplitFileName, ColonBackslashAndSlashEndTheDirectory) {
    expectParts("C:/data/a.txt", "a", ".txt");
    expectParts("C:a.txt", "a", ".txt");
    expectParts("\\\\server\\share\\a.txt", "a", ".txt");
    expectParts("dir.d/a", "", "a");
}

TEST(SplitFileName, TheSecondByteOfADoubleByteCharacterEndsNoDirectory) {
    const auto parts = splitFileName("C:\\data\\\x83\x5C\x95\x5C.txt", shiftJisLeadByte);
    EXPECT_EQ(parts.stem, "\x83\x5C\x95\x5C");
    EXPECT_EQ(parts.suffix, ".txt");
    // A lead byte that ends the path has no second byte to take.
    EXPECT_EQ(splitFileName("a\\\x83", shiftJisLeadByte).suffix, "\x83");
}

TEST(SplitFileName, NoFileNameAfterATrailingSeparator) {
    expectParts("C:\\data\\", "", "");
    expectParts("/tmp/", "", "");
    expectParts("", "", "");
}
