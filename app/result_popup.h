// The result popup: where a script host is at hand, a two-line JScript file
// that shows the message through WScript.Shell's Popup.
#pragma once

#include <string>
#include <string_view>

#include "os.h"

namespace talven::app {

inline constexpr std::string_view kPopupTitle = "Talven";
inline constexpr std::string_view kPopupScriptFile = "TALVEN.JS";
inline constexpr std::string_view kPopupScriptCommand = "CSCRIPT //NOLOGO TALVEN.JS";

// The message as the body of a single-quoted JScript string literal whose
// value is the message itself, read in the system's code page: the second
// byte of a two-byte character (after a byte isLeadByte marks) is written as
// it stands even where it equals a backslash.
std::string jscriptStringBody(std::string_view message, bool (*isLeadByte)(char) = os::isLeadByte);
std::string popupScriptText(std::string_view message);

// Returns once the user has dismissed the popup and the script is gone.
void showResultPopup(const std::string& message);

}  // namespace talven::app
