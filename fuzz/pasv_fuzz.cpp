// Any bytes as a PASV reply line: the address text is cut at the
// parentheses and the port formed from it, with no connection made.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::string address = talven::parenthesisedText(line);
    if (address.find_first_of("()") != std::string::npos) std::abort();
    if (!address.empty() && line.find(address) == std::string::npos) std::abort();
    if (line.find_first_of("()") == std::string::npos && !address.empty()) std::abort();
    talven::ftpPasvPort(address);
    talven::ftpPasvPort(line);
    return 0;
}
