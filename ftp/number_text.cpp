#include "number_text.h"

#include <limits>

namespace talven {
namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

LeadingNumber readLeadingNumber(std::string_view text) {
    LeadingNumber number;
    std::size_t i = text.find_first_not_of(" \t\n");
    if (i == std::string_view::npos) return number;
    if (text[i] == '+' || text[i] == '-') number.negative = text[i++] == '-';
    for (; i < text.size() && isDigit(text[i]); ++i) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (number.magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) number.overflowed = true;
        number.magnitude = number.magnitude * 10 + digit;
    }
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && isDigit(text[i]); ++i)
            if (text[i] != '0') number.fractional = true;
    return number;
}

std::int64_t LeadingNumber::floorSaturated() const {
    constexpr std::uint64_t kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) return overflowed || magnitude > kLargest ? std::numeric_limits<std::int64_t>::max()
                                                              : static_cast<std::int64_t>(magnitude);
    const std::uint64_t down = magnitude + (fractional ? 1 : 0);
    if (overflowed || down > kLargest + 1 || down < magnitude) return std::numeric_limits<std::int64_t>::min();
    return down == kLargest + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(down);
}

std::uint8_t LeadingNumber::floorLowByte() const {
    // Arithmetic modulo 2^64 keeps the low bits exact even past overflow.
    std::uint64_t value = negative ? 0 - magnitude - (fractional ? 1 : 0) : magnitude;
    return static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace talven
