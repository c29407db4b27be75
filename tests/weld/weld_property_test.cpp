#include "reference_weld.h"
#include "weld_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const int kCaseCount = 400;

struct RandomMesh {
    int channels = 1;
    std::vector<float> values;
};

float FromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Any finite value, uniform over the bit patterns, so every exponent is about equally likely.
float AnyFiniteFloat(std::mt19937& rng) {
    for (;;) {
        const float f = FromBits(uint32_t(rng()));
        if (std::isfinite(f))
            return f;
    }
}

float PoolValue(std::mt19937& rng, const std::vector<float>& pool) {
    switch (rng() % 6) {
    case 0:
        return 0.0f;
    case 1:
        return FromBits((uint32_t(rng()) & 0x807fffffu) | 1u);
    case 2:
        return float(int(rng() % 9) - 4);
    case 3:
        if (!pool.empty())
            return std::nextafter(pool[rng() % pool.size()], rng() % 2 ? kInf : -kInf);
        return 1.0f;
    default:
        return AnyFiniteFloat(rng);
    }
}

// A channel draws from a small pool so that values tie often; a pool may also hold one sign of
// infinity, which the value contract allows.
std::vector<float> ChannelPool(std::mt19937& rng, int vertexCount) {
    const int size = 1 + int(rng() % (1 + vertexCount / (1 + rng() % 16)));
    std::vector<float> pool;
    while (int(pool.size()) < size) {
        const float f = PoolValue(rng, pool);
        pool.push_back(std::isfinite(f) ? f : 1.0f);
    }
    switch (rng() % 8) {
    case 0:
        pool.push_back(kInf);
        break;
    case 1:
        pool.push_back(-kInf);
        break;
    }
    return pool;
}

float WithRandomZeroSign(std::mt19937& rng, float f) {
    return f == 0 && rng() % 2 ? -f : f;
}

// Copies of a vertex are exact copies where bitIdenticalCopies is set; otherwise a copy's zeros
// may change sign, which makes groups whose members differ in bits.
RandomMesh MakeRandomMesh(uint32_t seed, bool bitIdenticalCopies = false) {
    std::mt19937 rng(seed);
    RandomMesh mesh;
    mesh.channels = 1 + int(rng() % 8);
    const int vertexCount = 1 + int(rng() % (rng() % 4 == 0 ? 3000 : 60));
    std::vector<std::vector<float>> pools;
    for (int c = 0; c < mesh.channels; c++)
        pools.push_back(ChannelPool(rng, vertexCount));
    mesh.values.resize(size_t(vertexCount) * mesh.channels);
    for (int v = 0; v < vertexCount; v++) {
        float* vertex = &mesh.values[size_t(v) * mesh.channels];
        const bool copyEarlier = v > 0 && rng() % 3 == 0;
        const float* earlier = &mesh.values[size_t(rng() % (v + 1)) * mesh.channels];
        for (int c = 0; c < mesh.channels; c++) {
            if (copyEarlier && bitIdenticalCopies) {
                vertex[c] = earlier[c];
                continue;
            }
            const float f = copyEarlier ? earlier[c] : pools[c][rng() % pools[c].size()];
            vertex[c] = WithRandomZeroSign(rng, f);
        }
    }
    return mesh;
}

// Outside the value contract: some values become NaNs and some channels hold both infinities;
// then some vertices are copied over others, so that NaN vertices get bit-identical twins.
RandomMesh MakeOutOfContractMesh(uint32_t seed) {
    RandomMesh mesh = MakeRandomMesh(seed);
    std::mt19937 rng(~seed);
    const uint32_t nanBits[] = {0x7fc00000u, 0xffc00000u, 0x7f800001u, 0x7fc0beefu};
    for (float& f : mesh.values) {
        switch (rng() % 16) {
        case 0:
            f = FromBits(nanBits[rng() % 4]);
            break;
        case 1:
            f = rng() % 2 ? kInf : -kInf;
            break;
        }
    }
    const size_t channels = size_t(mesh.channels);
    const size_t n = mesh.values.size() / channels;
    for (size_t v = 1; v < n; v++) {
        if (rng() % 4 == 0)
            std::copy_n(&mesh.values[(rng() % v) * channels], channels, &mesh.values[v * channels]);
    }
    return mesh;
}

// The groups of equal vertices, found by sorting: each group lists its input indices.
std::vector<std::vector<int>> GroupsOfEqualVertices(const RandomMesh& mesh) {
    const int channels = mesh.channels;
    const int n = int(mesh.values.size()) / channels;
    auto vertex = [&](int i) { return &mesh.values[size_t(i) * channels]; };
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return VertexLess(vertex(a), vertex(b), channels); });
    std::vector<std::vector<int>> groups;
    for (size_t k = 0; k < order.size(); k++) {
        if (k == 0 || VertexLess(vertex(order[k - 1]), vertex(order[k]), channels))
            groups.emplace_back();
        groups.back().push_back(order[k]);
    }
    return groups;
}

void ExpectMatchesGroups(const WeldRun& run, const RandomMesh& mesh) {
    const int channels = mesh.channels;
    const std::vector<std::vector<int>> groups = GroupsOfEqualVertices(mesh);
    ASSERT_EQ(run.unique, int(groups.size()));
    std::vector<bool> outputUsed(run.unique, false);
    for (const std::vector<int>& group : groups) {
        const int k = run.remap[group[0]];
        ASSERT_GE(k, 0);
        ASSERT_LT(k, run.unique);
        EXPECT_FALSE(outputUsed[k]) << "two groups share output vertex " << k;
        outputUsed[k] = true;
        const std::vector<uint32_t> rep = Bits(&run.out[size_t(k) * channels], channels);
        bool repIsMember = false;
        for (int i : group) {
            EXPECT_EQ(run.remap[i], k) << "vertex " << i << " left its group";
            if (Bits(&mesh.values[size_t(i) * channels], channels) == rep)
                repIsMember = true;
        }
        EXPECT_TRUE(repIsMember) << "output vertex " << k << " copies no vertex of its group";
    }
}

TEST(WeldProperties, RandomMeshesMatchTheGroupsOfEqualVertices) {
    for (uint32_t seed = 1; seed <= kCaseCount && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const RandomMesh mesh = MakeRandomMesh(seed);
        const std::vector<uint32_t> inputBits = Bits(mesh.values);
        const WeldRun run = RunWeld(mesh.values, mesh.channels);
        EXPECT_EQ(Bits(mesh.values), inputBits) << "input modified";
        ExpectMatchesGroups(run, mesh);
        ExpectUntouchedTail(run, mesh.channels);
        if (AllFinite(mesh.values))
            ExpectSortedOutput(run, mesh.channels);
        ExpectSameWeld(run, RunWeld(mesh.values, mesh.channels, ReferenceWeldMesh));
    }
}

// Without groups whose members differ in bits, the weld takes another road than where they mix:
// zeros of either sign must still order by value alone.
TEST(WeldProperties, MeshesWithBitIdenticalCopiesMatchTheReference) {
    for (uint32_t seed = 1; seed <= kCaseCount && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const RandomMesh mesh = MakeRandomMesh(seed, true);
        const WeldRun run = RunWeld(mesh.values, mesh.channels);
        ExpectMatchesGroups(run, mesh);
        ExpectSameWeld(run, RunWeld(mesh.values, mesh.channels, ReferenceWeldMesh));
    }
}

TEST(WeldProperties, OutOfContractMeshesKeepTheInvariants) {
    for (uint32_t seed = 1; seed <= kCaseCount / 2 && !HasFailure(); seed++) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const RandomMesh mesh = MakeOutOfContractMesh(seed);
        const std::vector<uint32_t> inputBits = Bits(mesh.values);
        const WeldRun run = RunWeld(mesh.values, mesh.channels);
        EXPECT_EQ(Bits(mesh.values), inputBits) << "input modified";
        ExpectWeldInvariants(run, mesh.values, mesh.channels);
    }
}

} // namespace
