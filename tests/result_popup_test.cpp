// The popup script's bytes for messages that need escaping.
#include <gtest/gtest.h>

#include "result_popup.h"

using talven::app::popupScriptText;

namespace {

const std::string kLine1 = "var wshShell=WScript.CreateObject('WScript.Shell');\r\n";

std::string line2With(std::string_view escaped) {
    return "wshShell.Popup('" + std::string(escaped) + "',0,'Talven',0x0);\r\n";
}

}  // namespace

TEST(PopupScript, PlainMessageIsWrittenUnchanged) {
    EXPECT_EQ(popupScriptText("Fitxer a.txt enviat correctament"),
              kLine1 + line2With("Fitxer a.txt enviat correctament"));
    EXPECT_EQ(popupScriptText(""), kLine1 + line2With(""));
}

TEST(PopupScript, BackslashesAreDoubled) {
    EXPECT_EQ(popupScriptText("Fitxer C:\\data\\inv.pdf enviat correctament"),
              kLine1 + line2With("Fitxer C:\\\\data\\\\inv.pdf enviat correctament"));
    EXPECT_EQ(popupScriptText("Fitxer \\\\server\\share\\a.txt enviat correctament"),
              kLine1 + line2With("Fitxer \\\\\\\\server\\\\share\\\\a.txt enviat correctament"));
    EXPECT_EQ(popupScriptText("ends with \\"), kLine1 + line2With("ends with \\\\"));
}

TEST(PopupScript, ApostrophesAreEscaped) {
    EXPECT_EQ(popupScriptText("No s'ha pogut connectar amb localhost"),
              kLine1 + line2With("No s\\'ha pogut connectar amb localhost"));
    EXPECT_EQ(popupScriptText("Fitxer C:\\l'any\\a.txt enviat correctament"),
              kLine1 + line2With("Fitxer C:\\\\l\\'any\\\\a.txt enviat correctament"));
    // A backslash before an apostrophe must not swallow the apostrophe's escape.
    EXPECT_EQ(popupScriptText("a\\'b"), kLine1 + line2With("a\\\\\\'b"));
}

TEST(PopupScript, LineBreaksBecomeEscapesSoTheLiteralStaysOnOneLine) {
    EXPECT_EQ(popupScriptText("Fitxer /tmp/a\nb\r.txt enviat correctament"),
              kLine1 + line2With("Fitxer /tmp/a\\nb\\r.txt enviat correctament"));
}

TEST(PopupScript, OtherBytesPassAsTheyStand) {
    EXPECT_EQ(popupScriptText("Fitxer \"d\xE8ries\"\t& <b> enviat"),
              kLine1 + line2With("Fitxer \"d\xE8ries\"\t& <b> enviat"));
}

// Shift-JIS: 0x5C after a lead byte is the second half of a character; an
// escape there would be read as the escape of the next character (\x83\x5C
// then "1" would show as U+0001).
TEST(PopupScript, TheSecondByteOfADoubleByteCharacterIsNotEscaped) {
    const auto shiftJisLeadByte = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    };
    EXPECT_EQ(talven::app::jscriptStringBody("C:\\\x83\x5C" "1.txt \x95\x5C'", shiftJisLeadByte),
              "C:\\\\\x83\x5C" "1.txt \x95\x5C\\'");
}
