// Seeded random meshes of clusters, chains, points on the multiples of the radii (where cells
// have their borders), many vertices at one position, pairs a rounding away from the distance,
// and lattices that crowd a cell, each merged and compared bit for bit with the quadratic
// reference.
#include "merge_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const uint32_t kCaseCount = 400;

float RadiusOf(const MergeParams& params, int c) {
    if (c < params.positionFloats)
        return params.distance;
    if (params.tolerances.empty())
        return 0.0f;
    return params.tolerances[params.tolerances.size() == 1 ? 0 : c - params.positionFloats];
}

float Uniform(std::mt19937& rng, double low, double high) {
    return float(std::uniform_real_distribution<double>(low, high)(rng));
}

float PickRadius(std::mt19937& rng) {
    const float radii[] = {0.0f, 4 * FLT_TRUE_MIN, 1e-6f, 0.01f, 0.25f, 1.0f, 3.5f, 1e30f};
    return radii[rng() % (sizeof radii / sizeof radii[0])];
}

// Up to 20 floats, so that some components are compared but not hashed; no tolerances, one, or
// one per component.
MergeParams MakeParams(std::mt19937& rng) {
    MergeParams params;
    params.floatsPerVert = rng() % 8 == 0 ? 13 + int(rng() % 8) : 1 + int(rng() % 8);
    params.positionFloats =
        rng() % 4 == 0 ? params.floatsPerVert : 1 + int(rng() % std::min(params.floatsPerVert, 3));
    params.distance = rng() % 8 == 0 ? 0.0f : PickRadius(rng);
    const int others = params.floatsPerVert - params.positionFloats;
    switch (rng() % 3) {
    case 0:
        break;
    case 1:
        params.tolerances = {PickRadius(rng)};
        break;
    default:
        for (int t = 0; t < others; t++)
            params.tolerances.push_back(PickRadius(rng));
    }
    return params;
}

// How the vertices of a mesh are made, each from the radii of its components (a component
// compared for equality takes small integers).
class MeshMaker {
  public:
    MeshMaker(const MergeParams& params, std::mt19937& rng) : params_(params), rng_(rng) {
        for (int c = 0; c < Floats(); c++)
            origins_.push_back(FarOrigin(c));
    }

    std::vector<float> Make(int n) {
        for (int v = 0; v < n; v++)
            AddVertex();
        return values_;
    }

  private:
    int Floats() const { return params_.floatsPerVert; }
    bool IsPosition(int c) const { return c < params_.positionFloats; }
    double Scale(int c) const {
        const double radius = RadiusOf(params_, c);
        return radius > 0 ? radius : 1.0;
    }
    // Offsets of this many radii along every position component stay within that many
    // distances in all.
    double PositionShare() const { return 1.0 / std::sqrt(double(params_.positionFloats)); }
    float Earlier(int v, int c) const { return values_[size_t(v) * Floats() + c]; }
    float Lattice(int c, int range) {
        return float(origins_[c] + Scale(c) * 0.5 * (int(rng_() % (2 * range + 1)) - range));
    }
    // Some components lie far from 0, up to where floats are spaced wider than the radius.
    double FarOrigin(int c) {
        const double origin = std::ldexp(Scale(c), 16 + int(rng_() % 24));
        return rng_() % 4 == 0 && RadiusOf(params_, c) > 0 && origin < 1e36
                   ? (rng_() % 2 ? origin : -origin)
                   : 0.0;
    }

    void AddVertex() {
        const int v = int(values_.size()) / Floats();
        const int earlier = v > 0 ? int(rng_() % v) : -1;
        const int shape = earlier < 0 ? 0 : int(rng_() % 7);
        for (int c = 0; c < Floats(); c++)
            values_.push_back(Component(shape, c, v, earlier));
        if (shape == 6)
            MoveToTheDistance(v, earlier);
    }

    float Component(int shape, int c, int v, int earlier) {
        const double scale = Scale(c);
        const double share = IsPosition(c) ? PositionShare() : 1.0;
        const bool exact = RadiusOf(params_, c) == 0.0f;
        switch (shape) {
        case 0: // anywhere
            return exact ? float(int(rng_() % 3))
                         : float(origins_[c] + Uniform(rng_, -20 * scale, 20 * scale));
        case 1: // in a cluster with an earlier vertex
            return Earlier(earlier, c) + (exact ? 0.0f : Uniform(rng_, -0.5, 0.5) * scale * share);
        case 2: // the next link of a chain
            return Earlier(v - 1, c) +
                   (exact ? 0.0f : (rng_() % 2 ? 1 : -1) * Uniform(rng_, 0.6, 1.0) * scale * share);
        case 3: // on a multiple of half the radius
            return exact ? float(int(rng_() % 3)) : Lattice(c, 12);
        case 4: // at an earlier vertex's position, the other components anywhere near
            return IsPosition(c) ? Earlier(earlier, c)
                   : exact       ? float(int(rng_() % 3))
                                 : float(origins_[c] + Uniform(rng_, -3 * scale, 3 * scale));
        case 5: { // a copy, zeros of either sign
            const float f = Earlier(earlier, c);
            return f == 0.0f && rng_() % 2 ? -f : f;
        }
        default: // the other components a rounding away from their tolerances
            return exact || IsPosition(c)
                       ? Earlier(earlier, c)
                       : Earlier(earlier, c) +
                             float((rng_() % 2 ? 1 : -1) * scale) *
                                 (1.0f + float(int(rng_() % 5) - 2) * FLT_EPSILON);
        }
    }

    // Moves the position to the distance from the earlier vertex's, give or take a rounding.
    void MoveToTheDistance(int v, int earlier) {
        const int p = params_.positionFloats;
        std::vector<double> direction(p);
        double length = 0;
        for (double& d : direction) {
            d = Uniform(rng_, -1, 1);
            length += d * d;
        }
        length = std::sqrt(length);
        if (length == 0)
            return;
        const double reach = params_.distance * (1.0 + (int(rng_() % 5) - 2) * 0x1p-24);
        for (int c = 0; c < p; c++)
            values_[size_t(v) * Floats() + c] =
                float(Earlier(earlier, c) + direction[c] / length * reach);
    }

    const MergeParams& params_;
    std::mt19937& rng_;
    std::vector<double> origins_;
    std::vector<float> values_;
};

struct MergeCase {
    MergeParams params;
    std::vector<float> values;
};

MergeCase MakeCase(uint32_t seed) {
    std::mt19937 rng(seed);
    MergeCase merge;
    merge.params = MakeParams(rng);
    const int n = 1 + int(rng() % (rng() % 4 == 0 ? 600 : 80));
    merge.values = MeshMaker(merge.params, rng).Make(n);
    return merge;
}

void ExpectMatchesTheReference(const MergeCase& merge) {
    const std::vector<uint32_t> inputBits = Bits(merge.values);
    const WeldRun run = RunMerge(merge.values, merge.params);
    EXPECT_EQ(Bits(merge.values), inputBits) << "input modified";
    ExpectSameMerge(run, RunReferenceMerge(merge.values, merge.params), merge.params.floatsPerVert);
    ExpectMergeInvariants(run, merge.values, merge.params);
    ExpectOutputVerticesApart(run, merge.params);
}

TEST(MergeProperties, RandomMeshesMatchTheReference) {
    for (uint32_t seed = 1; seed <= kCaseCount && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        ExpectMatchesTheReference(MakeCase(seed));
    }
}

// Vertices on a lattice just over the tolerance apart along five components, near one position:
// a thousand representatives pairwise apart crowd one wide cell, so that the walk goes on with
// narrow cells part of the way through. Jittered copies of the lattice points join them, and
// some vertices fall between two points, close to both or to neither.
MergeCase MakeDenseCase(uint32_t seed) {
    std::mt19937 rng(seed);
    MergeCase merge;
    merge.params = MergeParams(8, 3, 0.5f, {1.0f});
    if (seed % 2 == 0)
        merge.params.tolerances = {1.0f, 0.5f, 1.0f, 2.0f, 1.0f};
    const int n = 2000 + int(rng() % 2000);
    for (int v = 0; v < n; v++) {
        for (int c = 0; c < 3; c++)
            merge.values.push_back(Uniform(rng, -0.1, 0.1));
        const bool between = rng() % 8 == 0;
        for (int c = 0; c < 5; c++) {
            const float spacing = 1.1f * RadiusOf(merge.params, 3 + c);
            const float site = spacing * float(int(rng() % 4) + (between ? 0.5f : 0.0f));
            merge.values.push_back(site + Uniform(rng, -0.04, 0.04) * spacing);
        }
    }
    return merge;
}

TEST(MergeProperties, DenselyPackedMeshesMatchTheReference) {
    for (uint32_t seed = 1; seed <= 6 && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        ExpectMatchesTheReference(MakeDenseCase(seed));
    }
}

// Outside finite data: NaNs of several patterns and infinities of both signs, with distances and
// tolerances that may themselves be infinite.
MergeCase MakeNonFiniteCase(uint32_t seed) {
    MergeCase merge = MakeCase(seed);
    std::mt19937 rng(~seed);
    const uint32_t nanBits[] = {0x7fc00000u, 0xffc00000u, 0x7f800001u, 0x7fc0beefu};
    for (float& f : merge.values) {
        switch (rng() % 12) {
        case 0: {
            const uint32_t bits = nanBits[rng() % 4];
            std::memcpy(&f, &bits, sizeof f);
            break;
        }
        case 1:
        case 2:
            f = rng() % 2 ? kInf : -kInf;
            break;
        }
    }
    if (rng() % 3 == 0)
        merge.params.distance = kInf;
    for (float& tolerance : merge.params.tolerances)
        if (rng() % 3 == 0)
            tolerance = kInf;
    return merge;
}

TEST(MergeProperties, NaNsAndInfinitiesMatchTheReference) {
    for (uint32_t seed = 1; seed <= kCaseCount && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        ExpectMatchesTheReference(MakeNonFiniteCase(seed));
    }
}

// Zeros stand for each other: a vertex's bits with -0 made +0.
std::vector<uint32_t> BitsUpToZeroSign(const float* values, size_t count) {
    std::vector<uint32_t> bits = Bits(values, count);
    for (uint32_t& b : bits)
        if (b == 0x80000000u)
            b = 0;
    return bits;
}

TEST(MergeProperties, FiniteOutputDependsOnlyOnTheSetOfVertices) {
    for (uint32_t seed = 1; seed <= kCaseCount && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const MergeCase merge = MakeCase(seed);
        const int floats = merge.params.floatsPerVert;
        const int n = int(merge.values.size()) / floats;
        std::vector<int> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(seed));
        std::vector<float> shuffled;
        for (int i : order)
            shuffled.insert(shuffled.end(), &merge.values[size_t(i) * floats],
                            &merge.values[size_t(i + 1) * floats]);

        const WeldRun run = RunMerge(merge.values, merge.params);
        const WeldRun shuffledRun = RunMerge(shuffled, merge.params);
        ASSERT_EQ(shuffledRun.unique, run.unique);
        const size_t outFloats = size_t(run.unique) * floats;
        EXPECT_EQ(BitsUpToZeroSign(shuffledRun.out.data(), outFloats),
                  BitsUpToZeroSign(run.out.data(), outFloats));
        for (int k = 0; k < n; k++)
            ASSERT_EQ(shuffledRun.remap[k], run.remap[order[k]]) << "shuffled vertex " << k;
    }
}

// With nothing but equality asked for, in each way of asking, the merge is the weld.
TEST(MergeProperties, ZeroDistanceAndTolerancesGiveTheWeld) {
    for (uint32_t seed = 1; seed <= kCaseCount && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        MergeCase merge = MakeNonFiniteCase(seed);
        MergeParams& params = merge.params;
        params.distance = seed % 2 ? 0.0f : -0.0f;
        for (float& tolerance : params.tolerances)
            tolerance = seed % 3 ? 0.0f : -0.0f;
        const WeldRun run = RunMerge(merge.values, params);
        ExpectSameWeld(run, RunWeld(merge.values, params.floatsPerVert));
    }
}

} // namespace
