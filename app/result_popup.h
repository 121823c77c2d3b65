// The result popup: where a script host is at hand, a two-line JScript file
// that shows the message through WScript.Shell's Popup.
#pragma once

#include <string>
#include <string_view>

namespace talven::app {

inline constexpr std::string_view kPopupTitle = "Talven";
inline constexpr std::string_view kPopupScriptFile = "TALVEN.JS";
inline constexpr std::string_view kPopupScriptCommand = "CSCRIPT //NOLOGO TALVEN.JS";

// The message as the body of a single-quoted JScript string literal whose
// value is the message itself.
std::string jscriptStringBody(std::string_view message);
std::string popupScriptText(std::string_view message);

// Returns once the user has dismissed the popup and the script is gone.
void showResultPopup(const std::string& message);

}  // namespace talven::app
