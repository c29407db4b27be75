// Inputs that would make a search for close vertices quadratic, or deep, at sizes where that
// shows as the test's timeout: many vertices at one position, all within one distance, a distance
// far larger than the data, huge coordinates with a tiny distance, infinities, points on the
// borders of cells, many compared components, and lattices that would crowd wide cells. Each result
// is known without a quadratic check.
#include "merge_test_util.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const int kLarge = 200000;

struct HardMesh {
    MergeParams params;
    std::vector<float> values;
    int expectedOutputs; // 0: as many as the weld's distinct vertices
};

// Unit normals at the points of a spherical Fibonacci lattice, over 0.006 apart: far beyond the
// tolerance of 0.001 in at least one component.
HardMesh OnePositionNormalsApart() {
    HardMesh mesh{{6, 3, 1.0f, {0.001f}}, {}, kLarge};
    const double golden = M_PI * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < kLarge; i++) {
        const double z = 1.0 - (i + 0.5) * 2.0 / kLarge;
        const double r = std::sqrt(1.0 - z * z);
        mesh.values.insert(mesh.values.end(), {1.0f, 2.0f, 3.0f, float(r * std::cos(golden * i)),
                                               float(r * std::sin(golden * i)), float(z)});
    }
    return mesh;
}

// Random points in a ball of half the distance: every vertex joins the first.
HardMesh AllWithinOneDistance() {
    HardMesh mesh{{3, 3, 2.0f, {}}, {}, 1};
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> coordinate(-1.0f, 1.0f);
    while (int(mesh.values.size()) < 3 * kLarge) {
        const float p[3] = {coordinate(rng), coordinate(rng), coordinate(rng)};
        if (p[0] * p[0] + p[1] * p[1] + p[2] * p[2] <= 0.99f)
            mesh.values.insert(mesh.values.end(), p, p + 3);
    }
    return mesh;
}

HardMesh DistanceFarLargerThanTheData() {
    HardMesh mesh{{8, 3, 1e30f, {1e30f}}, {}, 1};
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
    for (int i = 0; i < 8 * kLarge; i++)
        mesh.values.push_back(value(rng));
    return mesh;
}

float FromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The largest floats of either sign, each a copy or a neighbour of another: apart unless equal.
HardMesh HugeCoordinatesTinyDistance() {
    HardMesh mesh{{3, 3, 1e-30f, {}}, {}, 0};
    std::mt19937 rng(3);
    for (int i = 0; i < 3 * kLarge; i++) {
        const uint32_t sign = rng() % 2 ? 0x80000000u : 0;
        mesh.values.push_back(FromBits(sign | (0x7f7fffffu - rng() % 200)));
    }
    return mesh;
}

// Components that are an infinity or a multiple of twice the distance: apart unless equal.
HardMesh Infinities() {
    HardMesh mesh{{3, 2, 0.5f, {0.5f}}, {}, 0};
    std::mt19937 rng(4);
    const float infinities[3] = {kInf, -kInf, kInf};
    for (int i = 0; i < kLarge; i++)
        for (int c = 0; c < 3; c++)
            mesh.values.push_back(rng() % 4 == 0 ? infinities[c] : float(rng() % 60));
    return mesh;
}

// Lines of vertices one distance apart along the first component, the lines three distances apart:
// every multiple of the distance, where cells have their borders, holds vertices, and each line
// merges by twos.
HardMesh ChainsOnCellBorders() {
    HardMesh mesh{{3, 3, 0.25f, {}}, {}, 400 * 250};
    for (int line = 0; line < 400; line++)
        for (int i = 0; i < 500; i++)
            mesh.values.insert(mesh.values.end(), {0.25f * float(i), 0.75f * float(line % 20),
                                                   0.75f * float(line / 20)});
    return mesh;
}

// Twenty floats with a tolerance each, every value a multiple of its radius: the positions are
// twice the distance apart, and every vertex lies on a border in each component.
HardMesh TwentyFloatsOnCellBorders() {
    HardMesh mesh{{20, 3, 0.5f, std::vector<float>(17, 0.25f)}, {}, kLarge};
    std::mt19937 rng(5);
    for (int i = 0; i < kLarge; i++) {
        mesh.values.insert(mesh.values.end(), {float(i % 60), float(i / 60 % 60), float(i / 3600)});
        for (int c = 3; c < 20; c++)
            mesh.values.push_back(0.25f * float(rng() % 64));
    }
    return mesh;
}

// The other components on a lattice just over the tolerance apart, at one position: wide cells
// would crowd thousands of representatives, pairwise apart, into each.
HardMesh OnePositionNormalsOnALattice() {
    HardMesh mesh{{6, 3, 1.0f, {0.01f}}, {}, 60 * 60 * 60};
    for (int i = 0; i < 60 * 60 * 60; i++)
        mesh.values.insert(mesh.values.end(),
                           {1.0f, 2.0f, 3.0f, 0.011f * float(i % 60), 0.011f * float(i / 60 % 60),
                            0.011f * float(i / 3600)});
    return mesh;
}

// Five components on such a lattice, each of its 8^5 points held by several vertices.
HardMesh FiveComponentsOnALattice() {
    HardMesh mesh{{8, 3, 0.5f, {1.0f}}, {}, 8 * 8 * 8 * 8 * 8};
    for (int i = 0; i < kLarge; i++) {
        mesh.values.insert(mesh.values.end(), {0.0f, 0.0f, 0.0f});
        for (int c = 0, site = i % (8 * 8 * 8 * 8 * 8); c < 5; c++, site /= 8)
            mesh.values.push_back(1.1f * float(site % 8));
    }
    return mesh;
}

struct HardCase {
    const char* name;
    std::function<HardMesh()> make;
};

class HardInputs : public testing::TestWithParam<HardCase> {};

TEST_P(HardInputs, FinishWithTheKnownMerge) {
    const HardMesh mesh = GetParam().make();
    const WeldRun run = RunMerge(mesh.values, mesh.params);
    const int expected = mesh.expectedOutputs > 0
                             ? mesh.expectedOutputs
                             : RunWeld(mesh.values, mesh.params.floatsPerVert).unique;
    EXPECT_EQ(run.unique, expected);
    ExpectMergeInvariants(run, mesh.values, mesh.params);
}

INSTANTIATE_TEST_SUITE_P(
    Merge, HardInputs,
    testing::Values(HardCase{"OnePositionNormalsApart", OnePositionNormalsApart},
                    HardCase{"AllWithinOneDistance", AllWithinOneDistance},
                    HardCase{"DistanceFarLargerThanTheData", DistanceFarLargerThanTheData},
                    HardCase{"HugeCoordinatesTinyDistance", HugeCoordinatesTinyDistance},
                    HardCase{"Infinities", Infinities},
                    HardCase{"ChainsOnCellBorders", ChainsOnCellBorders},
                    HardCase{"TwentyFloatsOnCellBorders", TwentyFloatsOnCellBorders},
                    HardCase{"OnePositionNormalsOnALattice", OnePositionNormalsOnALattice},
                    HardCase{"FiveComponentsOnALattice", FiveComponentsOnALattice}),
    [](const testing::TestParamInfo<HardCase>& info) { return info.param.name; });

// The deepest a call reaches into the stack of a thread of its own, found as the lowest byte of
// a painted stack that the call wrote.
size_t StackUsedBy(const std::function<void()>& call) {
    const size_t size = 256 * 1024;
    unsigned char* stack = static_cast<unsigned char*>(std::aligned_alloc(4096, size));
    std::memset(stack, 0xa5, size);
    pthread_attr_t attr;
    EXPECT_EQ(0, pthread_attr_init(&attr));
    EXPECT_EQ(0, pthread_attr_setstack(&attr, stack, size));
    pthread_t thread;
    EXPECT_EQ(0, pthread_create(
                     &thread, &attr,
                     [](void* arg) -> void* {
                         (*static_cast<const std::function<void()>*>(arg))();
                         return nullptr;
                     },
                     const_cast<std::function<void()>*>(&call)));
    EXPECT_EQ(0, pthread_join(thread, nullptr));
    pthread_attr_destroy(&attr);
    size_t untouched = 0;
    while (untouched < size && stack[untouched] == 0xa5)
        untouched++;
    std::free(stack);
    return size - untouched;
}

// What the merge needs of the stack besides WeldMesh's, on vertices of twenty floats in clusters.
TEST(MergeStack, UnderAKilobyteBesidesTheWelds) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer grows every frame";
#endif
    const MergeParams params{20, 3, 0.5f, {0.25f}};
    std::vector<float> values;
    std::mt19937 rng(6);
    for (int i = 0; i < 20 * 5000; i++)
        values.push_back(0.1f * float(rng() % 100));
    const size_t weld = StackUsedBy([&] { RunWeld(values, params.floatsPerVert); });
    const size_t merge = StackUsedBy([&] { RunMerge(values, params); });
    EXPECT_LT(merge, weld + 1024) << "the weld used " << weld << " bytes";
}

} // namespace
