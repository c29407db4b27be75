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
        iSpecial |= IsInfinityOrNaN(a) | IsInfinityOrNaN(b);
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

// The grouping's arrays, and what it has counted so far. Passed by value and returned, so that the
// compiler keeps the counts in registers although the remap table is written in between.
struct Grouping {
    int* piRemapTable;
    int* piBuckets;
    const FloatBits* piIn;
    int iNrVerticesIn;
    int iFloatsPerVert;
    int iGroupsLeft;
    int iStepsLeft;

    const FloatBits* Vertex(int i) const { return &piIn[(size_t)i * iFloatsPerVert]; }
    int* Bucket(uint32_t iHash) const {
        return &piBuckets[((uint64_t)iHash * (uint32_t)iNrVerticesIn) >> 32];
    }
};

// Makes vertex i a follower of the leader it equals, or the leader of a new group. Returns false
// where the data needs the exact split.
static inline bool AddVertex(Grouping& grouping, int i, uint32_t iHash, int iFloatsPerVert) {
    const FloatBits* piVertex = &grouping.piIn[(size_t)i * iFloatsPerVert];
    int* piBucket = grouping.Bucket(iHash);
    int iLeader = *piBucket;
    for (; iLeader >= 0; iLeader = grouping.piRemapTable[iLeader]) {
        const VertexMatch match = MatchVertices(
            piVertex, &grouping.piIn[(size_t)iLeader * iFloatsPerVert], iFloatsPerVert);
        if (match == kSameBits) {
            grouping.piRemapTable[i] = kFollowerFlag | iLeader;
            return true;
        }
        if (match == kEqualValues || --grouping.iStepsLeft < 0)
            return false;
    }
    if (--grouping.iGroupsLeft < 0)
        return false;
    grouping.piRemapTable[i] = *piBucket;
    *piBucket = i;
    return true;
}

// kFloatsPerVert: the vertex size where it is one of the common ones, for loops the compiler
// unrolls; 0 for any other.
template <int kFloatsPerVert> static bool AddVertices(Grouping grouping, int* piNrGroups) {
    const int iFloatsPerVert = kFloatsPerVert ? kFloatsPerVert : grouping.iFloatsPerVert;
    const int iMaxGroups = grouping.iGroupsLeft;
    for (int i = 0; i < grouping.iNrVerticesIn; i++) {
        bool bSpecial;
        const uint32_t iHash =
            HashVertex(&grouping.piIn[(size_t)i * iFloatsPerVert], iFloatsPerVert, &bSpecial);
        if (bSpecial || !AddVertex(grouping, i, iHash, iFloatsPerVert))
            return false;
    }
    *piNrGroups = iMaxGroups - grouping.iGroupsLeft;
    return true;
}

// Past this many vertices the buckets and leaders no longer stay in cache: the hashes of the next
// kHashesAhead vertices are computed ahead, so that the bucket of each is asked for early and the
// leader it holds halfway.
enum { kMinVerticesToPrefetch = 1 << 15, kHashesAhead = 16 };

static bool AddVerticesPrefetching(Grouping grouping, int* piNrGroups) {
    const int iMaxGroups = grouping.iGroupsLeft;
    const int n = grouping.iNrVerticesIn;
    uint32_t aiHashes[kHashesAhead];
    for (int i = 0; i < kHashesAhead; i++) {
        bool bSpecial;
        aiHashes[i] = HashVertex(grouping.Vertex(i), grouping.iFloatsPerVert, &bSpecial);
        if (bSpecial)
            return false;
    }
    for (int i = 0; i < n; i++) {
        const uint32_t iHash = aiHashes[i % kHashesAhead];
        if (i + kHashesAhead < n) {
            bool bSpecial;
            const uint32_t iHashAhead =
                HashVertex(grouping.Vertex(i + kHashesAhead), grouping.iFloatsPerVert, &bSpecial);
            if (bSpecial)
                return false;
            aiHashes[i % kHashesAhead] = iHashAhead;
            __builtin_prefetch(grouping.Bucket(iHashAhead));
        }
        if (i + kHashesAhead / 2 < n) {
            const int iHead = *grouping.Bucket(aiHashes[(i + kHashesAhead / 2) % kHashesAhead]);
            if (iHead >= 0)
                __builtin_prefetch(grouping.Vertex(iHead));
        }
        if (!AddVertex(grouping, i, iHash, grouping.iFloatsPerVert))
            return false;
    }
    *piNrGroups = iMaxGroups - grouping.iGroupsLeft;
    return true;
}

int GroupEqualVertices(int* piRemapTable, int* piBuckets, const float* pfVertexDataIn,
                       int iNrVerticesIn, int iFloatsPerVert, int iMaxGroups) {
    memset(piBuckets, 0xff, (size_t)iNrVerticesIn * sizeof(int));
    const int iMaxSteps =
        iNrVerticesIn > INT_MAX / kMaxStepsPerVertex ? INT_MAX : kMaxStepsPerVertex * iNrVerticesIn;
    const Grouping grouping = {piRemapTable,  piBuckets,      (const FloatBits*)pfVertexDataIn,
                               iNrVerticesIn, iFloatsPerVert, iMaxGroups,
                               iMaxSteps};
    int iNrGroups = -1;
    if (iNrVerticesIn >= kMinVerticesToPrefetch) {
        AddVerticesPrefetching(grouping, &iNrGroups);
        return iNrGroups;
    }
    switch (iFloatsPerVert) {
    case 1:
        AddVertices<1>(grouping, &iNrGroups);
        break;
    case 2:
        AddVertices<2>(grouping, &iNrGroups);
        break;
    case 3:
        AddVertices<3>(grouping, &iNrGroups);
        break;
    case 4:
        AddVertices<4>(grouping, &iNrGroups);
        break;
    case 5:
        AddVertices<5>(grouping, &iNrGroups);
        break;
    case 6:
        AddVertices<6>(grouping, &iNrGroups);
        break;
    case 8:
        AddVertices<8>(grouping, &iNrGroups);
        break;
    default:
        AddVertices<0>(grouping, &iNrGroups);
    }
    return iNrGroups;
}

void ExpandGroups(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
                  int iNrVerticesIn, int iFloatsPerVert) {
    for (int i = 0; i < iNrVerticesIn; i++) {
        const int iEntry = piRemapTable[i];
        if (iEntry < 0)
            piRemapTable[i] = piRemapTable[iEntry & INT_MAX];
        else
            CopyVertex(&pfVertexDataOut[(size_t)iEntry * iFloatsPerVert],
                       &pfVertexDataIn[(size_t)i * iFloatsPerVert], iFloatsPerVert);
    }
}
