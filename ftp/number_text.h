// Reading a decimal number at the start of a text, the way reply codes, PASV
// port numbers and announced sizes are read: leading blanks, tabs and line
// feeds are skipped, then an optional sign, digits, and optionally a decimal
// point with more digits; reading stops at the first character that cannot
// continue the number. A text without a number reads as 0. The value is
// rounded down to a whole number.
#pragma once

#include <cstdint>
#include <string_view>

namespace talven {

struct LeadingNumber {
    bool negative = false;
    std::uint64_t magnitude = 0;  // whole part, modulo 2^64
    bool overflowed = false;      // the whole part did not fit in 64 bits
    bool fractional = false;      // a non-zero digit followed the decimal point

    // The value rounded down, held at the int64 limits when it does not fit.
    std::int64_t floorSaturated() const;
    // The low 8 bits of the value rounded down (two's complement).
    std::uint8_t floorLowByte() const;
};

LeadingNumber readLeadingNumber(std::string_view text);

}  // namespace talven
