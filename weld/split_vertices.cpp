// The exact split: recursive midpoint splits, one channel at a time. They define the output order
// and which member of a group leads it for every input; the grouping and ordering passes give the
// same result faster wherever it does not depend on the splitting itself, and this file welds the
// rest: data with infinities or NaNs, and groups whose members differ in the sign of a zero.
#include "sort_positions.h"
#include "weld_internal.h"

#include <assert.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// It runs in two passes over the vertex-ID work array. The split pass partitions it by
// recursive midpoint splits, one channel at a time, until every range is a run of vertices that
// no channel can divide, and marks where each run starts; a range whose vertices are not all
// equal is regrouped into runs of equal vertices, in the order the merge must produce them. The
// merge pass then walks the runs in position order, copies each run's first vertex to the output
// and points the remap entries of all its vertices there.
//
// While splitting, the remap table (still free) holds the current channel's value of the vertex
// at each position, so that every level reads one contiguous array instead of gathering values
// through the IDs. Since runs are merged only afterwards, ranges may be split in any order: the
// smaller part of every split is the one handled recursively, which bounds the depth by log2 n.

typedef float __attribute__((__may_alias__)) ChannelValue;

struct WeldState {
    int* piRemapTable;
    ChannelValue* pfValues; // while splitting: the current channel's value at each position
    float* pfVertexDataOut;
    int* piVertexIDs;
    const float* pfVertexDataIn;
    int iFloatsPerVert;
};

struct ChannelRange {
    float fMin, fMax;
};

struct SplitCount {
    int iNrBelow;
    ChannelRange lower, upper;
};

// NaNs take no part in a channel's range: an all-NaN range gets a NaN midpoint and is not split,
// and elsewhere they go to the upper part.
static ChannelRange GatherChannel(const WeldState* pState, int iL_in, int iR_in, int iChannelNum) {
    const int* piVertexIDs = pState->piVertexIDs;
    const float* pfChannel = pState->pfVertexDataIn + iChannelNum;
    const int iFloatsPerVert = pState->iFloatsPerVert;
    ChannelValue* pfValues = pState->pfValues;
    ChannelRange range = {INFINITY, -INFINITY};
    for (int l = iL_in; l <= iR_in; l++) {
        if (l <= iR_in - kPrefetchDistance)
            __builtin_prefetch(&pfChannel[piVertexIDs[l + kPrefetchDistance] * iFloatsPerVert]);
        const float fValue = pfChannel[piVertexIDs[l] * iFloatsPerVert];
        pfValues[l] = fValue;
        range.fMin = fValue < range.fMin ? fValue : range.fMin;
        range.fMax = fValue > range.fMax ? fValue : range.fMax;
    }
    return range;
}

// For any float v, v < fAvg exactly when v <= the largest float below fAvg, so the split compares
// floats although its midpoint is exact only at extended precision.
static float LargestFloatBelow(long double fAvg) {
    // Stored through memory: on x87 a float kept in a register may still hold the extended value.
    volatile float fNearest = (float)fAvg;
    float f = fNearest;
    if (f < fAvg)
        return f;
    uint32_t iBits;
    memcpy(&iBits, &f, sizeof(f));
    if (f == 0.0f)
        iBits = 0x80000001u;
    else if (f > 0.0f)
        iBits--;
    else
        iBits++;
    memcpy(&f, &iBits, sizeof(f));
    return f;
}

// Counts the values that belong below the split, and measures both parts' ranges on the way.
static SplitCount CountBelow(const ChannelValue* pfValues, int iL_in, int iR_in, float fBelow) {
    SplitCount count = {0, {INFINITY, -INFINITY}, {INFINITY, -INFINITY}};
    int l = iL_in;
#if defined(__SSE2__)
    if (iR_in - iL_in >= 8) {
        const __m128 vBelow = _mm_set1_ps(fBelow);
        const __m128 vInf = _mm_set1_ps(INFINITY), vNegInf = _mm_set1_ps(-INFINITY);
        __m128 vLowerMax = vNegInf, vUpperMin = vInf;
        __m128i vNrBelow = _mm_setzero_si128();
        for (; l <= iR_in - 3; l += 4) {
            const __m128 v = _mm_loadu_ps((const float*)&pfValues[l]);
            const __m128 vIsBelow = _mm_cmple_ps(v, vBelow);
            vNrBelow = _mm_sub_epi32(vNrBelow, _mm_castps_si128(vIsBelow));
            const __m128 vLower =
                _mm_or_ps(_mm_and_ps(vIsBelow, v), _mm_andnot_ps(vIsBelow, vNegInf));
            const __m128 vUpper = _mm_or_ps(_mm_andnot_ps(vIsBelow, v), _mm_and_ps(vIsBelow, vInf));
            vLowerMax = _mm_max_ps(vLower, vLowerMax);
            vUpperMin = _mm_min_ps(vUpper, vUpperMin);
        }
        int aiNrBelow[4];
        float afLowerMax[4], afUpperMin[4];
        _mm_storeu_si128((__m128i*)aiNrBelow, vNrBelow);
        _mm_storeu_ps(afLowerMax, vLowerMax);
        _mm_storeu_ps(afUpperMin, vUpperMin);
        for (int i = 0; i < 4; i++) {
            count.iNrBelow += aiNrBelow[i];
            if (afLowerMax[i] > count.lower.fMax)
                count.lower.fMax = afLowerMax[i];
            if (afUpperMin[i] < count.upper.fMin)
                count.upper.fMin = afUpperMin[i];
        }
    }
#endif
    for (; l <= iR_in; l++) {
        const float fValue = pfValues[l];
        const bool bBelow = fValue <= fBelow;
        const float fLower = bBelow ? fValue : -INFINITY, fUpper = bBelow ? INFINITY : fValue;
        count.iNrBelow += bBelow;
        count.lower.fMax = fLower > count.lower.fMax ? fLower : count.lower.fMax;
        count.upper.fMin = fUpper < count.upper.fMin ? fUpper : count.upper.fMin;
    }
    return count;
}

// Exchanges two positions of the work array together with what the remap table holds beside them.
static void SwapPositions(int* piVertexIDs, uint32_t* piBeside, int iA, int iB) {
    const int iID = piVertexIDs[iA];
    piVertexIDs[iA] = piVertexIDs[iB];
    piVertexIDs[iB] = iID;
    const uint32_t iValue = piBeside[iA];
    piBeside[iA] = piBeside[iB];
    piBeside[iB] = iValue;
}

// Moves the values that belong below the split to positions iL_in .. iSplit - 1. The k-th value
// from the left that belongs above is exchanged with the k-th value from the right that belongs
// below: the pairing of a two-ended scan, which fixes the order inside every run and so which
// vertex leads it. Positions are collected a block at a time without branching on the values.
static void ExchangeAcrossSplit(const WeldState* pState, int iL_in, int iR_in, int iSplit,
                                float fBelow) {
    enum { kBlock = 128 };
    const ChannelValue* pfValues = pState->pfValues;
    int aiLeft[kBlock], aiRight[kBlock];
    int iNrLeft = 0, iUsedLeft = 0, iNrRight = 0, iUsedRight = 0;
    int iLeftScan = iL_in, iRightScan = iR_in;
    for (;;) {
        if (iUsedLeft == iNrLeft) {
            if (iLeftScan == iSplit)
                break;
            const int iEnd = iSplit - iLeftScan > kBlock ? iLeftScan + kBlock : iSplit;
            iNrLeft = iUsedLeft = 0;
            for (int l = iLeftScan; l < iEnd; l++) {
                aiLeft[iNrLeft] = l;
                iNrLeft += !(pfValues[l] <= fBelow);
            }
            iLeftScan = iEnd;
            continue;
        }
        if (iUsedRight == iNrRight) {
            // clang-format off
            assert(iRightScan>=iSplit);
            // clang-format on
            if (iRightScan < iSplit)
                break;
            const int iEnd = iRightScan - iSplit + 1 > kBlock ? iRightScan - kBlock : iSplit - 1;
            iNrRight = iUsedRight = 0;
            for (int r = iRightScan; r > iEnd; r--) {
                aiRight[iNrRight] = r;
                iNrRight += pfValues[r] <= fBelow;
            }
            iRightScan = iEnd;
            continue;
        }
        const int iPairs = iNrLeft - iUsedLeft < iNrRight - iUsedRight ? iNrLeft - iUsedLeft
                                                                       : iNrRight - iUsedRight;
        for (int i = 0; i < iPairs; i++)
            SwapPositions(pState->piVertexIDs, (uint32_t*)pState->piRemapTable,
                          aiLeft[iUsedLeft + i], aiRight[iUsedRight + i]);
        iUsedLeft += iPairs;
        iUsedRight += iPairs;
    }
    // clang-format off
    assert(iUsedRight==iNrRight);
    // clang-format on
}

static bool VertsEqual(const float* pfA, const float* pfB, int iFloatsPerVert) {
    for (int c = 0; c < iFloatsPerVert; c++) {
        if (!(pfA[c] == pfB[c]))
            return false;
    }
    return true;
}

// Orders floats by value with +0 equal to -0, and every NaN above every number.
static int CompareValues(float a, float b) {
    if (a < b)
        return -1;
    if (b < a)
        return 1;
    return (a != a) - (b != b);
}

// The positions of a run being regrouped: vertex IDs, and beside each, in the run's part of the
// remap table, a key that starts as the position's offset in the run.
struct RunPositions {
    int* piIDs;
    uint32_t* piKeys;
    int iCount;

    void Swap(int i, int j) const { SwapPositions(piIDs, piKeys, i, j); }
};

// By vertex, and equal vertices by key.
struct VertexOrder {
    RunPositions run;
    const float* pfVertexDataIn;
    int iFloatsPerVert;

    bool Less(int i, int j) const {
        const float* pfA = &pfVertexDataIn[run.piIDs[i] * iFloatsPerVert];
        const float* pfB = &pfVertexDataIn[run.piIDs[j] * iFloatsPerVert];
        for (int c = 0; c < iFloatsPerVert; c++) {
            const int iOrder = CompareValues(pfA[c], pfB[c]);
            if (iOrder != 0)
                return iOrder < 0;
        }
        return run.piKeys[i] < run.piKeys[j];
    }
    void Swap(int i, int j) const { run.Swap(i, j); }
    void Prefetch(int i) const {
        if (i >= 0 && i < run.iCount)
            __builtin_prefetch(&pfVertexDataIn[run.piIDs[i] * iFloatsPerVert]);
    }
};

struct KeyOrder {
    RunPositions run;

    bool Less(int i, int j) const { return run.piKeys[i] < run.piKeys[j]; }
    void Swap(int i, int j) const { run.Swap(i, j); }
    void Prefetch(int) const {}
};

// A mixed run, one whose vertices an infinity or a NaN kept together although they differ, is
// regrouped by keys: twice the rank of the vertex's group of equal vertices, the groups ranked by
// their first members' positions, plus 1 for every member but the first. Sorted by key, the run
// holds its groups in first-come order, each led by its first member.
//
// Mixed runs usually hold a few distinct vertices, found by comparing each vertex with those;
// past this many, the run is sorted instead.
enum { kMaxScannedGroups = 16 };

static const float* RunVertex(const WeldState* pState, const RunPositions& run, int i) {
    return &pState->pfVertexDataIn[run.piIDs[i] * pState->iFloatsPerVert];
}

// Ranks the groups by comparing each vertex with the first members found so far; returns false
// once there are more groups than that is worth.
static bool KeyByScanning(const WeldState* pState, const RunPositions& run) {
    int aiFirst[kMaxScannedGroups];
    int iNrGroups = 0;
    for (int i = 0; i < run.iCount; i++) {
        const float* pfVert = RunVertex(pState, run, i);
        int g = 0;
        while (g < iNrGroups &&
               !VertsEqual(pfVert, RunVertex(pState, run, aiFirst[g]), pState->iFloatsPerVert))
            g++;
        if (g == iNrGroups) {
            if (iNrGroups == kMaxScannedGroups)
                return false;
            aiFirst[iNrGroups++] = i;
        }
        run.piKeys[i] = 2 * (uint32_t)g + (aiFirst[g] != i);
    }
    return true;
}

// Sorts by vertex, equal vertices by position, and keys every group by its first member's
// position, which stays below 2^31 so that twice it fits the key.
static void KeyBySorting(const WeldState* pState, const RunPositions& run) {
    for (int i = 0; i < run.iCount; i++)
        run.piKeys[i] = (uint32_t)i;
    SortPositions(VertexOrder{run, pState->pfVertexDataIn, pState->iFloatsPerVert}, run.iCount);

    const float* pfFirst = NULL;
    uint32_t iFirstPosition = 0;
    for (int i = 0; i < run.iCount; i++) {
        const float* pfVert = RunVertex(pState, run, i);
        if (pfFirst != NULL && VertsEqual(pfVert, pfFirst, pState->iFloatsPerVert)) {
            run.piKeys[i] = 2 * iFirstPosition + 1;
        } else {
            pfFirst = pfVert;
            iFirstPosition = run.piKeys[i];
            run.piKeys[i] = 2 * iFirstPosition;
        }
    }
}

// Sorts keys below 2 * kMaxScannedGroups in place in linear time, bucket by bucket.
static void SortSmallKeys(const RunPositions& run) {
    enum { kNrKeys = 2 * kMaxScannedGroups };
    int aiNext[kNrKeys] = {0}, aiEnd[kNrKeys];
    for (int i = 0; i < run.iCount; i++)
        aiNext[run.piKeys[i]]++;
    for (int k = 0, iStart = 0; k < kNrKeys; k++) {
        aiEnd[k] = iStart + aiNext[k];
        aiNext[k] = iStart;
        iStart = aiEnd[k];
    }
    for (int k = 0; k < kNrKeys; k++) {
        while (aiNext[k] < aiEnd[k]) {
            const uint32_t iKey = run.piKeys[aiNext[k]];
            if (iKey == (uint32_t)k)
                aiNext[k]++;
            else
                run.Swap(aiNext[k], aiNext[iKey]++);
        }
    }
}

// A range that no channel could split although its vertices differ (an infinity or a NaN kept a
// channel from splitting) merges first come, first served: each vertex joins the first earlier
// vertex of the range that it equals. Reordering the range into groups of equal vertices, each
// led by its first member and the groups in the order of those, leaves runs of equal vertices
// that merge like any other.
static void SplitMixedRun(const WeldState* pState, int iL_in, int iR_in) {
    const RunPositions run = {&pState->piVertexIDs[iL_in], (uint32_t*)&pState->piRemapTable[iL_in],
                              iR_in - iL_in + 1};
    if (KeyByScanning(pState, run)) {
        SortSmallKeys(run);
    } else {
        KeyBySorting(pState, run);
        SortPositions(KeyOrder{run}, run.iCount);
    }
    for (int i = 0; i < run.iCount; i++) {
        if (run.piKeys[i] % 2 == 0)
            run.piIDs[i] = (int)RunStart((uint32_t)run.piIDs[i]);
    }
}

static void MarkRun(const WeldState* pState, int iL_in) {
    pState->piVertexIDs[iL_in] = (int)RunStart((uint32_t)pState->piVertexIDs[iL_in]);
}

static bool AllValuesEqual(const ChannelValue* pfValues, int iL_in, int iR_in) {
    for (int l = iL_in + 1; l <= iR_in; l++) {
        if (!(pfValues[l] == pfValues[iL_in]))
            return false;
    }
    return true;
}

// The first channel from iChannelNum on whose values the range's vertices do not all agree, or
// iFloatsPerVert. The channels before it cannot split the range and change nothing, so the split
// can go straight to it without gathering them.
static int FirstUnequalChannel(const WeldState* pState, int iL_in, int iR_in, int iChannelNum) {
    const int* piVertexIDs = pState->piVertexIDs;
    const int iFloatsPerVert = pState->iFloatsPerVert;
    for (; iChannelNum < iFloatsPerVert; iChannelNum++) {
        const float* pfChannel = pState->pfVertexDataIn + iChannelNum;
        const float fFirst = pfChannel[piVertexIDs[iL_in] * iFloatsPerVert];
        for (int l = iL_in + 1; l <= iR_in; l++) {
            if (!(pfChannel[piVertexIDs[l] * iFloatsPerVert] == fFirst))
                return iChannelNum;
        }
    }
    return iFloatsPerVert;
}

// Splits a range whose values on iChannelNum are in place, and every part of it, until each part
// is a run. iL_in and iR_in are the range's first and last positions, both inclusive. bAllEqual
// tells that the range's vertices are equal on every earlier channel.
static void SplitVerts(const WeldState* pState, int iL_in, int iR_in, int iChannelNum,
                       ChannelRange range, bool bAllEqual) {
    for (;;) {
        const int iCount = iR_in - iL_in + 1;
        // clang-format off
        assert(iCount>0);
        // clang-format on
        if (iCount == 1) {
            MarkRun(pState, iL_in);
            return;
        }

        // Equal values, an infinity beside other values, or only NaNs: no split on this channel.
        // Otherwise the midpoint lies strictly between the ends, as it is kept at extended
        // precision; a float or double midpoint can equal one of them.
        int iL = iL_in;
        SplitCount count;
        if (range.fMin < range.fMax && range.fMin > -INFINITY && range.fMax < INFINITY) {
            const long double fAvg = ((long double)range.fMax + range.fMin) * 0.5f;
            const float fBelow = LargestFloatBelow(fAvg);
            count = CountBelow(pState->pfValues, iL_in, iR_in, fBelow);
            iL = iL_in + count.iNrBelow;
            // clang-format off
            assert(iL>iL_in && iL<=iR_in);
            // clang-format on
            // Where assertions are compiled out, a split that leaves a part empty is not made.
            if (iL > iL_in && iL <= iR_in)
                ExchangeAcrossSplit(pState, iL_in, iR_in, iL, fBelow);
            else
                iL = iL_in;
        }
        if (iL == iL_in) {
            bAllEqual = bAllEqual && AllValuesEqual(pState->pfValues, iL_in, iR_in);
            iChannelNum = FirstUnequalChannel(pState, iL_in, iR_in, iChannelNum + 1);
            if (iChannelNum == pState->iFloatsPerVert) {
                if (bAllEqual)
                    MarkRun(pState, iL_in);
                else
                    SplitMixedRun(pState, iL_in, iR_in);
                return;
            }
            range = GatherChannel(pState, iL_in, iR_in, iChannelNum);
            continue;
        }

        count.lower.fMin = range.fMin;
        count.upper.fMax = range.fMax;

        if (iL - iL_in <= iR_in - iL + 1) {
            SplitVerts(pState, iL_in, iL - 1, iChannelNum, count.lower, bAllEqual);
            iL_in = iL;
            range = count.upper;
        } else {
            SplitVerts(pState, iL, iR_in, iChannelNum, count.upper, bAllEqual);
            iR_in = iL - 1;
            range = count.lower;
        }
    }
}

// All vertices of a run equal its first: one copy, and no need to read the others.
static void MergeRun(const WeldState* pState, int iL_in, int iR_in, int iBase) {
    const int iFloatsPerVert = pState->iFloatsPerVert;
    const int iFirstID = (int)VertexID((uint32_t)pState->piVertexIDs[iL_in]);
    CopyVertex(&pState->pfVertexDataOut[iBase * iFloatsPerVert],
               &pState->pfVertexDataIn[iFirstID * iFloatsPerVert], iFloatsPerVert);
    pState->piRemapTable[iFirstID] = iBase;
    for (int l = iL_in + 1; l <= iR_in; l++)
        pState->piRemapTable[pState->piVertexIDs[l]] = iBase;
}

// The merge reads the first vertex of each run and writes the remap entry of every vertex.
static void PrefetchForMerge(const WeldState* pState, int l) {
    const uint32_t iEntry = (uint32_t)pState->piVertexIDs[l];
    const int iID = (int)VertexID(iEntry);
    __builtin_prefetch(&pState->piRemapTable[iID], 1);
    if (IsRunStart(iEntry))
        __builtin_prefetch(&pState->pfVertexDataIn[iID * pState->iFloatsPerVert]);
}

static int MergeRuns(const WeldState* pState, int iNrVerticesIn) {
    int iUniqueVertices = 0;
    int iRunStart = 0;
    for (int l = 0; l < iNrVerticesIn; l++) {
        if (l < iNrVerticesIn - kPrefetchDistance)
            PrefetchForMerge(pState, l + kPrefetchDistance);
        if (l + 1 == iNrVerticesIn || IsRunStart((uint32_t)pState->piVertexIDs[l + 1])) {
            MergeRun(pState, iRunStart, l, iUniqueVertices++);
            iRunStart = l + 1;
        }
    }
    return iUniqueVertices;
}

} // namespace

// Named after the entry point of the original weld; it is now the exact fallback, for the data
// that only the split orders.
int MergeVertsFast(int piRemapTable[], float pfVertexDataOut[], int piVertexIDs[],
                   const float pfVertexDataIn[], int iFloatsPerVert, int iNrVerticesIn) {
    const WeldState state = {piRemapTable,    (ChannelValue*)piRemapTable,
                             pfVertexDataOut, piVertexIDs,
                             pfVertexDataIn,  iFloatsPerVert};
    const ChannelRange range = GatherChannel(&state, 0, iNrVerticesIn - 1, 0);
    SplitVerts(&state, 0, iNrVerticesIn - 1, 0, range, true);
    return MergeRuns(&state, iNrVerticesIn);
}

WeldPlan ChooseWeldPlan(const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert) {
    enum { kChannelsAtOnce = 8 };
    const FloatBits* piIn = (const FloatBits*)pfVertexDataIn;
    const uint32_t iMinusInfinity = OrderKey(kSignBit | kExponentBits),
                   iPlusInfinity = OrderKey(kExponentBits);
    bool bAnyChannelSplits = false, bOutsideContract = false;
    for (int c0 = 0; c0 < iFloatsPerVert; c0 += kChannelsAtOnce) {
        const int iNrChannels =
            iFloatsPerVert - c0 < kChannelsAtOnce ? iFloatsPerVert - c0 : kChannelsAtOnce;
        uint32_t aiMin[kChannelsAtOnce], aiMax[kChannelsAtOnce];
        bool abNaN[kChannelsAtOnce];
        for (int c = 0; c < iNrChannels; c++) {
            aiMin[c] = UINT32_MAX;
            aiMax[c] = 0;
            abNaN[c] = false;
        }
        for (int i = 0; i < iNrVerticesIn; i++) {
            const FloatBits* piValues = &piIn[(size_t)i * iFloatsPerVert + c0];
            for (int c = 0; c < iNrChannels; c++) {
                const uint32_t iKey = OrderKey(piValues[c]);
                if (IsNaN(piValues[c])) {
                    abNaN[c] = true;
                    continue;
                }
                aiMin[c] = iKey < aiMin[c] ? iKey : aiMin[c];
                aiMax[c] = iKey > aiMax[c] ? iKey : aiMax[c];
            }
        }
        // As the split measures a channel: NaNs take no part, and an infinity beside other values
        // keeps the channel from splitting.
        for (int c = 0; c < iNrChannels; c++) {
            const bool bMinusInfinity = aiMin[c] == iMinusInfinity;
            const bool bPlusInfinity = aiMax[c] == iPlusInfinity;
            bOutsideContract = bOutsideContract || abNaN[c] || (bMinusInfinity && bPlusInfinity);
            bAnyChannelSplits =
                bAnyChannelSplits || (aiMin[c] < aiMax[c] && !bMinusInfinity && !bPlusInfinity);
        }
    }
    if (!bAnyChannelSplits)
        return kFirstComeByValues;
    return bOutsideContract ? kSortGroupsByValues : kExactSplit;
}
