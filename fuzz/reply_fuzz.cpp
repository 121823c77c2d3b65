// Any bytes as a reply line: the code comes from the first three characters
// only, and the recorded text is the line from its fourth character on
// without blanks at either end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client.h"
#include "number_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::int32_t code = talven::ftpReplyCode(line);
    if (code != talven::readLeadingNumber(line.substr(0, 3)).floorSaturated() || code < -99 || code > 999) std::abort();
    talven::ftpRecordReply(line);
    const std::string& text = talven::ftpLastReplyText();
    if (talven::ftpLastReplyCode() != code) std::abort();
    if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) std::abort();
    if (line.size() <= 3 ? !text.empty() : line.find(text, 3) == std::string::npos) std::abort();
    talven::ftpStatusText(code);
    talven::ftpRecordBuiltStatus(code < 0 ? -code : code, text);
    return 0;
}
