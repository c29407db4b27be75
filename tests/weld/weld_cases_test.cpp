#include "weld_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kDenormMin = std::numeric_limits<float>::denorm_min();
const float kMax = std::numeric_limits<float>::max();
const float kBelowMax = std::nextafter(kMax, 0.0f);
const float kAboveOne = std::nextafter(1.0f, 2.0f);

struct WeldCase {
    const char* name;
    int channels;
    std::vector<float> in;
    std::vector<float> out;
    std::vector<int> remap;
};

void PrintTo(const WeldCase& c, std::ostream* os) {
    *os << c.name;
}

class WeldCases : public testing::TestWithParam<WeldCase> {};

TEST_P(WeldCases, GivesTheExpectedOutputBitsAndRemap) {
    const WeldCase& c = GetParam();
    const std::vector<float> in = c.in;
    const WeldRun run = RunWeld(in, c.channels);
    ASSERT_EQ(run.unique * c.channels, int(c.out.size()));
    EXPECT_EQ(Bits(run.out.data(), c.out.size()), Bits(c.out));
    EXPECT_EQ(run.remap, c.remap);
    ExpectUntouchedTail(run, c.channels);
    EXPECT_EQ(Bits(in), Bits(c.in));
}

INSTANTIATE_TEST_SUITE_P(
    Weld, WeldCases,
    testing::Values(
        WeldCase{"WorkedExample",
                 3,
                 {1, 2, 3, 0, 0, 0, 1, 2, 3, -0.0f, 0, 0, 5, 1, 1},
                 {-0.0f, 0, 0, 1, 2, 3, 5, 1, 1},
                 {1, 0, 1, 0, 2}},
        WeldCase{"OneVertex", 2, {7, -0.0f}, {7, -0.0f}, {0}},
        WeldCase{"OneNanVertex", 2, {kNan, 1}, {kNan, 1}, {0}},
        WeldCase{"AllIdentical", 2, {3, 4, 3, 4, 3, 4, 3, 4}, {3, 4}, {0, 0, 0, 0}},
        WeldCase{"AllDistinctComeOutSorted",
                 2,
                 {3, 1, 1, 2, 2, 0, 1, 1},
                 {1, 1, 1, 2, 2, 0, 3, 1},
                 {3, 1, 2, 0}},
        WeldCase{"ExchangeMovesLaterZeroFirst", 1, {5, 0, -0.0f}, {-0.0f, 5}, {1, 0, 0}},
        WeldCase{"ZeroSignsDecidedByNextChannel", 2, {0, 7, -0.0f, 2}, {-0.0f, 2, 0, 7}, {1, 0}},
        WeldCase{"AdjacentFloatsSplitOnFirstChannel",
                 2,
                 {kAboveOne, 0, 1, 5},
                 {1, 5, kAboveOne, 0},
                 {1, 0}},
        WeldCase{"AdjacentDenormalsSplitOnFirstChannel",
                 2,
                 {kDenormMin, 0, 0, 5},
                 {0, 5, kDenormMin, 0},
                 {1, 0}},
        WeldCase{"LargestFloatsSplitOnFirstChannel",
                 2,
                 {kMax, 0, kBelowMax, 5},
                 {kBelowMax, 5, kMax, 0},
                 {1, 0}},
        WeldCase{"NegativeInfinityPassesChannelOver", 1, {-kInf, 3, 1}, {-kInf, 3, 1}, {0, 1, 2}},
        WeldCase{
            "PositiveInfinityPassesChannelOver", 1, {3, kInf, 1, 2}, {3, kInf, 1, 2}, {0, 1, 2, 3}},
        // 2 equals the midpoint of 0 and 4: placing it in the lower part would leave (0, +0)
        // first in the run of zeros instead of (0, -0).
        WeldCase{"MidpointValueGoesUp",
                 2,
                 {2, -0.0f, 4, -0.0f, 0, 0, 0, -0.0f},
                 {0, -0.0f, 2, -0.0f, 4, -0.0f},
                 {1, 2, 0, 0}},
        // The midpoint of 2^-60 and 1 is 0.5 + 2^-61 at extended precision but 0.5 at double
        // precision, where 0.5 would go to the upper part and the exchanges would leave (1, -0)
        // first in the run of ones.
        WeldCase{"ExtendedPrecisionMidpoint",
                 2,
                 {1, -0.0f, 1, 0, 0x1p-60f, -0.0f, 0.5f, 0},
                 {0x1p-60f, -0.0f, 0.5f, 0, 1, 0},
                 {2, 2, 0, 1}},
        // Outside the value contract no order is promised, but no target or floating-point mode
        // may change the one given: sorted as keys, -inf lowest and this NaN above +inf.
        WeldCase{"BothInfinitiesAndNanSortTheSameOnEveryTarget",
                 2,
                 {kInf, 1, 3, 2, -kInf, 1, 3, 2, kNan, 0, -0.0f, 5, 0, 5, -kInf, 1},
                 {-kInf, 1, -0.0f, 5, 3, 2, kInf, 1, kNan, 0},
                 {3, 2, 0, 2, 4, 1, 1, 0}}),
    [](const testing::TestParamInfo<WeldCase>& info) { return info.param.name; });

TEST(WeldOutsideValueContract, NanVerticesAreNeverMergedEvenWithBitIdenticalTwins) {
    const float negativeNan = -kNan;
    const std::vector<float> in = {kNan, 1, kNan, 1, 2, negativeNan, 2, negativeNan, 3, 3, 3, 3};
    const WeldRun run = RunWeld(in, 2);
    ExpectWeldInvariants(run, in, 2);
    EXPECT_EQ(run.unique, 5);
    EXPECT_EQ(run.remap[4], run.remap[5]);
}

TEST(WeldOutsideValueContract, BothInfinitiesInOneChannelTerminate) {
    const std::vector<float> in = {-kInf, 1, kInf, 1, 0, 2, -kInf, 1, kInf, 3, 0, 2};
    const WeldRun run = RunWeld(in, 2);
    ExpectWeldInvariants(run, in, 2);
}

} // namespace
