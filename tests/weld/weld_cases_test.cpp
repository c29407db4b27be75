#include "weldmesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();

struct WeldCase {
    const char* name;
    int channels;
    std::vector<float> in;
    std::vector<float> out;
    std::vector<int> remap;
};

std::vector<uint32_t> Bits(const std::vector<float>& v)
{
    std::vector<uint32_t> bits(v.size());
    std::memcpy(bits.data(), v.data(), v.size() * sizeof(float));
    return bits;
}

class WeldCases : public testing::TestWithParam<WeldCase> {};

TEST_P(WeldCases, GivesTheExpectedOutputBitsAndRemap)
{
    const WeldCase& c = GetParam();
    const int n = int(c.in.size()) / c.channels;
    std::vector<int> remap(n, 12345);
    std::vector<float> out(c.in.size(), 99.0f);
    const int unique = WeldMesh(remap.data(), out.data(), c.in.data(), n, c.channels);
    ASSERT_EQ(unique * c.channels, int(c.out.size()));
    out.resize(c.out.size());
    EXPECT_EQ(Bits(out), Bits(c.out));
    EXPECT_EQ(remap, c.remap);
}

const float kAboveOne = std::nextafter(1.0f, 2.0f);

INSTANTIATE_TEST_SUITE_P(
    Weld, WeldCases,
    testing::Values(
        WeldCase{"WorkedExample", 3,
                 {1, 2, 3, 0, 0, 0, 1, 2, 3, -0.0f, 0, 0, 5, 1, 1},
                 {-0.0f, 0, 0, 1, 2, 3, 5, 1, 1},
                 {1, 0, 1, 0, 2}},
        WeldCase{"OneVertex", 2, {7, -0.0f}, {7, -0.0f}, {0}},
        WeldCase{"AllIdentical", 2, {3, 4, 3, 4, 3, 4, 3, 4}, {3, 4}, {0, 0, 0, 0}},
        WeldCase{"ZeroSignsDecidedByNextChannel", 2, {0, 7, -0.0f, 2}, {-0.0f, 2, 0, 7}, {1, 0}},
        WeldCase{"AdjacentFloatsSplitOnFirstChannel", 2, {kAboveOne, 0, 1, 5}, {1, 5, kAboveOne, 0},
                 {1, 0}},
        WeldCase{"NegativeInfinityPassesChannelOver", 1, {-kInf, 3, 1}, {-kInf, 3, 1}, {0, 1, 2}},
        WeldCase{"PositiveInfinityPassesChannelOver", 1, {3, kInf, 1, 2}, {3, kInf, 1, 2},
                 {0, 1, 2, 3}}),
    [](const testing::TestParamInfo<WeldCase>& info) { return info.param.name; });

} // namespace
