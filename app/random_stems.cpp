#include "random_stems.h"

#include <bit>
#include <cmath>

namespace talven::app {

RandomStems RandomStems::seededWithMilliseconds(std::int32_t milliseconds) {
    return RandomStems(std::bit_cast<std::uint32_t>(static_cast<float>(milliseconds)));
}

// The fraction has 31 bits; scaling it loses low bits in double precision,
// and the final rounding goes to the even neighbour on a tie (the default
// rounding mode, which nearbyint follows).
std::uint32_t RandomStems::next() {
    state_ = state_ * 134775813u + 1u;
    double fraction = static_cast<double>(state_ >> 1) / 2147483648.0;
    return static_cast<std::uint32_t>(std::nearbyint(fraction * 100000000.0 - 0.5));
}

}  // namespace talven::app
