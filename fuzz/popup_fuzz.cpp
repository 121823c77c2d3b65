// Any bytes as the result message: the popup script's string literal must
// hold no raw line break and no bare apostrophe, and read back as JScript
// reads it, it must give the message itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "result_popup.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// The value of a single-quoted JScript literal's body, for the escapes the
// popup writes; any other escape, a bare apostrophe or a line break fails.
std::string literalValue(std::string_view body) {
    std::string value;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        require(c != '\'' && c != '\r' && c != '\n');
        if (c != '\\') {
            value += c;
            continue;
        }
        require(++i < body.size());
        switch (body[i]) {
            case '\\': value += '\\'; break;
            case '\'': value += '\''; break;
            case 'r': value += '\r'; break;
            case 'n': value += '\n'; break;
            default: require(false);
        }
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    const std::string body = talven::app::jscriptStringBody(message);
    require(literalValue(body) == message);
    const std::string script = talven::app::popupScriptText(message);
    const std::string line1 = "var wshShell=WScript.CreateObject('WScript.Shell');\r\n";
    const std::string line2 = "wshShell.Popup('" + body + "',0,'Talven',0x0);\r\n";
    require(script == line1 + line2);
    return 0;
}
