// The numbers that replace a refused file's stem: whole numbers from 0 to
// 99,999,999 from a 32-bit linear congruential generator.
#pragma once

#include <cstdint>

namespace talven::app {

class RandomStems {
public:
    explicit RandomStems(std::uint32_t state) : state_(state) {}

    // The state is the bit pattern of the milliseconds stored as an IEEE-754
    // single, so they are first rounded to 24 significant bits.
    static RandomStems seededWithMilliseconds(std::int32_t milliseconds);

    std::uint32_t next();

private:
    std::uint32_t state_;
};

}  // namespace talven::app
