// Orders the groups that hashing found: their leaders sorted in the lexicographic order of their
// vertices (channel 0 first, +0 equal to -0), which for finite data is the order of the exact
// split. Channel values are sorted as order-preserving integers, so that every step is exact on
// both targets whatever the floating-point unit does with denormals or precision.
//
// All leaders are sorted on channel 0 by a radix sort; then, one channel after another, each run
// of leaders that agree on every channel so far is sorted on the next. Runs are marked in place,
// so no channel needs a stack, and the work stops at the first channel that leaves no run.
// Vertices of one or two floats are sorted on all their channels at once, in place, as the keys
// and spares of a sort by channels would need more room than the work array and the output give
// where nearly every vertex is distinct.
#include "sort_positions.h"
#include "weld_internal.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

namespace {

// Leaders with their current channel's keys, as two parallel arrays.
struct Leaders {
    uint32_t* piKeys;
    uint32_t* piIDs; // vertex index, marked RunStart where its leader differs from the one before
};

enum { kNrArrays = 4, kDigitBits = 8, kNrDigits = 4, kNrBuckets = 1 << kDigitBits };

// Runs up to kMaxInsertedRun leaders are sorted whole by insertion, on the keys of the run's
// channel and the next, and where those tie on the vertices; up to kMaxComparedRun by comparing
// the channel's keys. Counting would cost more than it saves on either. The in-place sort below
// sorts parts up to kMaxComparedRun by insertion: a number compares in one instruction.
enum { kMaxInsertedRun = 24, kMaxComparedRun = 64 };

// The arrays of iNrGroups words each live in the work array and in the output's first iNrGroups
// vertices, which the weld writes last: the work array holds at least one, the output one per
// channel, so that vertices of three floats or more always have room for all four. The IDs'
// array, placed first, always lies in the work array, so that the leaders can be copied to the
// output once they are sorted.
static void PlaceArrays(uint32_t* apiArrays[kNrArrays], int* piWork, int iNrVerticesIn,
                        float* pfVertexDataOut, int iFloatsPerVert, int iNrGroups) {
    int a = 0;
    for (int64_t i = 0; a < kNrArrays && i + iNrGroups <= iNrVerticesIn; i += iNrGroups)
        apiArrays[a++] = (uint32_t*)&piWork[i];
    for (int c = 0; a < kNrArrays && c < iFloatsPerVert; c++)
        apiArrays[a++] = (uint32_t*)&pfVertexDataOut[(size_t)c * iNrGroups];
}

static inline uint32_t Digit(uint32_t iKey, int d) {
    return iKey >> (d * kDigitBits) & (kNrBuckets - 1);
}

// Digit counts of the keys, for the radix sort.
struct DigitCounts {
    uint32_t aiCounts[kNrDigits][kNrBuckets];
};

static inline void CountKey(DigitCounts* pCounts, uint32_t iKey) {
    for (int d = 0; d < kNrDigits; d++)
        pCounts->aiCounts[d][Digit(iKey, d)]++;
}

// A stable radix sort of positions 0 .. iCount - 1 by key, least significant digit first, from
// the keys' digit counts, which it turns into the digits' first positions; a digit that every key
// shares is skipped. The result ends in `sorted`, which may be either set.
static void RadixSortByKey(Leaders* pSorted, Leaders* pSpare, DigitCounts* pCounts, int iCount) {
    bool abShared[kNrDigits];
    for (int d = 0; d < kNrDigits; d++)
        abShared[d] = pCounts->aiCounts[d][Digit(pSorted->piKeys[0], d)] == (uint32_t)iCount;
    uint32_t aiStarts[kNrDigits] = {0};
    for (int b = 0; b < kNrBuckets; b++) {
        for (int d = 0; d < kNrDigits; d++) {
            const uint32_t iCountOfDigit = pCounts->aiCounts[d][b];
            pCounts->aiCounts[d][b] = aiStarts[d];
            aiStarts[d] += iCountOfDigit;
        }
    }
    for (int d = 0; d < kNrDigits; d++) {
        if (abShared[d])
            continue;
        uint32_t* piNext = pCounts->aiCounts[d];
        const uint32_t* piKeys = pSorted->piKeys;
        const uint32_t* piIDs = pSorted->piIDs;
        uint32_t* piSpareKeys = pSpare->piKeys;
        uint32_t* piSpareIDs = pSpare->piIDs;
        for (int i = 0; i < iCount; i++) {
            const uint32_t iKey = piKeys[i];
            const uint32_t j = piNext[Digit(iKey, d)]++;
            piSpareKeys[j] = iKey;
            piSpareIDs[j] = piIDs[i];
        }
        const Leaders moved = *pSpare;
        *pSpare = *pSorted;
        *pSorted = moved;
    }
}

struct KeyOrder {
    Leaders run;

    bool Less(int i, int j) const { return run.piKeys[i] < run.piKeys[j]; }
    void Swap(int i, int j) const {
        const uint32_t iKey = run.piKeys[i], iID = run.piIDs[i];
        run.piKeys[i] = run.piKeys[j];
        run.piIDs[i] = run.piIDs[j];
        run.piKeys[j] = iKey;
        run.piIDs[j] = iID;
    }
    void Prefetch(int) const {}
};

static Leaders Offset(const Leaders& leaders, int i) {
    return Leaders{&leaders.piKeys[i], &leaders.piIDs[i]};
}

// kFloatsPerVert, in what follows: as VertexSize has it.

// Leaders are distinct: two of them always differ on some channel from iChannel on.
template <int kFloatsPerVert>
static bool VertexLess(const FloatBits* a, const FloatBits* b, int iChannel, int iFloatsPerVertIn) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : iFloatsPerVertIn;
    for (int c = iChannel; c < iFloatsPerVert; c++) {
        if (a[c] == b[c])
            continue;
        const uint32_t iKeyA = OrderKey(a[c]), iKeyB = OrderKey(b[c]);
        if (iKeyA != iKeyB)
            return iKeyA < iKeyB;
    }
    return false;
}

// A leader's keys of two consecutive channels as one number, the first in the high half.
static inline uint64_t PairKey(const FloatBits* piVertex, int iChannel, int iFloatsPerVert) {
    const uint64_t iHigh = OrderKey(piVertex[iChannel]);
    return iHigh << 32 | (iChannel + 1 < iFloatsPerVert ? OrderKey(piVertex[iChannel + 1]) : 0);
}

// Sorts a run of at most kMaxInsertedRun leaders completely and marks each as a run of its own.
// The keys of the run's channel and the next are read once; vertices are compared only where
// they tie on both.
template <int kFloatsPerVert>
static void InsertionSortRun(uint32_t* piIDs, int iCount, const FloatBits* piIn,
                             int iFloatsPerVertIn, int iChannel) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : iFloatsPerVertIn;
    uint64_t aiKeys[kMaxInsertedRun];
    for (int i = 0; i < iCount; i++) {
        piIDs[i] = VertexID(piIDs[i]);
        aiKeys[i] = PairKey(&piIn[(size_t)piIDs[i] * iFloatsPerVert], iChannel, iFloatsPerVert);
    }
    for (int i = 1; i < iCount; i++) {
        const uint32_t iID = piIDs[i];
        const uint64_t iKey = aiKeys[i];
        const FloatBits* piVertex = &piIn[(size_t)iID * iFloatsPerVert];
        int j = i;
        for (; j > 0 &&
               (iKey < aiKeys[j - 1] ||
                (iKey == aiKeys[j - 1] &&
                 VertexLess<kFloatsPerVert>(piVertex, &piIn[(size_t)piIDs[j - 1] * iFloatsPerVert],
                                            iChannel + 2, iFloatsPerVert)));
             j--) {
            piIDs[j] = piIDs[j - 1];
            aiKeys[j] = aiKeys[j - 1];
        }
        piIDs[j] = iID;
        aiKeys[j] = iKey;
    }
    for (int i = 0; i < iCount; i++)
        piIDs[i] = RunStart(piIDs[i]);
}

// Sorts positions iStart .. iEnd - 1, a run, on channel iChannel, and leaves it in `leaders`. Of
// the parts that agree on the channel, the small ones are sorted whole at once; the others are
// marked as runs for the next channel. Returns whether it marked any. Past the last channel only
// vertices with NaNs, bit-identical in their other channels, tie, and any order of those will do.
template <int kFloatsPerVert>
static bool SortRun(const Leaders& leaders, const Leaders& spare, int iStart, int iEnd,
                    const FloatBits* piIn, int iFloatsPerVertIn, int iChannel) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : iFloatsPerVertIn;
    Leaders run = Offset(leaders, iStart);
    const int iCount = iEnd - iStart;
    if (iCount <= kMaxInsertedRun) {
        InsertionSortRun<kFloatsPerVert>(run.piIDs, iCount, piIn, iFloatsPerVert, iChannel);
        return false;
    }
    const bool bRadix = iCount > kMaxComparedRun;
    DigitCounts counts;
    if (bRadix)
        FillWords(&counts.aiCounts[0][0], 0, kNrDigits * kNrBuckets);
    for (int i = 0; i < iCount; i++) {
        if (i + kPrefetchDistance < iCount)
            __builtin_prefetch(
                &piIn[(size_t)VertexID(run.piIDs[i + kPrefetchDistance]) * iFloatsPerVert +
                      iChannel]);
        run.piIDs[i] = VertexID(run.piIDs[i]);
        const uint32_t iKey = OrderKey(piIn[(size_t)run.piIDs[i] * iFloatsPerVert + iChannel]);
        run.piKeys[i] = iKey;
        if (bRadix)
            CountKey(&counts, iKey);
    }
    if (!bRadix) {
        SortPositions(KeyOrder{run}, iCount);
    } else {
        Leaders runSpare = Offset(spare, iStart);
        RadixSortByKey(&run, &runSpare, &counts, iCount);
        if (run.piKeys != &leaders.piKeys[iStart]) {
            memcpy(&leaders.piKeys[iStart], run.piKeys, (size_t)iCount * sizeof(uint32_t));
            memcpy(&leaders.piIDs[iStart], run.piIDs, (size_t)iCount * sizeof(uint32_t));
            run = Offset(leaders, iStart);
        }
    }
    if (iChannel + 1 == iFloatsPerVert)
        return false;
    // Marked first without a branch; then only the parts of more than one leader, rare, are
    // visited.
    run.piIDs[0] = RunStart(run.piIDs[0]);
    for (int i = 1; i < iCount; i++) {
        // Parts are sorted by the vertices of their leaders, which lie anywhere in memory.
        if (i + kPrefetchDistance < iCount) {
            const FloatBits* piAhead =
                &piIn[(size_t)run.piIDs[i + kPrefetchDistance] * iFloatsPerVert];
            __builtin_prefetch(&piAhead[iChannel + 1]);
        }
        run.piIDs[i] |= run.piKeys[i] != run.piKeys[i - 1] ? kRunStart : 0;
    }
    bool bRunsLeft = false;
    for (int i = 1; i < iCount; i++) {
        if (IsRunStart(run.piIDs[i]))
            continue;
        const int iPartStart = i - 1;
        int iPartEnd = i + 1;
        while (iPartEnd < iCount && !IsRunStart(run.piIDs[iPartEnd]))
            iPartEnd++;
        const int iPartCount = iPartEnd - iPartStart;
        if (iPartCount > kMaxInsertedRun)
            bRunsLeft = true;
        else
            InsertionSortRun<kFloatsPerVert>(&run.piIDs[iPartStart], iPartCount, piIn,
                                             iFloatsPerVert, iChannel + 1);
        i = iPartEnd;
    }
    return bRunsLeft;
}

// Vertices of one or two floats: a leader's keys of every channel make one number, channel 0 in
// the high bits, and the pairs of that number and the leader's ID are sorted in place, by the
// number's bytes from the most significant. The pairs fit wherever the leaders do: the numbers in
// the output's first iNrGroups vertices, the IDs in the work array.
typedef uint64_t __attribute__((__may_alias__, __aligned__(4))) PairedKey; // in the output

template <typename Key> static inline uint32_t ByteOf(Key iKey, int iByte) {
    return (uint32_t)(iKey >> (8 * iByte)) & 0xffu;
}

template <typename Key> static Key WholeKey(const FloatBits* piVertex);
template <> uint32_t WholeKey<uint32_t>(const FloatBits* piVertex) {
    return OrderKey(piVertex[0]);
}
template <> PairedKey WholeKey<PairedKey>(const FloatBits* piVertex) {
    return (uint64_t)OrderKey(piVertex[0]) << 32 | OrderKey(piVertex[1]);
}

// Equal numbers belong to leaders that tie on every channel: vertices with NaNs, and any order of
// those will do.
template <typename Key> static void InsertionSortPairs(Key* piKeys, uint32_t* piIDs, int iCount) {
    for (int i = 1; i < iCount; i++) {
        const Key iKey = piKeys[i];
        const uint32_t iID = piIDs[i];
        int j = i;
        for (; j > 0 && iKey < piKeys[j - 1]; j--) {
            piKeys[j] = piKeys[j - 1];
            piIDs[j] = piIDs[j - 1];
        }
        piKeys[j] = iKey;
        piIDs[j] = iID;
    }
}

// Orders the pairs by byte iByte of their numbers, in place: each pair goes straight to the next
// free place of its byte's part, and the pair it displaces takes its turn. Returns false, having
// moved nothing, where every number has the same byte there. A call of its own, so that its
// arrays are off the stack before the parts are sorted.
template <typename Key>
__attribute__((noinline)) static bool PermuteByByte(Key* piKeys, uint32_t* piIDs, int iCount,
                                                    int iByte) {
    uint32_t aiNext[kNrBuckets], aiEnd[kNrBuckets];
    FillWords(aiEnd, 0, kNrBuckets);
    for (int i = 0; i < iCount; i++)
        aiEnd[ByteOf(piKeys[i], iByte)]++;
    if (aiEnd[ByteOf(piKeys[0], iByte)] == (uint32_t)iCount)
        return false;
    for (uint32_t b = 0, iStart = 0; b < kNrBuckets; b++) {
        aiNext[b] = iStart;
        iStart += aiEnd[b];
        aiEnd[b] = iStart;
    }
    for (uint32_t b = 0; b < kNrBuckets; b++) {
        for (; aiNext[b] < aiEnd[b]; aiNext[b]++) {
            Key iKey = piKeys[aiNext[b]];
            uint32_t iID = piIDs[aiNext[b]];
            for (uint32_t iOwn = ByteOf(iKey, iByte); iOwn != b; iOwn = ByteOf(iKey, iByte)) {
                const uint32_t j = aiNext[iOwn]++;
                const Key iDisplacedKey = piKeys[j];
                const uint32_t iDisplacedID = piIDs[j];
                piKeys[j] = iKey;
                piIDs[j] = iID;
                iKey = iDisplacedKey;
                iID = iDisplacedID;
            }
            piKeys[aiNext[b]] = iKey;
            piIDs[aiNext[b]] = iID;
        }
    }
    return true;
}

// Sorts pairs whose numbers agree above byte iByte: by that byte, then each part of equal bytes
// by the bytes below. The recursion is at most as deep as the number has bytes.
template <typename Key>
static void SortPairsFromByte(Key* piKeys, uint32_t* piIDs, int iCount, int iByte) {
    for (;; iByte--) {
        if (iCount <= kMaxComparedRun) {
            InsertionSortPairs(piKeys, piIDs, iCount);
            return;
        }
        if (iByte < 0)
            return;
        if (PermuteByByte(piKeys, piIDs, iCount, iByte))
            break;
    }
    for (int i = 0; i < iCount;) {
        const uint32_t iPartByte = ByteOf(piKeys[i], iByte);
        int iPartEnd = i + 1;
        while (iPartEnd < iCount && ByteOf(piKeys[iPartEnd], iByte) == iPartByte)
            iPartEnd++;
        if (iPartEnd - i > 1)
            SortPairsFromByte(&piKeys[i], &piIDs[i], iPartEnd - i, iByte - 1);
        i = iPartEnd;
    }
}

template <typename Key>
static void SortShortLeaders(uint32_t* piIDs, float* pfVertexDataOut, const FloatBits* piIn,
                             int iFloatsPerVert, int iNrGroups) {
    Key* piKeys = (Key*)pfVertexDataOut;
    for (int i = 0; i < iNrGroups; i++)
        piKeys[i] = WholeKey<Key>(&piIn[(size_t)piIDs[i] * iFloatsPerVert]);
    SortPairsFromByte(piKeys, piIDs, iNrGroups, (int)sizeof(Key) - 1);
}

template <int kFloatsPerVert>
static void SortLeadersByRuns(uint32_t* apiArrays[kNrArrays], const FloatBits* piIn,
                              int iFloatsPerVertIn, int iNrGroups) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : iFloatsPerVertIn;
    const Leaders leaders = {apiArrays[1], apiArrays[0]};
    const Leaders spare = {apiArrays[2], apiArrays[3]};
    bool bRunsLeft = SortRun<kFloatsPerVert>(leaders, spare, 0, iNrGroups, piIn, iFloatsPerVert, 0);
    for (int c = 1; c < iFloatsPerVert && bRunsLeft; c++) {
        bRunsLeft = false;
        for (int iStart = 0, i = 1; i <= iNrGroups; i++) {
            if (i < iNrGroups && !IsRunStart(leaders.piIDs[i]))
                continue;
            if (i - iStart > 1 &&
                SortRun<kFloatsPerVert>(leaders, spare, iStart, i, piIn, iFloatsPerVert, c))
                bRunsLeft = true;
            iStart = i;
        }
    }
}

template <int kFloatsPerVert>
static void RankGroupsOfSize(int* piRemapTable, int* piWork, float* pfVertexDataOut,
                             const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVertIn,
                             int iNrGroups) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : iFloatsPerVertIn;
    const FloatBits* piIn = (const FloatBits*)pfVertexDataIn;
    uint32_t* apiArrays[kNrArrays];
    PlaceArrays(apiArrays, piWork, iNrVerticesIn, pfVertexDataOut, iFloatsPerVert, iNrGroups);

    // All leaders, in vertex order. The IDs' array is the first in the work array, apart from the
    // list in the output.
    uint32_t* piIDs = apiArrays[0];
    memcpy(piIDs, pfVertexDataOut, (size_t)iNrGroups * sizeof(uint32_t));
    if constexpr (kFloatsPerVert == 1)
        SortShortLeaders<uint32_t>(piIDs, pfVertexDataOut, piIn, iFloatsPerVert, iNrGroups);
    else if constexpr (kFloatsPerVert == 2)
        SortShortLeaders<PairedKey>(piIDs, pfVertexDataOut, piIn, iFloatsPerVert, iNrGroups);
    else
        SortLeadersByRuns<kFloatsPerVert>(apiArrays, piIn, iFloatsPerVert, iNrGroups);

    for (int r = 0; r < iNrGroups; r++) {
        if (r + kPrefetchDistance < iNrGroups)
            __builtin_prefetch(
                &pfVertexDataIn[(size_t)VertexID(piIDs[r + kPrefetchDistance]) * iFloatsPerVert]);
        const uint32_t iID = VertexID(piIDs[r]);
        piRemapTable[iID] = r;
        CopyVertex(&pfVertexDataOut[(size_t)r * iFloatsPerVert],
                   &pfVertexDataIn[(size_t)iID * iFloatsPerVert], iFloatsPerVert);
    }
}

} // namespace

void RankGroups(int* piRemapTable, int* piWork, float* pfVertexDataOut, const float* pfVertexDataIn,
                int iNrVerticesIn, int iFloatsPerVert, int iNrGroups) {
    WithVertexSize(iFloatsPerVert, [&](auto size) {
        RankGroupsOfSize<decltype(size)::kFloatsPerVert>(piRemapTable, piWork, pfVertexDataOut,
                                                         pfVertexDataIn, iNrVerticesIn,
                                                         iFloatsPerVert, iNrGroups);
    });
}
