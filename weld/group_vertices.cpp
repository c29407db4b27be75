// Groups equal vertices by hashing, the fast road to the exact weld. Wherever the data is finite
// and the members of every group are bit-identical, the output is fixed by the groups alone: their
// order is the lexicographic order of their vertices, and whichever member is copied gives the
// same bits. Hashing finds the groups in one pass; the ordering pass sorts only one vertex per
// group. Data this road cannot weld exactly is left to the exact split.
#include "weld_internal.h"

#include <limits.h>
#include <stdint.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// -0 is hashed as +0, so that members of a group that differ in the sign of a zero meet in one
// bucket, where the comparison tells them apart.
static const uint32_t kNegativeZero = 0x80000000u;

static inline uint32_t ZeroAsPositive(uint32_t iBits) {
    return iBits == kNegativeZero ? 0 : iBits;
}

// Pairs of values are multiplied, each value offset by a constant of its position, and the
// products summed: independent multiplications, and values trading places hash apart.
static const uint32_t kHashOffsets[16] = {0x9e3779b9u, 0x85ebca6bu, 0xc2b2ae35u, 0x27d4eb2fu,
                                          0x165667b1u, 0xd3a2646cu, 0xfd7046c5u, 0xb55a4f09u,
                                          0x7feb352du, 0x846ca68bu, 0x68e31da4u, 0xb5297a4du,
                                          0x1b873593u, 0xcc9e2d51u, 0xe6546b64u, 0x5bd1e995u};

__attribute__((always_inline)) static inline uint32_t HashVertex(const FloatBits* piVertex,
                                                                 int iFloatsPerVert) {
    uint64_t iHash = (uint64_t)iFloatsPerVert;
#if defined(__SSE2__)
    if (iFloatsPerVert >= 4) {
        // Blocks of four values; where the size is no multiple of four, the last block overlaps
        // the one before.
        const int iBlocks = (iFloatsPerVert + 3) / 4;
        const __m128i vNegativeZero = _mm_set1_epi32((int)kNegativeZero);
        __m128i vSum = _mm_setzero_si128();
        for (int b = 0; b < iBlocks; b++) {
            const int c = b + 1 < iBlocks ? 4 * b : iFloatsPerVert - 4;
            __m128i v = _mm_loadu_si128((const __m128i*)&piVertex[c]);
            v = _mm_andnot_si128(_mm_cmpeq_epi32(v, vNegativeZero), v);
            v = _mm_add_epi32(v, _mm_loadu_si128((const __m128i*)&kHashOffsets[4 * (b % 4)]));
            vSum = _mm_add_epi64(vSum, _mm_mul_epu32(v, _mm_srli_epi64(v, 32)));
        }
        uint64_t iSum;
        _mm_storel_epi64((__m128i*)&iSum, _mm_add_epi64(vSum, _mm_unpackhi_epi64(vSum, vSum)));
        iHash += iSum;
    } else
#endif
    {
        int c = 0;
        for (; c + 1 < iFloatsPerVert; c += 2)
            iHash += (uint64_t)(ZeroAsPositive(piVertex[c]) + kHashOffsets[c % 16]) *
                     (ZeroAsPositive(piVertex[c + 1]) + kHashOffsets[(c + 1) % 16]);
        if (c < iFloatsPerVert)
            iHash += (uint64_t)(ZeroAsPositive(piVertex[c]) + kHashOffsets[c % 16]) * 0x94d049bbu;
    }
    // The products' high bits hold the mixed values: folded into the low half, and a multiplication
    // spreads every bit over the high half, which picks the bucket.
    return (uint32_t)(((iHash ^ iHash >> 32) * 0xbf58476d1ce4e5b9ull) >> 32);
}

enum VertexMatch { kDifferent, kSameBits, kEqualValues };

static VertexMatch MatchValues(const FloatBits* a, const FloatBits* b, int c, int iFloatsPerVert) {
    for (; c < iFloatsPerVert; c++) {
        if (a[c] != b[c] && (a[c] | b[c]) << 1)
            return kDifferent;
    }
    return kEqualValues;
}

static inline VertexMatch MatchVertices(const FloatBits* a, const FloatBits* b,
                                        int iFloatsPerVert) {
    int c = 0;
#if defined(__SSE2__)
    for (; c + 4 <= iFloatsPerVert; c += 4) {
        const __m128i va = _mm_loadu_si128((const __m128i*)&a[c]);
        const __m128i vb = _mm_loadu_si128((const __m128i*)&b[c]);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(va, vb)) != 0xffff)
            return MatchValues(a, b, c, iFloatsPerVert);
    }
#endif
    for (; c < iFloatsPerVert; c++) {
        if (a[c] != b[c])
            return MatchValues(a, b, c, iFloatsPerVert);
    }
    return kSameBits;
}

// A bucket chain walked this many steps per vertex on average means the hash has met data it
// spreads badly; the exact split, whose time no data can spoil, takes over.
static const int kMaxStepsPerVertex = 8;

static bool HasNaN(const FloatBits* piVertex, int iFloatsPerVert) {
    for (int c = 0; c < iFloatsPerVert; c++) {
        if (IsNaN(piVertex[c]))
            return true;
    }
    return false;
}

// Whether a vertex holds an infinity or a NaN, without a branch per value.
static inline bool IsNotFinite(const FloatBits* piVertex, int iFloatsPerVert) {
    uint32_t iNotFinite = 0;
    for (int c = 0; c < iFloatsPerVert; c++)
        iNotFinite |= IsInfinityOrNaN(piVertex[c]);
    return iNotFinite != 0;
}

// The grouping's arrays and layout.
struct Grouping {
    int* piRemapTable;
    int* piBuckets;
    FloatBits* piLeaders;
    const FloatBits* piIn;
    int iNrVerticesIn;
    int iFloatsPerVert;
    GroupedValues values;

    int* Bucket(uint32_t iHash) const {
        return &piBuckets[((uint64_t)iHash * (uint32_t)iNrVerticesIn) >> 32];
    }
};

// Whether two vertices hold the same bits, without a branch per value.
static inline bool SameBits(const FloatBits* a, const FloatBits* b, int iFloatsPerVert) {
    int c = 0;
    bool bSame = true;
#if defined(__SSE2__)
    if (iFloatsPerVert >= 4) {
        __m128i vDifference = _mm_setzero_si128();
        for (; c + 4 <= iFloatsPerVert; c += 4)
            vDifference =
                _mm_or_si128(vDifference, _mm_xor_si128(_mm_loadu_si128((const __m128i*)&a[c]),
                                                        _mm_loadu_si128((const __m128i*)&b[c])));
        bSame = _mm_movemask_epi8(_mm_cmpeq_epi32(vDifference, _mm_setzero_si128())) == 0xffff;
    }
#endif
    uint32_t iDifference = 0;
    for (; c < iFloatsPerVert; c++)
        iDifference |= a[c] ^ b[c];
    return bSame & (iDifference == 0);
}

// What a walk down a bucket's chain found: the leader the vertex joins, kNoLeader, or
// kValueOnlyLeader where, with kFiniteValues, it equals a leader in value but not in bits.
enum { kNoLeader = -1, kValueOnlyLeader = -2 };
static inline int NextInChain(const Grouping& grouping, int iLeader) {
    return grouping.piRemapTable[iLeader];
}
struct ChainSearch {
    int iLeader;
    int iSteps; // leaders passed over
};

static ChainSearch SearchChain(const Grouping& grouping, const FloatBits* piVertex, int iHead,
                               int iFloatsPerVert) {
    ChainSearch search = {kNoLeader, 0};
    for (int iLeader = iHead; iLeader != kChainEnd; iLeader = NextInChain(grouping, iLeader)) {
        const VertexMatch match = MatchVertices(
            piVertex, &grouping.piIn[(size_t)iLeader * iFloatsPerVert], iFloatsPerVert);
        if (match == kSameBits || (match == kEqualValues && grouping.values == kAnyValues)) {
            search.iLeader = iLeader;
            return search;
        }
        if (match == kEqualValues) {
            search.iLeader = kValueOnlyLeader;
            return search;
        }
        search.iSteps++;
    }
    return search;
}

// Past this many vertices the buckets and leaders no longer stay in cache: the hashes of the next
// kHashesAhead vertices are computed ahead, so that the bucket of each is asked for early and the
// leader it holds halfway. Half of 32 vertices is about the time a bucket takes to come from
// memory; 16 ahead left the loop waiting for the bucket's head.
enum { kMinVerticesToPrefetch = 1 << 15, kHashesAhead = 32 };

// The input is read in order, but the processor's own prefetching, which starts afresh with each
// call, falls behind the loop: the vertex kInputAhead past the one being hashed is asked for.
enum { kInputAhead = 32 };

// Makes each vertex a follower of the first leader it equals, or the leader of a new group, and
// lists the leaders. Most vertices equal the leader at their bucket's head; the chain is walked
// only past a head that differs. The counts stay in registers, although the remap table and the
// list are written meanwhile.
//
// With kFiniteValues only bits are compared, so that every vertex is a bit copy of its leader:
// infinities and NaNs are looked for on the leaders alone. With kAnyValues a vertex with a NaN
// equals nothing: it leads a group of its own and stays out of the buckets, where no later vertex
// looks for it.
//
// kFloatsPerVert: as VertexSize has it.
template <int kFloatsPerVert, bool kPrefetch>
static int AddVertices(const Grouping& grouping, int iMaxSteps) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : grouping.iFloatsPerVert;
    const int n = grouping.iNrVerticesIn;
    const FloatBits* piIn = grouping.piIn;
    int* piRemapTable = grouping.piRemapTable;
    FloatBits* piLeaders = grouping.piLeaders;
    int iGroups = 0, iSteps = 0;
    uint32_t aiHashes[kHashesAhead];
    for (int i = 0; kPrefetch && i < kHashesAhead; i++)
        aiHashes[i] = HashVertex(&piIn[(size_t)i * iFloatsPerVert], iFloatsPerVert);
    for (int i = 0; i < n; i++) {
        const FloatBits* piVertex = &piIn[(size_t)i * iFloatsPerVert];
        const int iInputAhead = (kPrefetch ? i + kHashesAhead : i) + kInputAhead;
        if (iInputAhead < n)
            __builtin_prefetch(&piIn[(size_t)iInputAhead * iFloatsPerVert]);
        uint32_t iHash;
        if (kPrefetch) {
            iHash = aiHashes[i % kHashesAhead];
            if (i + kHashesAhead < n) {
                const uint32_t iHashAhead =
                    HashVertex(&piIn[(size_t)(i + kHashesAhead) * iFloatsPerVert], iFloatsPerVert);
                aiHashes[i % kHashesAhead] = iHashAhead;
                __builtin_prefetch(grouping.Bucket(iHashAhead));
            }
            if (i + kHashesAhead / 2 < n) {
                const int iHead = *grouping.Bucket(aiHashes[(i + kHashesAhead / 2) % kHashesAhead]);
                if (iHead != kChainEnd)
                    __builtin_prefetch(&piIn[(size_t)iHead * iFloatsPerVert]);
            }
        } else {
            iHash = HashVertex(piVertex, iFloatsPerVert);
        }
        int* piBucket = grouping.Bucket(iHash);
        const int iHead = *piBucket;
        if (iHead != kChainEnd) {
            int iLeader = iHead;
            if (!SameBits(piVertex, &piIn[(size_t)iHead * iFloatsPerVert], iFloatsPerVert)) {
                const ChainSearch search = SearchChain(grouping, piVertex, iHead, iFloatsPerVert);
                iSteps += search.iSteps;
                if (search.iLeader == kValueOnlyLeader || iSteps > iMaxSteps)
                    return kGroupingFailed;
                iLeader = search.iLeader;
            }
            if (iLeader != kNoLeader) {
                piRemapTable[i] = FollowerEntry(iLeader);
                continue;
            }
        }
        piLeaders[iGroups++] = (uint32_t)i;
        if (grouping.values == kFiniteValues) {
            if (IsNotFinite(piVertex, iFloatsPerVert))
                return kGroupingFailed;
        } else if (HasNaN(piVertex, iFloatsPerVert)) {
            piRemapTable[i] = kChainEnd;
            continue;
        }
        piRemapTable[i] = iHead;
        *piBucket = i;
    }
    return iGroups;
}

template <int kFloatsPerVert>
static int AddVerticesOfSize(const Grouping& grouping, int iMaxSteps) {
    if (grouping.iNrVerticesIn >= kMinVerticesToPrefetch)
        return AddVertices<kFloatsPerVert, true>(grouping, iMaxSteps);
    return AddVertices<kFloatsPerVert, false>(grouping, iMaxSteps);
}

} // namespace

int GroupEqualVertices(int* piRemapTable, int* piBuckets, float* pfVertexDataOut,
                       const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert,
                       GroupedValues values) {
    FillWords((uint32_t*)piBuckets, UINT32_MAX, iNrVerticesIn);
    const int iMaxSteps =
        iNrVerticesIn > INT_MAX / kMaxStepsPerVertex ? INT_MAX : kMaxStepsPerVertex * iNrVerticesIn;
    const Grouping grouping = {piRemapTable,
                               piBuckets,
                               (FloatBits*)pfVertexDataOut,
                               (const FloatBits*)pfVertexDataIn,
                               iNrVerticesIn,
                               iFloatsPerVert,
                               values};
    return WithVertexSize(iFloatsPerVert, [&](auto size) {
        return AddVerticesOfSize<decltype(size)::kFloatsPerVert>(grouping, iMaxSteps);
    });
}

// Leaders ranked by their position: the order of first occurrence.
void RankGroupsInFirstComeOrder(int* piRemapTable, float* pfVertexDataOut,
                                const float* pfVertexDataIn, int iNrVerticesIn,
                                int iFloatsPerVert) {
    for (int i = 0, r = 0; i < iNrVerticesIn; i++) {
        if (IsFollower(piRemapTable[i]))
            continue;
        CopyVertex(&pfVertexDataOut[(size_t)r * iFloatsPerVert],
                   &pfVertexDataIn[(size_t)i * iFloatsPerVert], iFloatsPerVert);
        piRemapTable[i] = r++;
    }
}

// A leader's entry is its rank already: each entry takes that of its leader, or its own, without
// a branch on which it is.
void PointFollowersAtLeaders(int* piRemapTable, int iNrVerticesIn) {
    for (int i = 0; i < iNrVerticesIn; i++) {
        const int iEntry = piRemapTable[i];
        piRemapTable[i] = piRemapTable[IsFollower(iEntry) ? LeaderOf(iEntry) : i];
    }
}
