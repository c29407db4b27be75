// Whatever floating-point modes the caller left set, a merge gives the results of the default
// modes and hands the caller's modes back, exception flags included.
#include "caller_float_modes.h"
#include "merge_test_util.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Mesh {
    MergeParams params;
    std::vector<float> values;
};

float FromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Denormals and the smallest normals, of either sign, and small integers of them: what flushing
// to zero or reading denormals as zero changes.
float TinyValue(std::mt19937& rng) {
    const uint32_t sign = rng() % 2 ? 0x80000000u : 0;
    switch (rng() % 4) {
    case 0:
        return FromBits(sign | (1 + rng() % 8));
    case 1:
        return FromBits(sign | (uint32_t(rng()) & 0x007fffffu));
    case 2:
        return FromBits(sign | (0x00800000u + rng() % 8));
    default:
        return FromBits(sign);
    }
}

std::vector<Mesh> TinyValueMeshes() {
    const float radii[] = {FLT_TRUE_MIN, 3 * FLT_TRUE_MIN, FLT_MIN / 2, FLT_MIN};
    std::vector<Mesh> meshes;
    for (uint32_t seed = 1; seed <= 100; seed++) {
        std::mt19937 rng(seed);
        Mesh mesh{{1 + int(rng() % 4), 1, radii[rng() % 4], {radii[rng() % 4]}}, {}};
        mesh.params.positionFloats = 1 + int(rng() % mesh.params.floatsPerVert);
        const int n = 1 + int(rng() % 100);
        for (int i = 0; i < n * mesh.params.floatsPerVert; i++)
            mesh.values.push_back(TinyValue(rng));
        meshes.push_back(mesh);
    }
    return meshes;
}

// Pairs of positions a few roundings either side of the distance apart: what another rounding
// direction or precision of the squared distance changes.
std::vector<Mesh> MeshesAtTheDistance() {
    std::vector<Mesh> meshes;
    for (uint32_t seed = 1; seed <= 100; seed++) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        Mesh mesh{{3, 3, float(0.1 + unit(rng) * unit(rng)) + 0.9f, {}}, {}};
        for (int pair = 0; pair < 20; pair++) {
            double direction[3], length = 0;
            for (double& d : direction) {
                d = unit(rng);
                length += d * d;
            }
            const double reach =
                mesh.params.distance * (1.0 + (int(rng() % 7) - 3) * 0x1p-25) / std::sqrt(length);
            const float start[3] = {float(unit(rng) * 100), float(unit(rng) * 100), 0.5f};
            for (int c = 0; c < 3; c++)
                mesh.values.push_back(start[c]);
            for (int c = 0; c < 3; c++)
                mesh.values.push_back(float(start[c] + direction[c] * reach));
        }
        meshes.push_back(mesh);
    }
    return meshes;
}

// With NaNs and infinities, where a trapping mode would stop the merge at its first comparison.
std::vector<Mesh> MeshesWithNaN() {
    return {{{1, 1, 1.0f, {}}, {kNaN, 1.0f, kNaN, -kInf, 2.0f}},
            {{2, 1, kInf, {kInf}}, {1.0f, -kInf, 1.0f, kInf, 1.0f, kNaN, 0.5f, 3.0f, kInf, 0.0f}},
            {{3, 2, 0.5f, {0.25f}}, {kInf, 0.0f, 1.0f, kInf, 0.25f, 1.25f, kNaN, 0.0f, 1.0f}}};
}

void ExpectSameMergeInEveryMode(const std::vector<Mesh>& meshes) {
    for (const CallerFloatModes& modes : kCallerFloatModes) {
        SCOPED_TRACE(modes.name);
        for (size_t m = 0; m < meshes.size() && !testing::Test::HasFailure(); m++) {
            SCOPED_TRACE(testing::Message() << "mesh " << m);
            const Mesh& mesh = meshes[m];
            const WeldRun expected = RunReferenceMerge(mesh.values, mesh.params);
            ASSERT_NO_FATAL_FAILURE(ExpectSameMerge(RunMerge(mesh.values, mesh.params), expected,
                                                    mesh.params.floatsPerVert));
            WeldRun run;
            const ModesAfterCall after =
                CallInModes(modes, [&] { run = RunMerge(mesh.values, mesh.params); });
            ExpectSameMerge(run, expected, mesh.params.floatsPerVert);
            EXPECT_EQ(after.x87Control, modes.x87Control) << "x87 control word not restored";
            EXPECT_EQ(after.mxcsr, modes.mxcsr) << "MXCSR not restored";
            EXPECT_EQ(after.exceptionFlags, 0u) << "exception flags left raised";
        }
    }
}

TEST(MergeFloatModes, TinyValuesMergeAsInTheDefaultModes) {
    ExpectSameMergeInEveryMode(TinyValueMeshes());
}

TEST(MergeFloatModes, PairsAtTheDistanceMergeAsInTheDefaultModes) {
    ExpectSameMergeInEveryMode(MeshesAtTheDistance());
}

TEST(MergeFloatModes, NaNsAndInfinitiesNeitherTrapNorChangeTheMerge) {
    ExpectSameMergeInEveryMode(MeshesWithNaN());
}

float SignalingNaN() {
    return FromBits(0x7fa00000u);
}

// Refused before any work, but only after reading the distance and tolerances: which must not
// trap or raise a flag either.
TEST(MergeFloatModes, RefusedRadiiNeitherTrapNorRaiseFlags) {
    const std::vector<float> values = {0.0f, 1.0f, 2.0f, 3.0f};
    const MergeParams refused[] = {
        {2, 1, kNaN, {}},     {2, 1, SignalingNaN(), {}},     {2, 1, -FLT_TRUE_MIN, {}},
        {2, 1, 1.0f, {kNaN}}, {2, 1, 1.0f, {SignalingNaN()}}, {2, 1, 1.0f, {-FLT_TRUE_MIN}}};
    for (const CallerFloatModes& modes : kCallerFloatModes) {
        SCOPED_TRACE(modes.name);
        for (const MergeParams& params : refused) {
            WeldRun run;
            const ModesAfterCall after =
                CallInModes(modes, [&] { run = RunMerge(values, params); });
            EXPECT_EQ(run.unique, 0);
            EXPECT_EQ(after.x87Control, modes.x87Control) << "x87 control word not restored";
            EXPECT_EQ(after.mxcsr, modes.mxcsr) << "MXCSR not restored";
            EXPECT_EQ(after.exceptionFlags, 0u) << "exception flags left raised";
        }
    }
}

} // namespace
