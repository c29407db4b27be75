// Inputs that drive the weld to its limits: runs with many distinct vertices, NaN data, meshes
// that leave hashing late or never, long runs of vertices that agree on their first channels,
// and the deepest split recursion, the latter on a thread with a small stack.
#include "reference_weld.h"
#include "weld_shapes.h"
#include "weld_test_util.h"
#include "weldmesh.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Mesh {
    int channels;
    std::vector<float> values;
    int Vertices() const { return int(values.size()) / channels; }
};

// Uniform values with a few copies of each vertex, so runs hold more than one vertex.
Mesh RandomMesh(int vertices, int channels, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(-50, 50);
    Mesh mesh{channels, {}};
    for (int i = 0; i < vertices; i++) {
        if (i > 0 && rng() % 3 == 0) {
            const int copy = int(rng() % unsigned(i));
            for (int c = 0; c < channels; c++)
                mesh.values.push_back(mesh.values[size_t(copy) * channels + c]);
            continue;
        }
        for (int c = 0; c < channels; c++)
            mesh.values.push_back(float(value(rng)) * 0.25f);
    }
    return mesh;
}

Mesh WithEveryNth(Mesh mesh, int every, float value) {
    for (size_t i = 0; i < mesh.values.size(); i += every)
        mesh.values[i] = value;
    return mesh;
}

// Groups of 64 vertices that only the last float of one vertex per group tells apart.
Mesh WideMesh(int vertices, int channels) {
    Mesh mesh{channels, std::vector<float>(size_t(vertices) * channels, 0.0f)};
    for (int i = 0; i < vertices; i++) {
        mesh.values[size_t(i) * channels] = float(i / 64);
        mesh.values[size_t(i) * channels + channels - 1] = float(i % 64 == 63);
    }
    return mesh;
}

// One run of -inf, 5 and zeros: the +0 joins the group that the first -0 leads.
Mesh FewDistinctWithNegativeInfinity(int vertices) {
    Mesh mesh{1, {}};
    for (int i = 0; i < vertices; i++)
        mesh.values.push_back(i % 3 == 0 ? -kInf : i % 3 == 1 ? 5.0f : -0.0f);
    mesh.values[5] = 0.0f;
    return mesh;
}

// The last vertex repeats an earlier one with one channel changed.
Mesh WithLastVertexFrom(Mesh mesh, int earlier, int channel, float value) {
    for (int c = 0; c < mesh.channels; c++)
        mesh.values.push_back(c == channel ? value
                                           : mesh.values[size_t(earlier) * mesh.channels + c]);
    return mesh;
}

// Distinct vertices agreeing on the first two channels in runs of about 1000.
Mesh LongRunsOfEqualLeadingChannels(int vertices) {
    Mesh mesh = RandomMesh(vertices, 4, 8);
    for (int i = 0; i < vertices; i++) {
        mesh.values[size_t(i) * 4] = float(i % 3);
        mesh.values[size_t(i) * 4 + 1] = 7.0f;
    }
    return mesh;
}

struct HardCase {
    const char* name;
    std::function<Mesh()> make;
};

class HardInputs : public testing::TestWithParam<HardCase> {};

// Small enough for the straightforward welder, which is quadratic on these.
TEST_P(HardInputs, MatchTheStraightforwardWelderBitForBit) {
    const Mesh mesh = GetParam().make();
    ExpectSameWeld(RunWeld(mesh.values, mesh.channels),
                   RunWeld(mesh.values, mesh.channels, ReferenceWeldMesh));
}

INSTANTIATE_TEST_SUITE_P(
    Weld, HardInputs,
    testing::Values(HardCase{"OneNegativeInfinity",
                             [] {
                                 Mesh mesh = RandomMesh(3000, 1, 1);
                                 mesh.values[1234] = -kInf;
                                 return mesh;
                             }},
                    HardCase{"InfinitiesInEveryChannel",
                             [] { return WithEveryNth(RandomMesh(3000, 3, 2), 97, kInf); }},
                    HardCase{"NegativeInfinitiesWithSignedZeros",
                             [] {
                                 Mesh mesh = WithEveryNth(RandomMesh(3000, 2, 3), 5, -0.0f);
                                 return WithEveryNth(mesh, 89, -kInf);
                             }},
                    HardCase{"InfinityBesideCopiesInOtherChannels",
                             [] { return WithEveryNth(RandomMesh(4000, 4, 4), 401, kInf); }},
                    HardCase{"WideVerticesEqualButTheLastFloat", [] { return WideMesh(640, 300); }},
                    HardCase{"FewDistinctBesideNegativeInfinity",
                             [] { return FewDistinctWithNegativeInfinity(5000); }},
                    HardCase{"NoChannelSplitsBesideInfinities",
                             [] {
                                 Mesh mesh = RandomMesh(3000, 3, 12);
                                 for (size_t i = 1; i < mesh.values.size(); i += 3)
                                     mesh.values[i] = 2.0f;
                                 mesh.values[300] = -kInf;
                                 mesh.values[602] = kInf;
                                 return mesh;
                             }},
                    HardCase{"LargeMesh", [] { return RandomMesh(100000, 3, 9); }},
                    HardCase{"LargeMeshEndingInAZeroOfTheOtherSign",
                             [] {
                                 Mesh mesh = RandomMesh(100000, 3, 10);
                                 size_t zero = 0;
                                 while (mesh.values[zero] != 0.0f)
                                     zero++;
                                 return WithLastVertexFrom(mesh, int(zero / 3), int(zero % 3),
                                                           -0.0f);
                             }},
                    HardCase{
                        "LargeMeshEndingInAnInfinity",
                        [] { return WithLastVertexFrom(RandomMesh(100000, 2, 11), 5, 1, kInf); }},
                    HardCase{"AllDistinctSingleFloats",
                             [] {
                                 Mesh mesh{1, {}};
                                 for (int i = 0; i < 50000; i++)
                                     mesh.values.push_back(float((i * 7919) % 50000) - 2.5f);
                                 return mesh;
                             }},
                    HardCase{"LongRunsOfEqualLeadingChannels",
                             [] { return LongRunsOfEqualLeadingChannels(3000); }},
                    HardCase{"AllDistinctPairs",
                             [] {
                                 Mesh mesh{2, {}};
                                 for (int i = 0; i < 50000; i++)
                                     mesh.values.insert(mesh.values.end(),
                                                        {float(i % 97) - 48.5f,
                                                         float((i * 7919) % 50000) * -0.125f});
                                 return mesh;
                             }}),
    [](const testing::TestParamInfo<HardCase>& info) { return info.param.name; });

class HugeHardInputs : public testing::TestWithParam<HardCase> {};

// Sizes at which a quadratic run merge would take minutes; the test's timeout catches that.
TEST_P(HugeHardInputs, FinishWithAValidWeld) {
    const Mesh mesh = GetParam().make();
    ExpectWeldInvariants(RunWeld(mesh.values, mesh.channels), mesh.values, mesh.channels);
}

INSTANTIATE_TEST_SUITE_P(
    Weld, HugeHardInputs,
    testing::Values(HardCase{"OneNegativeInfinity",
                             [] {
                                 Mesh mesh = RandomMesh(200000, 1, 5);
                                 for (float& v : mesh.values)
                                     v = v * 1000.0f + float(&v - mesh.values.data());
                                 mesh.values[77] = -kInf;
                                 return mesh;
                             }},
                    HardCase{"AllNaN",
                             [] {
                                 return Mesh{1, std::vector<float>(200000, kNaN)};
                             }},
                    HardCase{"ScatteredNaN",
                             [] { return WithEveryNth(RandomMesh(200000, 3, 6), 7, kNaN); }},
                    HardCase{"BothInfinitiesInOneChannel",
                             [] {
                                 Mesh mesh = WithEveryNth(RandomMesh(200000, 2, 7), 10, kInf);
                                 return WithEveryNth(mesh, 6, -kInf);
                             }},
                    HardCase{"BothInfinitiesAmongFewThousandValues",
                             [] {
                                 return Mesh{2, BothInfinitiesAmongIntegers(200000, 13)};
                             }}),
    [](const testing::TestParamInfo<HardCase>& info) { return info.param.name; });

// Values 2^-149 .. 2^127 in one channel make the midpoint split peel off one value per level.
// Chaining that through 16 channels, each chain hanging off the smallest value of the previous
// channel, is the deepest recursion that splitting at midpoints can produce.
Mesh DeepestSplitMesh() {
    const int channels = 16, exponents = 277;
    Mesh mesh{channels, {}};
    for (int chain = 0; chain < channels; chain++) {
        for (int e = 0; e < exponents; e++) {
            for (int copies = 0; copies < 2; copies++) {
                for (int c = 0; c < channels; c++) {
                    const float smallest = std::ldexp(1.0f, -149);
                    mesh.values.push_back(c < chain    ? smallest
                                          : c == chain ? std::ldexp(1.0f, e - 149)
                                                       : 3.0f);
                }
            }
        }
    }
    return mesh;
}

struct ThreadWeld {
    const Mesh* mesh;
    WeldRun weld;
};

// A pair of vertices that differ only in the sign of a zero sends the weld to the exact split.
Mesh WithZerosOfBothSigns(Mesh mesh) {
    for (float zero : {0.0f, -0.0f}) {
        mesh.values.push_back(zero);
        for (int c = 1; c < mesh.channels; c++)
            mesh.values.push_back(3.0f);
    }
    return mesh;
}

WeldRun WeldOnSmallStack(const Mesh& mesh) {
    ThreadWeld job{&mesh, {}};
    pthread_attr_t attr;
    EXPECT_EQ(0, pthread_attr_init(&attr));
    EXPECT_EQ(0, pthread_attr_setstacksize(&attr, 256 * 1024));
    pthread_t thread;
    EXPECT_EQ(0, pthread_create(
                     &thread, &attr,
                     [](void* arg) -> void* {
                         ThreadWeld* job = static_cast<ThreadWeld*>(arg);
                         job->weld = RunWeld(job->mesh->values, job->mesh->channels);
                         return nullptr;
                     },
                     &job));
    EXPECT_EQ(0, pthread_join(thread, nullptr));
    pthread_attr_destroy(&attr);
    return job.weld;
}

TEST(WeldStack, DeepestSplitFitsA256KiBStack) {
    const Mesh mesh = WithZerosOfBothSigns(DeepestSplitMesh());
    const WeldRun weld = WeldOnSmallStack(mesh);
    EXPECT_EQ(weld.unique, mesh.Vertices() / 2);
    ExpectSameWeld(weld, RunWeld(mesh.values, mesh.channels, ReferenceWeldMesh));
}

TEST(WeldStack, HashedDeepestSplitMeshFitsA256KiBStack) {
    const Mesh mesh = DeepestSplitMesh();
    const WeldRun weld = WeldOnSmallStack(mesh);
    EXPECT_EQ(weld.unique, mesh.Vertices() / 2);
    ExpectSameWeld(weld, RunWeld(mesh.values, mesh.channels, ReferenceWeldMesh));
}

} // namespace
