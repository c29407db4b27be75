#ifndef VERTEX_WELD_TESTS_WELD_TEST_UTIL_H
#define VERTEX_WELD_TESTS_WELD_TEST_UTIL_H

#include "weldmesh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

using WeldFunction = int (*)(int*, float*, const float*, int, int);

// Prefilled into the outputs so that anything the call leaves alone can be recognised. A quiet
// NaN, since x87 loads would turn a signalling one quiet.
const uint32_t kUntouchedOutputBits = 0x7fc5a5a5;
const int kUntouchedRemap = -7;

inline uint32_t Bits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

inline std::vector<uint32_t> Bits(const float* values, size_t count) {
    std::vector<uint32_t> bits(count);
    std::memcpy(bits.data(), values, count * sizeof(float));
    return bits;
}

inline std::vector<uint32_t> Bits(const std::vector<float>& values) {
    return Bits(values.data(), values.size());
}

struct WeldRun {
    int unique = 0;
    std::vector<int> remap;
    std::vector<float> out;
};

// Outputs for n vertices of `floats` floats in all, prefilled with the untouched values.
inline WeldRun PrefilledRun(int n, size_t floats) {
    WeldRun run;
    run.remap.assign(n, kUntouchedRemap);
    run.out.resize(floats);
    for (float& value : run.out)
        std::memcpy(&value, &kUntouchedOutputBits, sizeof value);
    return run;
}

inline WeldRun RunWeld(const std::vector<float>& in, int channels, WeldFunction weld = WeldMesh) {
    const int n = int(in.size()) / channels;
    WeldRun run = PrefilledRun(n, in.size());
    run.unique = weld(run.remap.data(), run.out.data(), in.data(), n, channels);
    return run;
}

inline void ExpectSameWeld(const WeldRun& run, const WeldRun& expected) {
    EXPECT_EQ(run.unique, expected.unique);
    EXPECT_EQ(run.remap, expected.remap);
    EXPECT_EQ(Bits(run.out), Bits(expected.out));
}

inline bool HasNan(const float* vertex, int channels) {
    for (int c = 0; c < channels; c++)
        if (std::isnan(vertex[c]))
            return true;
    return false;
}

inline bool VertexLess(const float* a, const float* b, int channels) {
    for (int c = 0; c < channels; c++) {
        if (a[c] < b[c])
            return true;
        if (b[c] < a[c])
            return false;
    }
    return false;
}

inline bool AllFinite(const std::vector<float>& values) {
    return std::all_of(values.begin(), values.end(), [](float f) { return std::isfinite(f); });
}

inline void ExpectSortedOutput(const WeldRun& run, int channels) {
    for (int k = 1; k < run.unique; k++) {
        EXPECT_TRUE(VertexLess(&run.out[size_t(k - 1) * channels], &run.out[size_t(k) * channels],
                               channels))
            << "output vertices " << k - 1 << " and " << k << " out of order";
    }
}

inline void ExpectUntouchedTail(const WeldRun& run, int channels) {
    for (size_t v = size_t(run.unique) * channels; v < run.out.size(); v++)
        ASSERT_EQ(Bits(run.out[v]), kUntouchedOutputBits) << "output tail written at " << v;
}

// What must hold for any input, even one outside the value contract (NaNs, -inf beside +inf in
// one channel): entries in range, each output vertex a bit copy of an input vertex mapped to it,
// a vertex mapped only to an equal one, and a vertex holding a NaN never sharing its output.
inline void ExpectWeldInvariants(const WeldRun& run, const std::vector<float>& in, int channels) {
    const int n = int(in.size()) / channels;
    ASSERT_GE(run.unique, 1);
    ASSERT_LE(run.unique, n);
    std::vector<int> sharers(run.unique, 0);
    std::vector<bool> hasBitCopy(run.unique, false);
    for (int i = 0; i < n; i++) {
        const int k = run.remap[i];
        ASSERT_GE(k, 0) << "vertex " << i;
        ASSERT_LT(k, run.unique) << "vertex " << i;
        sharers[k]++;
        const float* vertex = &in[size_t(i) * channels];
        const float* rep = &run.out[size_t(k) * channels];
        if (Bits(vertex, channels) == Bits(rep, channels))
            hasBitCopy[k] = true;
        if (HasNan(vertex, channels))
            continue;
        for (int c = 0; c < channels; c++)
            EXPECT_EQ(vertex[c], rep[c]) << "vertex " << i << " channel " << c;
    }
    for (int i = 0; i < n; i++) {
        const bool isLoneNan =
            !HasNan(&in[size_t(i) * channels], channels) || sharers[run.remap[i]] == 1;
        EXPECT_TRUE(isLoneNan) << "vertex " << i << " holds a NaN but shares its output vertex";
    }
    for (int k = 0; k < run.unique; k++)
        EXPECT_TRUE(hasBitCopy[k]) << "output vertex " << k << " copies no vertex mapped to it";
    ExpectUntouchedTail(run, channels);
}

#endif
