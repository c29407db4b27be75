#include "weldmesh.h"

#include "float_modes.h"
#include "weld_internal.h"

#include <assert.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

// The exact split compares and averages floats: it runs under the modes it needs, and gives the
// caller's back. A call of its own, so that no floating-point work can be moved across the mode
// changes.
__attribute__((noinline)) static int SplitInWeldModes(int* piRemapTable, float* pfVertexDataOut,
                                                      int* piWork, const float* pfVertexDataIn,
                                                      int iNrVerticesIn, int iFloatsPerVert) {
    FloatModes callerModes;
    SetWeldFloatModes(&callerModes);
    for (int i = 0; i < iNrVerticesIn; i++)
        piWork[i] = i;
    const int iUniqueVertices = MergeVertsFast(piRemapTable, pfVertexDataOut, piWork,
                                               pfVertexDataIn, iFloatsPerVert, iNrVerticesIn);
    RestoreFloatModes(&callerModes);
    return iUniqueVertices;
}

// Hashing finds the groups of equal vertices and only their leaders are sorted, wherever that
// gives the exact split's result: wherever grouping by bits works. Where it does not, the data
// decides the plan: if no channel can split it, the split would merge it as one run, first come
// first served; NaNs or both infinities in a channel promise no order, and the sorted one is
// given; the exact split welds everything else, and whatever a hash spreads badly. All but the
// split work on the values' bits alone, whatever the caller's floating-point modes.
static int WeldVertices(int* piRemapTable, float* pfVertexDataOut, int* piWork,
                        const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert) {
    int iNrGroups = GroupEqualVertices(piRemapTable, piWork, pfVertexDataOut, pfVertexDataIn,
                                       iNrVerticesIn, iFloatsPerVert, kFiniteValues);
    const WeldPlan plan = iNrGroups != kGroupingFailed
                              ? kSortGroupsOfBits
                              : ChooseWeldPlan(pfVertexDataIn, iNrVerticesIn, iFloatsPerVert);
    switch (plan) {
    case kSortGroupsOfBits:
        RankGroups(piRemapTable, piWork, pfVertexDataOut, pfVertexDataIn, iNrVerticesIn,
                   iFloatsPerVert, iNrGroups);
        break;
    case kFirstComeByValues:
    case kSortGroupsByValues:
        iNrGroups = GroupEqualVertices(piRemapTable, piWork, pfVertexDataOut, pfVertexDataIn,
                                       iNrVerticesIn, iFloatsPerVert, kAnyValues);
        if (iNrGroups == kGroupingFailed)
            return SplitInWeldModes(piRemapTable, pfVertexDataOut, piWork, pfVertexDataIn,
                                    iNrVerticesIn, iFloatsPerVert);
        if (plan == kFirstComeByValues)
            RankGroupsInFirstComeOrder(piRemapTable, pfVertexDataOut, pfVertexDataIn, iNrVerticesIn,
                                       iFloatsPerVert);
        else
            RankGroups(piRemapTable, piWork, pfVertexDataOut, pfVertexDataIn, iNrVerticesIn,
                       iFloatsPerVert, iNrGroups);
        break;
    case kExactSplit:
        return SplitInWeldModes(piRemapTable, pfVertexDataOut, piWork, pfVertexDataIn,
                                iNrVerticesIn, iFloatsPerVert);
    }
    PointFollowersAtLeaders(piRemapTable, iNrVerticesIn);
    return iNrGroups;
}

static bool RangesOverlap(const void* pA, size_t iBytesA, const void* pB, size_t iBytesB) {
    const uintptr_t a = (uintptr_t)pA, b = (uintptr_t)pB;
    return a < b + iBytesB && b < a + iBytesA;
}

__attribute__((visibility("default"))) int WeldMesh(int* piRemapTable, float* pfVertexDataOut,
                                                    const float* pfVertexDataIn, int iNrVerticesIn,
                                                    int iFloatsPerVert) {
    if (iNrVerticesIn <= 0 || iFloatsPerVert <= 0)
        return 0;
    if (iNrVerticesIn > INT_MAX / iFloatsPerVert)
        return 0;
    const size_t iNrFloats = (size_t)iNrVerticesIn * iFloatsPerVert;
    if (iNrFloats > SIZE_MAX / sizeof(float) || (size_t)iNrVerticesIn > SIZE_MAX / sizeof(int))
        return 0;
    if (piRemapTable == NULL || pfVertexDataOut == NULL || pfVertexDataIn == NULL)
        return 0;

    const size_t iVertexBytes = iNrFloats * sizeof(float);
    const size_t iRemapBytes = (size_t)iNrVerticesIn * sizeof(int);
    if (RangesOverlap(pfVertexDataOut, iVertexBytes, pfVertexDataIn, iVertexBytes) ||
        RangesOverlap(piRemapTable, iRemapBytes, pfVertexDataIn, iVertexBytes) ||
        RangesOverlap(piRemapTable, iRemapBytes, pfVertexDataOut, iVertexBytes))
        return 0;

    int* piWork = (int*)malloc(iRemapBytes);
    if (piWork == NULL)
        return 0;
    const int iUniqueVertices = WeldVertices(piRemapTable, pfVertexDataOut, piWork, pfVertexDataIn,
                                             iNrVerticesIn, iFloatsPerVert);
    free(piWork);

    for (int i = 0; i < iUniqueVertices; i++) {
        // clang-format off
        assert(piRemapTable[i]>=0);
        // clang-format on
    }
    return iUniqueVertices;
}
