#include "mergeclose.h"

#include "close_rules.h"
#include "float_modes.h"
#include "weldmesh.h"

#include <float.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// The work block, after the component rules:
//   aiOutputOf[m]      distinct vertex -> output index of its representative
//   aiNextInBucket[m]  representative (its output index) -> the one inserted before it in its
//                      bucket, plus one (0: none)
//   aiBuckets[H]       bucket -> the representative inserted last, plus one (0: none), H a power
//                      of two
struct MergeWork {
    int* piOutputOf;
    int* piNextInBucket;
    int* piBuckets;
    uint32_t iBucketMask;
};

static uint64_t MixBits(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

// A vertex's cell hashes to the sum of its components' keys, each times a factor of its own, so
// that the hash of the next cell along a component is one addition away.
static uint64_t ComponentTerm(CellKey key, const ComponentRule& rule) {
    return key * rule.iHashFactor;
}

static uint32_t BucketOf(uint64_t iHash, uint32_t iBucketMask) {
    return (uint32_t)MixBits(iHash) & iBucketMask;
}

// The cells a vertex must look in: the lowest along every component, and for each component
// where the search reaches the next cell, the step to it.
struct SearchCells {
    uint64_t iOwnHash;
    uint64_t iLowestHash;
    uint64_t aiStep[kMaxCellComponents];
    int iNrSteps;
};

static void FindSearchCells(SearchCells* pCells, const float* pVertex, const CloseRules& rules) {
    pCells->iOwnHash = 0;
    pCells->iLowestHash = 0;
    pCells->iNrSteps = 0;
    for (int c = 0; c < rules.iFloatsPerVert; c++) {
        const ComponentRule& rule = rules.pComponents[c];
        if (!rule.bHashed)
            continue;
        const float fValue = pVertex[c];
        if (IsKeyedByValue(fValue, rule)) {
            const uint64_t iTerm = ComponentTerm(ExactKey(fValue), rule);
            pCells->iOwnHash += iTerm;
            pCells->iLowestHash += iTerm;
            continue;
        }
        // Cells are at least three radii wide: the search, two across, reaches one neighbour at
        // most.
        const int32_t iOwnCell = CountedCell(CellCoordinate(fValue, rule));
        const bool bReachesBelow =
            CellCoordinate((double)fValue - rule.fSearchRadius, rule) < (double)iOwnCell;
        const bool bReachesAbove =
            CellCoordinate((double)fValue + rule.fSearchRadius, rule) >= (double)iOwnCell + 1.0;
        const uint64_t iOwnTerm = ComponentTerm(CountedKey(iOwnCell), rule);
        pCells->iOwnHash += iOwnTerm;
        pCells->iLowestHash += bReachesBelow ? iOwnTerm - rule.iHashFactor : iOwnTerm;
        if (bReachesBelow || bReachesAbove)
            pCells->aiStep[pCells->iNrSteps++] = rule.iHashFactor;
    }
}

// The earliest representative close to the vertex in one bucket, or iBest; counts the
// representatives looked at.
static int ClosestInBucket(int iBest, uint32_t iBucket, const float* pVertex,
                           const float* pfRepresentatives, const MergeWork& work,
                           const CloseRules& rules, uint64_t* piNrLookedAt) {
    for (int r = work.piBuckets[iBucket] - 1; r >= 0; r = work.piNextInBucket[r] - 1) {
        ++*piNrLookedAt;
        if (r < iBest &&
            AreClose(pVertex, pfRepresentatives + (size_t)r * rules.iFloatsPerVert, rules))
            iBest = r;
    }
    return iBest;
}

// The earliest representative close to the vertex, or INT_MAX. Every cell of the search is
// visited once, in Gray code order, each one step from the last.
static int FindRepresentative(const SearchCells& cells, const float* pVertex,
                              const float* pfRepresentatives, const MergeWork& work,
                              const CloseRules& rules, uint64_t* piNrLookedAt) {
    uint64_t iHash = cells.iLowestHash;
    int iBest = ClosestInBucket(INT_MAX, BucketOf(iHash, work.iBucketMask), pVertex,
                                pfRepresentatives, work, rules, piNrLookedAt);
    const uint32_t iNrCells = 1u << cells.iNrSteps;
    for (uint32_t i = 1; i < iNrCells; i++) {
        const int iStep = __builtin_ctz(i);
        const bool bUp = ((i ^ (i >> 1)) >> iStep) & 1;
        iHash += bUp ? cells.aiStep[iStep] : 0 - cells.aiStep[iStep];
        iBest = ClosestInBucket(iBest, BucketOf(iHash, work.iBucketMask), pVertex,
                                pfRepresentatives, work, rules, piNrLookedAt);
    }
    return iBest;
}

static bool HasNaN(const float* pVertex, int iFloatsPerVert) {
    for (int c = 0; c < iFloatsPerVert; c++)
        if (pVertex[c] != pVertex[c])
            return true;
    return false;
}

// What the caller asked for.
struct MergeRequest {
    int iFloatsPerVert;
    int iPositionFloats;
    float fDistance;
    const float* pfTolerances;
    int iNrTolerances;
};

static float RadiusOf(int c, const MergeRequest& request) {
    if (c < request.iPositionFloats)
        return request.fDistance;
    if (request.iNrTolerances == 0)
        return 0.0f;
    return request.pfTolerances[request.iNrTolerances == 1 ? 0 : c - request.iPositionFloats];
}

// An infinite radius is compared as the largest double: every difference of two finite floats lies
// within it, but not the infinite difference between an infinity and another value, so that
// infinite components stay close only where equal.
static double ComparedRadius(double fRadius) {
    return fRadius < DBL_MAX ? fRadius : DBL_MAX;
}

// Cells a few radii wide keep the search to one cell along most components; the more components
// are hashed, the wider, so that a vertex looks at a few cells on average. Wide cells can hold
// many representatives that are pairwise apart, though, where data is laid out on a lattice just
// over a radius apart: a walk that meets such data goes on with dense cells, three radii wide,
// which hold a few such representatives per component at most, and looks at more of them.
static const double kDenseCellsPerRadius = 3.0;

static void SetComponentRules(ComponentRule* pComponents, const MergeRequest& request,
                              bool bDense) {
    int iNrCounted = 0;
    for (int c = 0; c < request.iFloatsPerVert; c++) {
        const double fRadius = ComparedRadius(RadiusOf(c, request));
        pComponents[c].fRadius = fRadius;
        pComponents[c].bHashed = fRadius == 0.0 || iNrCounted < kMaxCellComponents;
        if (fRadius != 0.0 && pComponents[c].bHashed)
            iNrCounted++;
    }
    const double fCellsPerRadius =
        bDense ? kDenseCellsPerRadius : 4.0 * (iNrCounted > 2 ? iNrCounted : 2);
    for (int c = 0; c < request.iFloatsPerVert; c++) {
        ComponentRule& rule = pComponents[c];
        const double fCellWidth = fCellsPerRadius * rule.fRadius;
        rule.fSearchRadius = rule.fRadius * (1.0 + 0x1p-40);
        rule.fInverseCellWidth = rule.fRadius == 0.0 ? 0.0 : 1.0 / fCellWidth;
        rule.fExactFrom = 0x1p30 * fCellWidth;
        rule.iHashFactor = MixBits((uint64_t)c + 1) | 1;
    }
}

// A vertex's cells are found this many vertices ahead of its search, and their buckets fetched
// into the cache meanwhile: the buckets are read in no order the walk could help.
static const int kLookahead = 8;

static void PrepareSearch(SearchCells* pCells, const float* pVertex, const CloseRules& rules,
                          const MergeWork& work) {
    FindSearchCells(pCells, pVertex, rules);
    __builtin_prefetch(&work.piBuckets[BucketOf(pCells->iLowestHash, work.iBucketMask)]);
    __builtin_prefetch(&work.piBuckets[BucketOf(pCells->iOwnHash, work.iBucketMask)]);
}

static void InsertRepresentative(int r, uint64_t iOwnHash, const MergeWork& work) {
    const uint32_t iBucket = BucketOf(iOwnHash, work.iBucketMask);
    work.piNextInBucket[r] = work.piBuckets[iBucket];
    work.piBuckets[iBucket] = r + 1;
}

// The output index of distinct vertex j: its representative's, or a new one. The
// representatives are packed at the front of the vertex data as they are chosen: a new one's
// output index is at most j, and the vertices before j have been walked already.
static int ChooseRepresentative(int j, const SearchCells& cells, float* pfVertexData,
                                const MergeWork& work, const CloseRules& rules, int* piNrOutputs,
                                uint64_t* piNrLookedAt) {
    const size_t iFloats = (size_t)rules.iFloatsPerVert;
    const float* pVertex = pfVertexData + j * iFloats;
    const bool bHasNaN = HasNaN(pVertex, rules.iFloatsPerVert); // close to nothing
    if (!bHasNaN) {
        const int iBest =
            FindRepresentative(cells, pVertex, pfVertexData, work, rules, piNrLookedAt);
        if (iBest != INT_MAX)
            return iBest;
    }
    const int iOutput = (*piNrOutputs)++;
    if (iOutput != j)
        memcpy(pfVertexData + iOutput * iFloats, pVertex, sizeof(float) * iFloats);
    if (!bHasNaN)
        InsertRepresentative(iOutput, cells.iOwnHash, work);
    return iOutput;
}

// The buckets made anew for the representatives so far, under new rules.
static void RehashRepresentatives(const float* pfRepresentatives, int iNrRepresentatives,
                                  const CloseRules& rules, const MergeWork& work) {
    memset(work.piBuckets, 0, sizeof(int) * ((size_t)work.iBucketMask + 1));
    for (int r = 0; r < iNrRepresentatives; r++) {
        const float* pVertex = pfRepresentatives + (size_t)r * rules.iFloatsPerVert;
        if (HasNaN(pVertex, rules.iFloatsPerVert))
            continue;
        SearchCells cells;
        FindSearchCells(&cells, pVertex, rules);
        InsertRepresentative(r, cells.iOwnHash, work);
    }
}

// Past a first allowance, a walk that looks at more representatives than this per vertex has met
// data packed into its cells.
static const uint64_t kDenseAllowance = 1 << 16;
static const uint64_t kDenseLookedAtPerVertex = 64;

// Walks the distinct vertices in order, each joining the earliest representative close to it or
// becoming one; returns the number of representatives, packed at the front of pfVertexData.
static int ChooseRepresentatives(float* pfVertexData, int iNrDistinct, const MergeRequest& request,
                                 ComponentRule* pComponents, const MergeWork& work) {
    bool bDense = false;
    SetComponentRules(pComponents, request, bDense);
    const double fDistance = request.fDistance;
    const CloseRules rules = {request.iFloatsPerVert, request.iPositionFloats,
                              ComparedRadius(fDistance * fDistance), pComponents};
    SearchCells aheadCells[kLookahead];
    int iNrOutputs = 0;
    uint64_t iNrLookedAt = 0;
    for (int j = 0; j < iNrDistinct + kLookahead; j++) {
        SearchCells& cells = aheadCells[j % kLookahead];
        const int iSearched = j - kLookahead;
        if (iSearched >= 0)
            work.piOutputOf[iSearched] = ChooseRepresentative(iSearched, cells, pfVertexData, work,
                                                              rules, &iNrOutputs, &iNrLookedAt);
        if (!bDense && iNrLookedAt > kDenseAllowance + kDenseLookedAtPerVertex * (uint64_t)j) {
            // The representatives so far lie packed before the vertices still to walk.
            bDense = true;
            SetComponentRules(pComponents, request, bDense);
            RehashRepresentatives(pfVertexData, iNrOutputs, rules, work);
            for (int p = iSearched + 1 > 0 ? iSearched + 1 : 0; p < j && p < iNrDistinct; p++)
                PrepareSearch(&aheadCells[p % kLookahead],
                              pfVertexData + (size_t)p * rules.iFloatsPerVert, rules, work);
        }
        if (j < iNrDistinct)
            PrepareSearch(&cells, pfVertexData + (size_t)j * rules.iFloatsPerVert, rules, work);
    }
    return iNrOutputs;
}

// 0 or more, which NaN is not.
static bool IsRadius(float fValue) {
    return fValue >= 0.0f;
}

static bool IsValidRequest(const MergeRequest& request) {
    // Compared before subtracting, which would overflow for counts far out of range.
    if (request.iPositionFloats < 1 || request.iPositionFloats > request.iFloatsPerVert ||
        !IsRadius(request.fDistance))
        return false;
    const int iNrOthers = request.iFloatsPerVert - request.iPositionFloats;
    if (request.iNrTolerances != 0 && request.iNrTolerances != 1 &&
        request.iNrTolerances != iNrOthers)
        return false;
    if (request.iNrTolerances > 0 && !request.pfTolerances)
        return false;
    for (int t = 0; t < request.iNrTolerances; t++)
        if (!IsRadius(request.pfTolerances[t]))
            return false;
    return true;
}

static bool AsksForEquality(const MergeRequest& request) {
    for (int c = 0; c < request.iFloatsPerVert; c++)
        if (RadiusOf(c, request) != 0.0f)
            return false;
    return true;
}

static uint32_t BucketCountFor(int iNrDistinct) {
    uint32_t iCount = 1;
    while (iCount < (uint32_t)iNrDistinct)
        iCount *= 2;
    return iCount;
}

// The merge, under the modes MergeCloseVertices sets. The distance comes as its bits, which no
// compiler copies with a floating-point load, so that it is first read as a float under them.
__attribute__((noinline)) static int
MergeUnderOwnModes(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
                   int iNrVerticesIn, int iFloatsPerVert, int iPositionFloats,
                   uint32_t iDistanceBits, const float* pfTolerances, int iNrTolerances) {
    float fDistance;
    memcpy(&fDistance, &iDistanceBits, sizeof fDistance);
    const MergeRequest request = {iFloatsPerVert, iPositionFloats, fDistance, pfTolerances,
                                  iNrTolerances};
    if (!IsValidRequest(request))
        return 0;
    const int iNrDistinct =
        WeldMesh(piRemapTable, pfVertexDataOut, pfVertexDataIn, iNrVerticesIn, iFloatsPerVert);
    if (iNrDistinct == 0 || AsksForEquality(request))
        return iNrDistinct;

    const uint32_t iNrBuckets = BucketCountFor(iNrDistinct);
    if ((size_t)iFloatsPerVert > SIZE_MAX / sizeof(ComponentRule))
        return 0;
    const size_t iRulesBytes = sizeof(ComponentRule) * (size_t)iFloatsPerVert;
    const size_t iNrWords = 2 * (size_t)iNrDistinct + iNrBuckets;
    if (iNrWords > (SIZE_MAX - iRulesBytes) / sizeof(int))
        return 0;
    void* pBlock = malloc(iRulesBytes + iNrWords * sizeof(int));
    if (!pBlock)
        return 0;
    ComponentRule* pComponents = (ComponentRule*)pBlock;
    int* piWords = (int*)((char*)pBlock + iRulesBytes);
    const MergeWork work = {piWords, piWords + iNrDistinct, piWords + 2 * (size_t)iNrDistinct,
                            iNrBuckets - 1};
    memset(work.piBuckets, 0, sizeof(int) * (size_t)iNrBuckets);

    const int iNrOutputs =
        ChooseRepresentatives(pfVertexDataOut, iNrDistinct, request, pComponents, work);
    for (int i = 0; i < iNrVerticesIn; i++)
        piRemapTable[i] = work.piOutputOf[piRemapTable[i]];
    free(pBlock);
    return iNrOutputs;
}

// Every float of the call is read under the merge's own modes, the arguments included: where the
// caller reads denormals as zero a denormal distance would ask for equality, where it unmasked
// invalid operations comparing a NaN distance would trap, and either would leave its flags
// raised in the caller's state.
__attribute__((visibility("default"))) int
MergeCloseVertices(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
                   int iNrVerticesIn, int iFloatsPerVert, int iPositionFloats, float fDistance,
                   const float* pfTolerances, int iNrTolerances) {
    uint32_t iDistanceBits;
    memcpy(&iDistanceBits, &fDistance, sizeof iDistanceBits);
    FloatModes callerModes;
    SetFloatModes(&callerModes, kX87DoubleControl);
    const int iResult = MergeUnderOwnModes(piRemapTable, pfVertexDataOut, pfVertexDataIn,
                                           iNrVerticesIn, iFloatsPerVert, iPositionFloats,
                                           iDistanceBits, pfTolerances, iNrTolerances);
    RestoreFloatModes(&callerModes);
    return iResult;
}
