// Groups equal vertices by hashing, the fast road to the exact weld. Wherever the data is finite
// and the members of every group are bit-identical, the output is fixed by the groups alone: their
// order is the lexicographic order of their vertices, and whichever member is copied gives the
// same bits. Hashing finds the groups in one pass; the ordering pass sorts only one vertex per
// group. Data this road cannot weld exactly is left to the exact split.
#include "weld_internal.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Where the bits of a vertex value are read: -0 is hashed and compared as +0.
static inline uint32_t ZeroAsPositive(uint32_t iBits) {
    return iBits << 1 ? iBits : 0;
}

static inline bool IsInfinityOrNaN(uint32_t iBits) {
    return (iBits & 0x7f800000u) == 0x7f800000u;
}

// Pairs of values are multiplied, each value offset by a constant of its position, and the
// products summed: independent multiplications, and values trading places hash apart. -0 hashes
// as +0. Sets *pbSpecial when the vertex holds an infinity or a NaN.
static const uint32_t kHashOffsets[16] = {0x9e3779b9u, 0x85ebca6bu, 0xc2b2ae35u, 0x27d4eb2fu,
                                          0x165667b1u, 0xd3a2646cu, 0xfd7046c5u, 0xb55a4f09u,
                                          0x7feb352du, 0x846ca68bu, 0x68e31da4u, 0xb5297a4du,
                                          0x1b873593u, 0xcc9e2d51u, 0xe6546b64u, 0x5bd1e995u};

static inline uint32_t HashVertex(const FloatBits* piVertex, int iFloatsPerVert, bool* pbSpecial) {
    uint64_t iHash = (uint64_t)iFloatsPerVert;
    uint32_t iSpecial = 0;
    int c = 0;
#if defined(__SSE2__)
    if (iFloatsPerVert >= 4) {
        const __m128i vExponent = _mm_set1_epi32(0x7f800000);
        __m128i vSpecial = _mm_setzero_si128(), vSum = _mm_setzero_si128();
        for (; c + 4 <= iFloatsPerVert; c += 4) {
            __m128i v = _mm_loadu_si128((const __m128i*)&piVertex[c]);
            const __m128i vZero = _mm_cmpeq_epi32(_mm_slli_epi32(v, 1), _mm_setzero_si128());
            vSpecial =
                _mm_or_si128(vSpecial, _mm_cmpeq_epi32(_mm_and_si128(v, vExponent), vExponent));
            v = _mm_andnot_si128(vZero, v);
            v = _mm_add_epi32(v, _mm_loadu_si128((const __m128i*)&kHashOffsets[c % 16]));
            vSum = _mm_add_epi64(vSum, _mm_mul_epu32(v, _mm_srli_epi64(v, 32)));
        }
        iSpecial = (uint32_t)_mm_movemask_epi8(vSpecial);
        uint64_t aiSums[2];
        _mm_storeu_si128((__m128i*)aiSums, vSum);
        iHash += aiSums[0] + (aiSums[1] << 17 | aiSums[1] >> 47);
    }
#endif
    for (; c + 1 < iFloatsPerVert; c += 2) {
        const uint32_t a = piVertex[c], b = piVertex[c + 1];
        iSpecial |= (uint32_t)IsInfinityOrNaN(a) | (uint32_t)IsInfinityOrNaN(b);
        iHash += (uint64_t)(ZeroAsPositive(a) + kHashOffsets[c % 16]) *
                 (ZeroAsPositive(b) + kHashOffsets[(c + 1) % 16]);
    }
    if (c < iFloatsPerVert) {
        const uint32_t a = piVertex[c];
        iSpecial |= IsInfinityOrNaN(a);
        iHash += (uint64_t)(ZeroAsPositive(a) + kHashOffsets[c % 16]) * 0x94d049bbu;
    }
    *pbSpecial = iSpecial != 0;
    iHash ^= iHash >> 29;
    iHash *= 0xbf58476d1ce4e5b9ull;
    iHash ^= iHash >> 32;
    return (uint32_t)iHash;
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
        if ((piVertex[c] & 0x7fffffffu) > 0x7f800000u)
            return true;
    }
    return false;
}

// The grouping's arrays, and what it has counted so far. Passed by value and returned, so that the
// compiler keeps the counts in registers although the remap table is written in between.
struct Grouping {
    int* piRemapTable;
    int* piBuckets;
    const FloatBits* piIn;
    int iNrVerticesIn;
    int iFloatsPerVert;
    GroupedValues values;
    int iGroupsLeft;
    int iStepsLeft;

    const FloatBits* Vertex(int i) const { return &piIn[(size_t)i * iFloatsPerVert]; }
    int* Bucket(uint32_t iHash) const {
        return &piBuckets[((uint64_t)iHash * (uint32_t)iNrVerticesIn) >> 32];
    }
};

enum AddOutcome { kAdded, kFailed };

// Makes vertex i a follower of the first leader it equals, or the leader of a new group. A vertex
// with a NaN equals nothing: it leads a group of its own, where no later vertex looks for it.
static inline AddOutcome AddVertex(Grouping& grouping, int i, uint32_t iHash, bool bSpecial,
                                   int iFloatsPerVert) {
    const FloatBits* piVertex = &grouping.piIn[(size_t)i * iFloatsPerVert];
    if (bSpecial) {
        if (grouping.values == kFiniteValues)
            return kFailed;
        if (HasNaN(piVertex, iFloatsPerVert)) {
            if (--grouping.iGroupsLeft < 0)
                return kFailed;
            grouping.piRemapTable[i] = -1;
            return kAdded;
        }
    }
    int* piBucket = grouping.Bucket(iHash);
    int iLeader = *piBucket;
    for (; iLeader >= 0; iLeader = grouping.piRemapTable[iLeader]) {
        const VertexMatch match = MatchVertices(
            piVertex, &grouping.piIn[(size_t)iLeader * iFloatsPerVert], iFloatsPerVert);
        if (match == kSameBits || (match == kEqualValues && grouping.values == kAnyValues)) {
            grouping.piRemapTable[i] = kFollowerFlag | iLeader;
            return kAdded;
        }
        if (match == kEqualValues || --grouping.iStepsLeft < 0)
            return kFailed;
    }
    if (--grouping.iGroupsLeft < 0)
        return kFailed;
    grouping.piRemapTable[i] = *piBucket;
    *piBucket = i;
    return kAdded;
}

// Past this many vertices the buckets and leaders no longer stay in cache: the hashes of the next
// kHashesAhead vertices are computed ahead, so that the bucket of each is asked for early and the
// leader it holds halfway.
enum { kMinVerticesToPrefetch = 1 << 15, kHashesAhead = 16 };

// kFloatsPerVert: the vertex size where it is one of the common ones, for loops the compiler
// unrolls; 0 for any other.
template <int kFloatsPerVert, bool kPrefetch> static AddOutcome AddVertices(Grouping& grouping) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : grouping.iFloatsPerVert;
    const int n = grouping.iNrVerticesIn;
    const FloatBits* piIn = grouping.piIn;
    uint32_t aiHashes[kHashesAhead];
    bool abSpecial[kHashesAhead];
    for (int i = 0; kPrefetch && i < kHashesAhead; i++)
        aiHashes[i] = HashVertex(&piIn[(size_t)i * iFloatsPerVert], iFloatsPerVert, &abSpecial[i]);
    for (int i = 0; i < n; i++) {
        uint32_t iHash;
        bool bSpecial;
        if (kPrefetch) {
            iHash = aiHashes[i % kHashesAhead];
            bSpecial = abSpecial[i % kHashesAhead];
            if (i + kHashesAhead < n) {
                const uint32_t iHashAhead =
                    HashVertex(&piIn[(size_t)(i + kHashesAhead) * iFloatsPerVert], iFloatsPerVert,
                               &abSpecial[i % kHashesAhead]);
                aiHashes[i % kHashesAhead] = iHashAhead;
                __builtin_prefetch(grouping.Bucket(iHashAhead));
            }
            if (i + kHashesAhead / 2 < n) {
                const int iHead = *grouping.Bucket(aiHashes[(i + kHashesAhead / 2) % kHashesAhead]);
                if (iHead >= 0)
                    __builtin_prefetch(&piIn[(size_t)iHead * iFloatsPerVert]);
            }
        } else {
            iHash = HashVertex(&piIn[(size_t)i * iFloatsPerVert], iFloatsPerVert, &bSpecial);
        }
        const AddOutcome outcome = AddVertex(grouping, i, iHash, bSpecial, iFloatsPerVert);
        if (outcome != kAdded)
            return outcome;
    }
    return kAdded;
}

template <int kFloatsPerVert> static AddOutcome AddVerticesOfSize(Grouping& grouping) {
    if (grouping.iNrVerticesIn >= kMinVerticesToPrefetch)
        return AddVertices<kFloatsPerVert, true>(grouping);
    return AddVertices<kFloatsPerVert, false>(grouping);
}

static AddOutcome AddAllVertices(Grouping& grouping) {
    switch (grouping.iFloatsPerVert) {
    case 1:
        return AddVerticesOfSize<1>(grouping);
    case 2:
        return AddVerticesOfSize<2>(grouping);
    case 3:
        return AddVerticesOfSize<3>(grouping);
    case 4:
        return AddVerticesOfSize<4>(grouping);
    case 5:
        return AddVerticesOfSize<5>(grouping);
    case 6:
        return AddVerticesOfSize<6>(grouping);
    case 8:
        return AddVerticesOfSize<8>(grouping);
    default:
        return AddVerticesOfSize<0>(grouping);
    }
}

} // namespace

int GroupEqualVertices(int* piRemapTable, int* piBuckets, const float* pfVertexDataIn,
                       int iNrVerticesIn, int iFloatsPerVert, GroupedValues values,
                       int iMaxGroups) {
    memset(piBuckets, 0xff, (size_t)iNrVerticesIn * sizeof(int));
    const int iMaxSteps =
        iNrVerticesIn > INT_MAX / kMaxStepsPerVertex ? INT_MAX : kMaxStepsPerVertex * iNrVerticesIn;
    Grouping grouping = {piRemapTable,  piBuckets,      (const FloatBits*)pfVertexDataIn,
                         iNrVerticesIn, iFloatsPerVert, values,
                         iMaxGroups,    iMaxSteps};
    if (AddAllVertices(grouping) == kFailed)
        return kGroupingFailed;
    return iMaxGroups - grouping.iGroupsLeft;
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
        piRemapTable[i] = piRemapTable[iEntry < 0 ? iEntry & INT_MAX : i];
    }
}
