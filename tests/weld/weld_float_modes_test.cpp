// Whatever floating-point modes the caller left set, a weld gives the results of the default
// modes and hands the caller's modes back.
#include "caller_float_modes.h"
#include "weld_test_util.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

float FromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Values where flushing, another rounding or a shorter significand changes comparisons and
// midpoints: denormals, the smallest normals, signed zeros, neighbours of each other.
float TinyValue(std::mt19937& rng) {
    const uint32_t sign = rng() % 2 ? 0x80000000u : 0;
    switch (rng() % 6) {
    case 0:
        return FromBits(sign);
    case 1:
        return FromBits(sign | (uint32_t(rng()) & 0x007fffffu));
    case 2:
        return FromBits(sign | (1 + rng() % 4));
    case 3:
        return FromBits(sign | (0x00800000u + rng() % 4));
    case 4:
        return FromBits(sign | (uint32_t(1 + rng() % 40) << 23) | (uint32_t(rng()) & 0x7fffffu));
    default:
        return float(int(rng() % 5) - 2);
    }
}

struct Mesh {
    int channels;
    std::vector<float> values;
};

std::vector<Mesh> TinyValueMeshes() {
    std::vector<Mesh> meshes = {{1, {-FLT_MIN, 0.0f}}, {2, {FLT_MIN, -0.0f, 0.0f, FLT_MIN}}};
    for (uint32_t seed = 1; seed <= 200; seed++) {
        std::mt19937 rng(seed);
        Mesh mesh{1 + int(rng() % 4), {}};
        const int n = 1 + int(rng() % 200);
        for (int v = 0; v < n; v++) {
            const bool copyEarlier = v > 0 && rng() % 3 == 0;
            const size_t earlier = size_t(v > 0 ? rng() % v : 0) * mesh.channels;
            for (int c = 0; c < mesh.channels; c++)
                mesh.values.push_back(copyEarlier ? mesh.values[earlier + c] : TinyValue(rng));
        }
        meshes.push_back(mesh);
    }
    return meshes;
}

// With NaNs and infinities, where a trapping mode would stop the weld at its first comparison.
std::vector<Mesh> MeshesWithNaN() {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    return {{1, {nan, 1.0f, nan, -inf, 2.0f}}, {2, {1.0f, -inf, 1.0f, inf, 1.0f, nan, 0.5f, 3.0f}}};
}

void ExpectSameWeldInEveryMode(const std::vector<Mesh>& meshes) {
    for (const CallerFloatModes& modes : kCallerFloatModes) {
        SCOPED_TRACE(modes.name);
        for (size_t m = 0; m < meshes.size() && !testing::Test::HasFailure(); m++) {
            SCOPED_TRACE(testing::Message() << "mesh " << m);
            const Mesh& mesh = meshes[m];
            const WeldRun expected = RunWeld(mesh.values, mesh.channels);
            WeldRun run;
            const ModesAfterCall after =
                CallInModes(modes, [&] { run = RunWeld(mesh.values, mesh.channels); });
            ExpectSameWeld(run, expected);
            EXPECT_EQ(after.x87Control, modes.x87Control) << "x87 control word not restored";
            EXPECT_EQ(after.mxcsr, modes.mxcsr) << "MXCSR not restored";
            EXPECT_EQ(after.exceptionFlags, 0u) << "exception flags left raised";
        }
    }
}

TEST(WeldFloatModes, TinyValuesWeldAsInTheDefaultModes) {
    ExpectSameWeldInEveryMode(TinyValueMeshes());
}

TEST(WeldFloatModes, NaNsAndInfinitiesNeitherTrapNorChangeTheWeld) {
    ExpectSameWeldInEveryMode(MeshesWithNaN());
}

TEST(WeldFloatModes, FlushedSmallestNormalStaysApartFromZero) {
    const CallerFloatModes& flushing =
        kCallerFloatModes[sizeof kCallerFloatModes / sizeof kCallerFloatModes[0] - 1];
    WeldRun run;
    CallInModes(flushing, [&] { run = RunWeld({-FLT_MIN, 0.0f}, 1); });
    EXPECT_EQ(run.unique, 2);
    EXPECT_EQ(run.remap, (std::vector<int>{0, 1}));
}

} // namespace
