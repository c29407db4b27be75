#ifndef VERTEX_WELD_TESTS_MERGE_TEST_UTIL_H
#define VERTEX_WELD_TESTS_MERGE_TEST_UTIL_H

#include "mergeclose.h"
#include "reference_merge.h"
#include "weld_test_util.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using MergeFunction = int (*)(int*, float*, const float*, int, int, int, float, const float*, int);

// What a merge is asked for besides the vertices: no tolerances, one for every other component,
// or one each.
struct MergeParams {
    int floatsPerVert = 1;
    int positionFloats = 1;
    float distance = 0.0f;
    std::vector<float> tolerances;

    MergeParams() = default;
    MergeParams(int floats, int positions, float distanceAsked, std::vector<float> toleranceList)
        : floatsPerVert(floats), positionFloats(positions), distance(distanceAsked),
          tolerances(std::move(toleranceList)) {}

    CloseRequest Request() const {
        return {floatsPerVert, positionFloats, distance, tolerances.data(), int(tolerances.size())};
    }
};

inline WeldRun RunMerge(const std::vector<float>& in, const MergeParams& params,
                        MergeFunction merge = MergeCloseVertices) {
    const int n = int(in.size()) / params.floatsPerVert;
    WeldRun run = PrefilledRun(n, in.size());
    run.unique = merge(run.remap.data(), run.out.data(), in.data(), n, params.floatsPerVert,
                       params.positionFloats, params.distance, params.tolerances.data(),
                       int(params.tolerances.size()));
    return run;
}

inline WeldRun RunReferenceMerge(const std::vector<float>& in, const MergeParams& params) {
    return RunMerge(in, params, ReferenceMergeCloseVertices);
}

// The same count, remap and output vertices; what lies past them is scratch.
inline void ExpectSameMerge(const WeldRun& run, const WeldRun& expected, int floatsPerVert) {
    ASSERT_EQ(run.unique, expected.unique);
    EXPECT_EQ(run.remap, expected.remap);
    const size_t floats = size_t(run.unique) * floatsPerVert;
    EXPECT_EQ(Bits(run.out.data(), floats), Bits(expected.out.data(), floats));
}

// What must hold for any input, checked in linear time: every entry names an output vertex that
// is close to the input vertex (a vertex with a NaN has one of its own, a bit copy of it), every
// output vertex is a bit copy of a vertex mapped to it, and for finite data the output is sorted.
inline void ExpectMergeInvariants(const WeldRun& run, const std::vector<float>& in,
                                  const MergeParams& params) {
    const int floats = params.floatsPerVert;
    const int n = int(in.size()) / floats;
    const CloseRequest request = params.Request();
    ASSERT_GE(run.unique, 1);
    ASSERT_LE(run.unique, n);
    std::vector<int> sharers(run.unique, 0);
    std::vector<bool> hasBitCopy(run.unique, false);
    for (int i = 0; i < n; i++) {
        const int k = run.remap[i];
        ASSERT_GE(k, 0) << "vertex " << i;
        ASSERT_LT(k, run.unique) << "vertex " << i;
        sharers[k]++;
        const float* vertex = &in[size_t(i) * floats];
        const float* rep = &run.out[size_t(k) * floats];
        const bool isBitCopy = Bits(vertex, floats) == Bits(rep, floats);
        hasBitCopy[k] = hasBitCopy[k] || isBitCopy;
        if (HasNan(vertex, floats)) {
            EXPECT_TRUE(isBitCopy) << "vertex " << i << " holds a NaN and was merged";
        } else {
            ASSERT_TRUE(ReferenceAreClose(vertex, rep, request))
                << "vertex " << i << " is not close to its output vertex " << k;
        }
    }
    for (int i = 0; i < n; i++) {
        const bool isLoneNan =
            !HasNan(&in[size_t(i) * floats], floats) || sharers[run.remap[i]] == 1;
        EXPECT_TRUE(isLoneNan) << "vertex " << i << " holds a NaN but shares its output vertex";
    }
    for (int k = 0; k < run.unique; k++)
        EXPECT_TRUE(hasBitCopy[k]) << "output vertex " << k << " copies no vertex mapped to it";
    if (AllFinite(in))
        ExpectSortedOutput(run, floats);
}

// No two output vertices are close; quadratic, for small outputs.
inline void ExpectOutputVerticesApart(const WeldRun& run, const MergeParams& params) {
    const int floats = params.floatsPerVert;
    const CloseRequest request = params.Request();
    for (int k = 0; k < run.unique; k++)
        for (int l = k + 1; l < run.unique; l++)
            ASSERT_FALSE(ReferenceAreClose(&run.out[size_t(k) * floats],
                                           &run.out[size_t(l) * floats], request))
                << "output vertices " << k << " and " << l << " are close";
}

#endif
