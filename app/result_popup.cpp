#include "result_popup.h"

#include "os.h"

namespace talven::app {

// A raw line break would end the literal and the script with it (Linux
// paths may hold one), so CR and LF travel as escapes too.
std::string jscriptStringBody(std::string_view message, bool (*isLeadByte)(char)) {
    std::string body;
    body.reserve(message.size());
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (isLeadByte(c) && i + 1 < message.size()) {
            body += c;
            body += message[++i];
            continue;
        }
        switch (c) {
            case '\\': body += "\\\\"; break;
            case '\'': body += "\\'"; break;
            case '\r': body += "\\r"; break;
            case '\n': body += "\\n"; break;
            default: body += c;
        }
    }
    return body;
}

std::string popupScriptText(std::string_view message) {
    return "var wshShell=WScript.CreateObject('WScript.Shell');\r\n"
           "wshShell.Popup('" +
           jscriptStringBody(message) + "',0,'Talven',0x0);\r\n";
}

void showResultPopup(const std::string& message) {
    os::showPopup(std::string(kPopupTitle), message, std::string(kPopupScriptFile), popupScriptText(message),
                  std::string(kPopupScriptCommand));
}

}  // namespace talven::app
