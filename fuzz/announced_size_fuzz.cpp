// Any bytes as the go-ahead reply to RETR: the announced size is never
// negative, and a line without parentheses announces nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::int64_t announced = talven::ftpAnnouncedSize(line);
    if (announced < 0) std::abort();
    if (line.find_first_of("()") == std::string_view::npos && announced != 0) std::abort();
    return 0;
}
