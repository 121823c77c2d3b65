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

TEST(SplitFileName, NoFileNameAfterATrailingSeparator) {
    expectParts("C:\\data\\", "", "");
    expectParts("/tmp/", "", "");
    expectParts("", "", "");
}
