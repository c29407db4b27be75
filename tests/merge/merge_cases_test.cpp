// Small merges whose outcome is worked out by hand, one behaviour each. A case names, for each
// input vertex, the group it must land in (groups numbered by their first vertex) and the output
// vertex that stands for each group; the output order is left to the properties.
#include "merge_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kAboveHalf = 0.50000006f;
const float kBelowMax = 3.40282326e38f;

struct MergeCase {
    const char* name;
    MergeParams params;
    std::vector<float> in;
    std::vector<int> groups;   // per input vertex
    std::vector<float> output; // per group, its output vertex
};

void PrintTo(const MergeCase& c, std::ostream* os) {
    *os << c.name;
}

// The groups of a remap table, numbered in order of their first vertex.
std::vector<int> GroupsOf(const std::vector<int>& remap, std::vector<int>* outputOfGroup) {
    std::vector<int> groupOfOutput(remap.size(), -1);
    std::vector<int> groups;
    for (int k : remap) {
        if (k < 0 || k >= int(remap.size()))
            return {};
        if (groupOfOutput[k] < 0) {
            groupOfOutput[k] = int(outputOfGroup->size());
            outputOfGroup->push_back(k);
        }
        groups.push_back(groupOfOutput[k]);
    }
    return groups;
}

class MergeCases : public testing::TestWithParam<MergeCase> {};

// Which member stands for a group is fixed for finite data, where the output is sorted; with
// infinities it follows the weld's order, which is not promised, unless the members are copies.
bool IsRepresentativeFixed(const MergeCase& c, int group) {
    const int floats = c.params.floatsPerVert;
    if (AllFinite(c.in))
        return true;
    std::vector<std::vector<uint32_t>> members;
    for (size_t i = 0; i < c.groups.size(); i++)
        if (c.groups[i] == group)
            members.push_back(Bits(&c.in[i * floats], floats));
    return std::all_of(members.begin(), members.end(),
                       [&](const std::vector<uint32_t>& m) { return m == members[0]; });
}

TEST_P(MergeCases, GroupTheVerticesAsWorkedOut) {
    const MergeCase& c = GetParam();
    const int floats = c.params.floatsPerVert;
    const WeldRun run = RunMerge(c.in, c.params);
    ASSERT_EQ(run.unique * floats, int(c.output.size()));
    std::vector<int> outputOfGroup;
    EXPECT_EQ(GroupsOf(run.remap, &outputOfGroup), c.groups);
    for (size_t g = 0; g < outputOfGroup.size(); g++) {
        const bool isFixed = IsRepresentativeFixed(c, int(g));
        EXPECT_TRUE(!isFixed || Bits(&run.out[size_t(outputOfGroup[g]) * floats], floats) ==
                                    Bits(&c.output[g * floats], floats))
            << "group " << g << " has another output vertex";
    }
    ExpectMergeInvariants(run, c.in, c.params);
}

// Vertices half a distance apart from -40.25 to 40.25, so that two of them lie either side of
// every multiple of the distance, where cells have their borders: each representative gathers
// the next two.
MergeCase ChainAcrossEveryMultipleOfTheDistance() {
    MergeCase c{"ChainAcrossEveryMultipleOfTheDistance", {1, 1, 1.0f, {}}, {}, {}, {}};
    for (int i = 0; i < 162; i++) {
        c.in.push_back(-40.25f + 0.5f * float(i));
        c.groups.push_back(i / 3);
        if (i % 3 == 0)
            c.output.push_back(c.in.back());
    }
    return c;
}

// Sixteen position floats, more than the cells are keyed on: the vertices differ in the last.
MergeCase ApartOnlyInTheLastOfSixteenFloats() {
    MergeCase c{"ApartOnlyInTheLastOfSixteenFloats", {16, 16, 1.0f, {}}, {}, {0, 0, 1}, {}};
    for (float last : {0.0f, 1.0f, 2.0f}) {
        c.in.insert(c.in.end(), 15, 0.0f);
        c.in.push_back(last);
    }
    c.output.assign(c.in.begin(), c.in.begin() + 16);
    c.output.insert(c.output.end(), c.in.begin() + 32, c.in.end());
    return c;
}

const MergeCase kCases[] = {
    MergeCase{"ChainDoesNotDrift",
              {1, 1, 1.0f, {}},
              {0.0f, 0.6f, 1.2f, 1.8f, 2.4f},
              {0, 0, 1, 1, 2},
              {0.0f, 1.2f, 2.4f}},
    // (0.6, 0.5) lies nearer (0.5, 0.9) but joins (0, 0), the representative made first.
    MergeCase{"JoinsTheFirstCloseRepresentativeNotTheNearest",
              {2, 2, 1.0f, {}},
              {0.6f, 0.5f, 0.5f, 0.9f, 0.0f, 0.0f},
              {0, 1, 0},
              {0.0f, 0.0f, 0.5f, 0.9f}},
    MergeCase{"AtTheDistanceIsClose", {1, 1, 0.5f, {}}, {0.0f, 0.5f}, {0, 0}, {0.0f}},
    MergeCase{"JustBeyondTheDistanceIsApart",
              {1, 1, 0.5f, {}},
              {0.0f, kAboveHalf},
              {0, 1},
              {0.0f, kAboveHalf}},
    MergeCase{"DistanceIsEuclideanOverThePosition",
              {2, 2, 1.0f, {}},
              {0.0f, 0.0f, 0.8f, 0.8f, 0.6f, 0.75f},
              {0, 1, 0},
              {0.0f, 0.0f, 0.8f, 0.8f}},
    MergeCase{"OtherComponentsWithoutToleranceMustBeEqual",
              {2, 1, 1.0f, {}},
              {0.0f, 5.0f, 0.5f, 5.0f, 0.5f, 5.5f},
              {0, 0, 1},
              {0.0f, 5.0f, 0.5f, 5.5f}},
    MergeCase{"OneToleranceForEveryOtherComponent",
              {3, 1, 1.0f, {0.25f}},
              {0.0f, 1.0f, 1.0f, 0.0f, 1.25f, 0.75f, 0.0f, 1.0f, 1.5f},
              {0, 0, 1},
              {0.0f, 1.0f, 1.0f, 0.0f, 1.0f, 1.5f}},
    MergeCase{"ToleranceForEachComponent",
              {3, 1, 1.0f, {0.25f, 2.0f}},
              {0.0f, 0.0f, 0.0f, 0.0f, 0.25f, 2.0f, 0.0f, 2.0f, 0.25f},
              {0, 0, 1},
              {0.0f, 0.0f, 0.0f, 0.0f, 2.0f, 0.25f}},
    MergeCase{"ZeroToleranceAsksForEqualityWithZerosOfBothSigns",
              {3, 1, 1.0f, {0.0f, 1.0f}},
              {0.0f, -0.0f, 7.0f, 0.5f, 0.0f, 7.5f, 0.5f, 1e-30f, 7.0f},
              {0, 0, 1},
              {0.0f, -0.0f, 7.0f, 0.5f, 1e-30f, 7.0f}},
    MergeCase{"ZeroDistanceWithToleranceAsksForEqualPositions",
              {2, 1, 0.0f, {1.0f}},
              {1.0f, 0.0f, 1.0f, 0.5f, 1.00000012f, 0.0f},
              {0, 0, 1},
              {1.0f, 0.0f, 1.00000012f, 0.0f}},
    MergeCase{"ToleranceCountOneWithoutOtherComponents",
              {2, 2, 1.0f, {0.5f}},
              {0.0f, 0.0f, 0.5f, 0.5f},
              {0, 0},
              {0.0f, 0.0f}},
    MergeCase{"NaNVertexJoinsNothing",
              {1, 1, 1.0f, {}},
              {0.0f, kNaN, 0.5f, kNaN},
              {0, 1, 0, 2},
              {0.0f, kNaN, kNaN}},
    MergeCase{"NaNInAnotherComponentJoinsNothing",
              {2, 1, 1.0f, {10.0f}},
              {0.0f, 0.0f, 0.5f, kNaN},
              {0, 1},
              {0.0f, 0.0f, 0.5f, kNaN}},
    MergeCase{"InfinityIsCloseToItsEqual",
              {2, 2, 1.0f, {}},
              {kInf, 0.0f, kInf, 0.5f, -kInf, 0.0f, -kInf, 2.0f},
              {0, 0, 1, 2},
              {kInf, 0.0f, -kInf, 0.0f, -kInf, 2.0f}},
    MergeCase{"InfinityIsApartFromTheLargestFloat",
              {1, 1, FLT_MAX, {}},
              {FLT_MAX, kInf},
              {0, 1},
              {FLT_MAX, kInf}},
    MergeCase{"InfiniteDistanceKeepsAnInfinityApart",
              {1, 1, kInf, {}},
              {-5.0f, kInf, 1e30f, 0.0f, -FLT_MAX},
              {0, 1, 0, 0, 0},
              {-FLT_MAX, kInf}},
    MergeCase{"InfiniteDistanceMergesEqualInfinities",
              {2, 2, kInf, {}},
              {0.0f, 0.0f, -kInf, 0.0f, 5.0f, 5.0f, -kInf, 1e30f},
              {0, 1, 0, 1},
              {0.0f, 0.0f, -kInf, 0.0f}},
    MergeCase{"InfiniteToleranceKeepsInfinitiesApart",
              {2, 1, 0.0f, {kInf}},
              {0.0f, -FLT_MAX, 0.0f, kInf, 0.0f, FLT_MAX, 0.0f, kInf},
              {0, 1, 0, 1},
              {0.0f, -FLT_MAX, 0.0f, kInf}},
    MergeCase{"HugeCoordinatesWithATinyDistance",
              {2, 2, 1e-30f, {}},
              {FLT_MAX, 0.0f, kBelowMax, 0.0f, -FLT_MAX, 0.0f, FLT_MAX, 1e-31f},
              {0, 1, 2, 0},
              {FLT_MAX, 0.0f, kBelowMax, 0.0f, -FLT_MAX, 0.0f}},
    MergeCase{"LargestDistance",
              {1, 1, FLT_MAX, {}},
              {FLT_MAX, 0.0f, -FLT_MAX},
              {0, 1, 1},
              {FLT_MAX, -FLT_MAX}},
    MergeCase{"SmallestDistance",
              {1, 1, FLT_TRUE_MIN, {}},
              {2 * FLT_TRUE_MIN, 0.0f, FLT_TRUE_MIN, 3 * FLT_TRUE_MIN},
              {0, 1, 1, 0},
              {2 * FLT_TRUE_MIN, 0.0f}},
    MergeCase{"DistanceFarLargerThanTheData",
              {3, 3, 1e30f, {}},
              {1.0f, 2.0f, 3.0f, -1e6f, 4.0f, 0.0f, 7.0f, 7.0f, -7.0f},
              {0, 0, 0},
              {-1e6f, 4.0f, 0.0f}},
    ChainAcrossEveryMultipleOfTheDistance(),
    ApartOnlyInTheLastOfSixteenFloats(),
};

INSTANTIATE_TEST_SUITE_P(Merge, MergeCases, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<MergeCase>& info) {
                             return info.param.name;
                         });

} // namespace
