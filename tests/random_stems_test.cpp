// The generator of retry stems, against numbers worked out by hand.
#include <gtest/gtest.h>

#include "random_stems.h"

using talven::app::RandomStems;

// 12:34:56.789 is 45,296,789 ms; as a single it rounds to 45,296,788
// (2^25 <= x < 2^26, so a multiple of 4), bit pattern 0x4C2CCB25.
// Draw 1: 0x4C2CCB25 * 134775813 + 1 = 0x16C70BBA (mod 2^32); shifted right,
// 191071709; / 2^31 * 10^8 = 8897469.798...; less 0.5 rounds to 8897469.
TEST(RandomStems, SequenceFromATimeOfDay) {
    RandomStems stems = RandomStems::seededWithMilliseconds(45296789);
    EXPECT_EQ(stems.next(), 8897469u);
    EXPECT_EQ(stems.next(), 25682274u);
    EXPECT_EQ(stems.next(), 1440007u);
    EXPECT_EQ(stems.next(), 96648203u);
    EXPECT_EQ(stems.next(), 66041718u);
    EXPECT_EQ(stems.next(), 61046365u);
}

TEST(RandomStems, SeedIsTheSinglePrecisionBitPattern) {
    // 1.0f is 0x3F800000; 0x3F800000 * 134775813 + 1 = 0x3D800001 (mod 2^32),
    // shifted right 515899392, / 2^31 * 10^8 = 24023437.5 exactly, less 0.5.
    EXPECT_EQ(RandomStems::seededWithMilliseconds(1).next(), 24023437u);
    EXPECT_EQ(RandomStems::seededWithMilliseconds(0).next(), RandomStems(0u).next());
    // Past 2^24 neighbouring milliseconds share one single.
    EXPECT_EQ(RandomStems::seededWithMilliseconds(45296789).next(),
              RandomStems::seededWithMilliseconds(45296788).next());
}

// States chosen so that the next state is 2^24 * m: the fraction is then
// m / 2^8 exactly and f * 10^8 - 0.5 = 390625m - 0.5 lies halfway.
TEST(RandomStems, HalfwayDrawsGoToTheEvenNeighbour) {
    EXPECT_EQ(RandomStems(0xF3B05733u).next(), 390624u);
    EXPECT_EQ(RandomStems(0xC0B05733u).next(), 781250u);
}

TEST(RandomStems, DrawsSpanZeroToNinetyNineMillionAndMore) {
    // Next state 0: f = 0 and -0.5 rounds to (negative) zero.
    EXPECT_EQ(RandomStems(0x26B05733u).next(), 0u);
    // Next state 0xFFFFFFFE: f = (2^31 - 1) / 2^31, 99999999.45... rounds down.
    EXPECT_EQ(RandomStems(0x74110599u).next(), 99999999u);
}
