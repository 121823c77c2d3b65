// Any bytes as a PASV or EPSV reply line: the address text is cut at the
// parentheses or scanned for six numbers and the port formed from it; the
// EPSV port is 0 or stands, with its delimiters, in the line. No connection
// is made.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::string address = talven::parenthesisedText(line);
    require(address.find_first_of("()") == std::string::npos);
    require(address.empty() || line.find(address) != std::string::npos);
    require(line.find_first_of("()") != std::string::npos || address.empty());
    const std::string scanned = talven::ftpPasvAddressText(line);
    require(scanned.empty() || line.find(scanned) != std::string::npos);
    talven::ftpPasvPort(address);
    talven::ftpPasvPort(line);
    talven::ftpPasvPort(scanned);
    if (const std::uint16_t port = talven::ftpEpsvPort(line)) {
        const std::size_t open = line.find('(');
        const char delimiter = line.at(open + 1);
        require(delimiter > ' ' && delimiter < 127 && (delimiter < '0' || delimiter > '9'));
        require(line.compare(open + 1, 3, std::string(3, delimiter)) == 0);
        const std::size_t digits = open + 4;
        const std::size_t end = line.find_first_not_of("0123456789", digits);
        require(end != std::string::npos && end + 1 < line.size() && line[end] == delimiter && line[end + 1] == ')');
        require(std::stoul(line.substr(digits, end - digits)) == port);
    }
    return 0;
}
