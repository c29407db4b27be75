#include "weldmesh.h"

#include <assert.h>
#include <limits.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The weld runs in two passes over the vertex-ID work array. The split pass partitions it by
// recursive midpoint splits, one channel at a time, until every range is a run of vertices that
// no channel can divide, and marks where each run starts. The merge pass then walks the runs in
// position order, appending their distinct vertices to the output and filling the remap table.
//
// While splitting, the remap table (still free) holds the current channel's value of the vertex
// at each position, so that every level reads one contiguous array instead of gathering values
// through the IDs. Since runs are merged only afterwards, ranges may be split in any order: the
// smaller part of every split is the one handled recursively, which bounds the depth by log2 n.

typedef float __attribute__((__may_alias__)) ChannelValue;

static const int kRunStart = INT_MIN;
// Marks a run whose vertices are known to be equal, when IDs leave the bit free.
static const int kEqualRun = 1 << 30;

struct WeldState {
    int* piRemapTable;
    ChannelValue* pfValues; // while splitting: the current channel's value at each position
    float* pfVertexDataOut;
    int* piVertexIDs;
    const float* pfVertexDataIn;
    int iFloatsPerVert;
    int iEqualRunFlag; // kEqualRun, or 0 when IDs need that bit
    int iIDMask;       // the bits of an ID entry that hold the ID
};

struct ChannelRange {
    float fMin, fMax;
};

struct SplitCount {
    int iNrBelow;
    ChannelRange lower, upper;
};

static bool RangesOverlap(const void* pA, size_t iBytesA, const void* pB, size_t iBytesB) {
    const uintptr_t a = (uintptr_t)pA, b = (uintptr_t)pB;
    return a < b + iBytesB && b < a + iBytesA;
}

// NaNs take no part in a channel's range: an all-NaN range gets a NaN midpoint and is not split,
// and elsewhere they go to the upper part.
static ChannelRange GatherChannel(const WeldState* pState, int iL_in, int iR_in, int iChannelNum) {
    const int* piVertexIDs = pState->piVertexIDs;
    const float* pfChannel = pState->pfVertexDataIn + iChannelNum;
    const int iFloatsPerVert = pState->iFloatsPerVert;
    ChannelValue* pfValues = pState->pfValues;
    ChannelRange range = {INFINITY, -INFINITY};
    for (int l = iL_in; l <= iR_in; l++) {
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
    float f = (float)fAvg;
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
        for (; l + 3 <= iR_in; l += 4) {
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
        if (fValue <= fBelow) {
            count.iNrBelow++;
            if (fValue > count.lower.fMax)
                count.lower.fMax = fValue;
        } else if (fValue < count.upper.fMin) {
            count.upper.fMin = fValue;
        }
    }
    return count;
}

static void ExchangePositions(const WeldState* pState, int iA, int iB) {
    ChannelValue* pfValues = pState->pfValues;
    int* piVertexIDs = pState->piVertexIDs;
    const float fValue = pfValues[iA];
    pfValues[iA] = pfValues[iB];
    pfValues[iB] = fValue;
    const int iID = piVertexIDs[iA];
    piVertexIDs[iA] = piVertexIDs[iB];
    piVertexIDs[iB] = iID;
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
            ExchangePositions(pState, aiLeft[iUsedLeft + i], aiRight[iUsedRight + i]);
        iUsedLeft += iPairs;
        iUsedRight += iPairs;
    }
    // clang-format off
    assert(iUsedRight==iNrRight);
    // clang-format on
}

static void MarkRun(const WeldState* pState, int iL_in, bool bAllEqual) {
    pState->piVertexIDs[iL_in] |= kRunStart | (bAllEqual ? pState->iEqualRunFlag : 0);
}

static bool AllValuesEqual(const ChannelValue* pfValues, int iL_in, int iR_in) {
    for (int l = iL_in + 1; l <= iR_in; l++) {
        if (!(pfValues[l] == pfValues[iL_in]))
            return false;
    }
    return true;
}

// A small range whose vertices are equal on the remaining channels ends as one run; comparing
// whole vertices finds that sooner than going through the channels one by one.
static const int kMaxComparedRun = 64;

static bool AllVertsEqualFrom(const WeldState* pState, int iL_in, int iR_in, int iChannelNum) {
    const int iFloatsPerVert = pState->iFloatsPerVert;
    const float* pfFirst =
        &pState->pfVertexDataIn[pState->piVertexIDs[iL_in] * iFloatsPerVert + iChannelNum];
    for (int l = iL_in + 1; l <= iR_in; l++) {
        const float* pfVert =
            &pState->pfVertexDataIn[pState->piVertexIDs[l] * iFloatsPerVert + iChannelNum];
        for (int c = 0; c < iFloatsPerVert - iChannelNum; c++) {
            if (!(pfVert[c] == pfFirst[c]))
                return false;
        }
    }
    return true;
}

// Splits a range whose values on iChannelNum are in place, and every part of it, until each part
// is a run. bAllEqual tells that the range's vertices are equal on every earlier channel.
static void SplitVerts(const WeldState* pState, int iL_in, int iR_in, int iChannelNum,
                       ChannelRange range, bool bAllEqual) {
    for (;;) {
        const int iCount = iR_in - iL_in + 1;
        // clang-format off
        assert(iCount>0);
        // clang-format on
        if (iCount == 1) {
            MarkRun(pState, iL_in, true);
            return;
        }

        // The midpoint of two different finite floats lies strictly between them only when it is
        // kept at extended precision; a float or double midpoint can equal one of the ends.
        const long double fAvg = ((long double)range.fMax + range.fMin) * 0.5f;
        // Equal values, an infinity beside other values, or only NaNs: no split on this channel.
        if (!(range.fMin < fAvg && fAvg < range.fMax)) {
            bAllEqual = bAllEqual && AllValuesEqual(pState->pfValues, iL_in, iR_in);
            if (iChannelNum + 1 == pState->iFloatsPerVert ||
                (bAllEqual && iCount <= kMaxComparedRun &&
                 AllVertsEqualFrom(pState, iL_in, iR_in, iChannelNum + 1))) {
                MarkRun(pState, iL_in, bAllEqual);
                return;
            }
            iChannelNum++;
            range = GatherChannel(pState, iL_in, iR_in, iChannelNum);
            continue;
        }

        const float fBelow = LargestFloatBelow(fAvg);
        SplitCount count = CountBelow(pState->pfValues, iL_in, iR_in, fBelow);
        const int iL = iL_in + count.iNrBelow;
        // clang-format off
        assert(iL>iL_in && iL<=iR_in);
        // clang-format on
        ExchangeAcrossSplit(pState, iL_in, iR_in, iL, fBelow);
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

// Runs of finite data hold equal vertices only, so scanning them is linear. Runs with many
// distinct vertices arise from infinities and NaNs; past this many they are sorted instead.
static const int kMaxScannedUniqueVertices = 16;

static bool VertsEqual(const float* pfA, const float* pfB, int iFloatsPerVert) {
    for (int c = 0; c < iFloatsPerVert; c++) {
        if (!(pfA[c] == pfB[c]))
            return false;
    }
    return true;
}

// Maps every vertex of the run to the first earlier distinct vertex of the run that it equals,
// appending it to the output when there is none. Returns the number appended, or -1 without a
// result once the run turns out to hold too many distinct vertices to scan.
static int MergeRunByScanning(const WeldState* pState, int iL_in, int iR_in, int iBase) {
    const int iFloatsPerVert = pState->iFloatsPerVert;
    float* pfNewUniVertsOut = &pState->pfVertexDataOut[iBase * iFloatsPerVert];
    int iUniqueNewVertices = 0;
    for (int l = iL_in; l <= iR_in; l++) {
        const int iID = pState->piVertexIDs[l] & pState->iIDMask;
        const float* pfVert = &pState->pfVertexDataIn[iID * iFloatsPerVert];
        int l2 = 0;
        while (l2 < iUniqueNewVertices &&
               !VertsEqual(pfVert, &pfNewUniVertsOut[l2 * iFloatsPerVert], iFloatsPerVert))
            l2++;
        if (l2 == iUniqueNewVertices) {
            if (iUniqueNewVertices == kMaxScannedUniqueVertices)
                return -1;
            memcpy(&pfNewUniVertsOut[l2 * iFloatsPerVert], pfVert, sizeof(float) * iFloatsPerVert);
            iUniqueNewVertices++;
        }
        pState->piRemapTable[iID] = iBase + l2;
    }
    return iUniqueNewVertices;
}

// Heap sort: in place, no recursion, O(k log k) whatever the order of the IDs.
template <typename Less> static void SortIDs(int* piIDs, int iCount, Less less) {
    for (int iEnd = iCount, iNext = iCount / 2;;) {
        int iRoot;
        if (iNext > 0) {
            iRoot = --iNext;
        } else {
            if (--iEnd <= 0)
                return;
            const int iID = piIDs[iEnd];
            piIDs[iEnd] = piIDs[0];
            piIDs[0] = iID;
            iRoot = 0;
        }
        for (int iChild; (iChild = 2 * iRoot + 1) < iEnd; iRoot = iChild) {
            if (iChild + 1 < iEnd && less(piIDs[iChild], piIDs[iChild + 1]))
                iChild++;
            if (!less(piIDs[iRoot], piIDs[iChild]))
                break;
            const int iID = piIDs[iRoot];
            piIDs[iRoot] = piIDs[iChild];
            piIDs[iChild] = iID;
        }
    }
}

// Orders floats by value with +0 equal to -0, and every NaN above every number.
static int CompareValues(float a, float b) {
    if (a < b)
        return -1;
    if (b < a)
        return 1;
    return (a != a) - (b != b);
}

// Same result as MergeRunByScanning in O(k log k). The remap entries of the run's vertices serve
// as scratch: first each vertex's position in the run, then for a vertex that repeats an earlier
// one the complement of that one's ID.
static int MergeRunBySorting(const WeldState* pState, int iL_in, int iR_in, int iBase) {
    int* piRemapTable = pState->piRemapTable;
    int* piVertexIDs = pState->piVertexIDs;
    const float* pfVertexDataIn = pState->pfVertexDataIn;
    const int iFloatsPerVert = pState->iFloatsPerVert;

    for (int l = iL_in; l <= iR_in; l++) {
        piVertexIDs[l] &= pState->iIDMask;
        piRemapTable[piVertexIDs[l]] = l;
    }

    SortIDs(&piVertexIDs[iL_in], iR_in - iL_in + 1, [=](int iA, int iB) {
        const float* pfA = &pfVertexDataIn[iA * iFloatsPerVert];
        const float* pfB = &pfVertexDataIn[iB * iFloatsPerVert];
        for (int c = 0; c < iFloatsPerVert; c++) {
            const int iOrder = CompareValues(pfA[c], pfB[c]);
            if (iOrder != 0)
                return iOrder < 0;
        }
        return piRemapTable[iA] < piRemapTable[iB];
    });

    int iFirstID = piVertexIDs[iL_in];
    for (int l = iL_in + 1; l <= iR_in; l++) {
        const int iID = piVertexIDs[l];
        if (VertsEqual(&pfVertexDataIn[iID * iFloatsPerVert],
                       &pfVertexDataIn[iFirstID * iFloatsPerVert], iFloatsPerVert))
            piRemapTable[iID] = ~iFirstID;
        else
            iFirstID = iID;
    }

    // First occurrences to the front, in run order.
    SortIDs(&piVertexIDs[iL_in], iR_in - iL_in + 1, [=](int iA, int iB) {
        const int iKeyA = piRemapTable[iA], iKeyB = piRemapTable[iB];
        if ((iKeyA < 0) != (iKeyB < 0))
            return iKeyA >= 0;
        return iKeyA < iKeyB;
    });

    int l = iL_in;
    for (; l <= iR_in && piRemapTable[piVertexIDs[l]] >= 0; l++) {
        const int iID = piVertexIDs[l];
        memcpy(&pState->pfVertexDataOut[(iBase + l - iL_in) * iFloatsPerVert],
               &pfVertexDataIn[iID * iFloatsPerVert], sizeof(float) * iFloatsPerVert);
        piRemapTable[iID] = iBase + l - iL_in;
    }
    const int iUniqueNewVertices = l - iL_in;
    for (; l <= iR_in; l++)
        piRemapTable[piVertexIDs[l]] = piRemapTable[~piRemapTable[piVertexIDs[l]]];
    return iUniqueNewVertices;
}

// All vertices of the run equal its first: one copy, and no need to read the others.
static int MergeEqualRun(const WeldState* pState, int iL_in, int iR_in, int iBase) {
    const int iFloatsPerVert = pState->iFloatsPerVert;
    const int iFirstID = pState->piVertexIDs[iL_in] & pState->iIDMask;
    memcpy(&pState->pfVertexDataOut[iBase * iFloatsPerVert],
           &pState->pfVertexDataIn[iFirstID * iFloatsPerVert], sizeof(float) * iFloatsPerVert);
    pState->piRemapTable[iFirstID] = iBase;
    for (int l = iL_in + 1; l <= iR_in; l++)
        pState->piRemapTable[pState->piVertexIDs[l]] = iBase;
    return 1;
}

static int MergeRun(const WeldState* pState, int iL_in, int iR_in, int iBase) {
    if (pState->piVertexIDs[iL_in] & pState->iEqualRunFlag)
        return MergeEqualRun(pState, iL_in, iR_in, iBase);
    const int iUniqueNewVertices = MergeRunByScanning(pState, iL_in, iR_in, iBase);
    return iUniqueNewVertices >= 0 ? iUniqueNewVertices
                                   : MergeRunBySorting(pState, iL_in, iR_in, iBase);
}

static int MergeRuns(const WeldState* pState, int iNrVerticesIn) {
    int iUniqueVertices = 0;
    int iL = 0;
    while (iL < iNrVerticesIn) {
        int iR = iL + 1;
        while (iR < iNrVerticesIn && pState->piVertexIDs[iR] >= 0)
            iR++;
        iUniqueVertices += MergeRun(pState, iL, iR - 1, iUniqueVertices);
        iL = iR;
    }
    return iUniqueVertices;
}

static int MergeVertsFast(int piRemapTable[], float pfVertexDataOut[], int piVertexIDs[],
                          const float pfVertexDataIn[], int iFloatsPerVert, int iNrVerticesIn) {
    const bool bIDsLeaveFlagFree = iNrVerticesIn <= kEqualRun;
    const WeldState state = {piRemapTable,
                             (ChannelValue*)piRemapTable,
                             pfVertexDataOut,
                             piVertexIDs,
                             pfVertexDataIn,
                             iFloatsPerVert,
                             bIDsLeaveFlagFree ? kEqualRun : 0,
                             bIDsLeaveFlagFree ? kEqualRun - 1 : INT_MAX};
    const ChannelRange range = GatherChannel(&state, 0, iNrVerticesIn - 1, 0);
    SplitVerts(&state, 0, iNrVerticesIn - 1, 0, range, true);
    return MergeRuns(&state, iNrVerticesIn);
}

int WeldMesh(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
             int iNrVerticesIn, int iFloatsPerVert) {
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

    int* piVertexIDs = (int*)malloc(iRemapBytes);
    if (piVertexIDs == NULL)
        return 0;
    for (int i = 0; i < iNrVerticesIn; i++)
        piVertexIDs[i] = i;

    const int iUniqueVertices = MergeVertsFast(piRemapTable, pfVertexDataOut, piVertexIDs,
                                               pfVertexDataIn, iFloatsPerVert, iNrVerticesIn);

    free(piVertexIDs);

    for (int i = 0; i < iUniqueVertices; i++) {
        // clang-format off
        assert(piRemapTable[i]>=0);
        // clang-format on
    }
    return iUniqueVertices;
}
