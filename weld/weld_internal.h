// What the weld's passes share. Every function here is internal to the library: the object that
// ships makes WeldMesh its only global symbol.
//
// The one heap block and the caller's arrays are reused from pass to pass, each word with the
// meaning its pass gives it, and read and written through the helper named for that meaning:
//
// | pass                    | remap table               | work array          | output           |
// |-------------------------|---------------------------|---------------------|------------------|
// | GroupEqualVertices      | leader: the next leader   | bucket heads: each  | the leader list: |
// |                         | in its bucket's chain     | bucket's first      | leaders' vertex  |
// |                         | (NextInChain) or          | leader, or          | indices, a word  |
// |                         | kChainEnd; follower:      | kChainEnd           | each             |
// |                         | FollowerEntry, LeaderOf   |                     |                  |
// | RankGroups              | leader: free, then its    | sort arrays: IDs    | more sort arrays |
// |                         | rank; follower: unchanged | (RunStart marks,    | or keys, then    |
// |                         |                           | VertexID), keys     | the leaders      |
// | RankGroupsInFirstCome-  | leader: its rank          | unused              | the leaders      |
// | Order                   |                           |                     |                  |
// | PointFollowersAtLeaders | every entry: the rank of  | unused              | unchanged        |
// |                         | its group                 |                     |                  |
// | MergeVertsFast: split   | the current channel's     | vertex IDs, the     | unused           |
// |                         | value at each position    | first of each run   |                  |
// |                         | (ChannelValue); in a      | marked RunStart     |                  |
// |                         | mixed run, regrouping keys|                     |                  |
// | MergeVertsFast: merge   | the rank of each vertex's | read                | one vertex per   |
// |                         | run                       |                     | run              |
//
// Assertions whose expression text is part of the report ("iCount>0") are written as the report
// must print them, without the spaces clang-format would add: each stands between clang-format
// off and on comments.
#ifndef VERTEX_WELD_WELD_INTERNAL_H
#define VERTEX_WELD_WELD_INTERNAL_H

#include <limits.h>
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Vertex values read as their bits.
typedef uint32_t __attribute__((__may_alias__)) FloatBits;

static const uint32_t kSignBit = 0x80000000u;
static const uint32_t kExponentBits = 0x7f800000u; // all set: an infinity or a NaN

static inline bool IsNaN(uint32_t iBits) {
    return (iBits & 0x7fffffffu) > kExponentBits;
}

static inline bool IsInfinityOrNaN(uint32_t iBits) {
    return (iBits & kExponentBits) == kExponentBits;
}

// Unsigned order equals value order for floats that are not NaN: the magnitude counted up or
// down from the middle of the range by the sign, so that -0 is keyed as +0.
static inline uint32_t OrderKey(uint32_t iBits) {
    const uint32_t iMagnitude = iBits & 0x7fffffffu;
    const uint32_t iNegative = (uint32_t)((int32_t)iBits >> 31);
    return 0x80000000u + ((iMagnitude ^ iNegative) - iNegative);
}

// Sets iCount words to iValue with vector stores where the target has them. memset fills large
// blocks with a string instruction, which is several times slower on some processors when the
// block is read right after; the empty statements keep the compiler from calling it anyway.
static inline void FillWords(uint32_t* piWords, uint32_t iValue, int iCount) {
    int i = 0;
#if defined(__SSE2__)
    __m128i vValue = _mm_set1_epi32((int)iValue);
    for (; i + 4 <= iCount; i += 4) {
        __asm__("" : "+x"(vValue));
        _mm_storeu_si128((__m128i*)&piWords[i], vValue);
    }
#endif
    for (; i < iCount; i++) {
        __asm__("" : "+r"(iValue));
        piWords[i] = iValue;
    }
}

// Vertices are read in the order of the work array, which is random in memory: ask for them this
// many positions ahead so that the reads overlap.
static const int kPrefetchDistance = 16;

// Copies bits, never values: a float load and store could quiet a signalling NaN. Fixed-size
// pieces are copied inline, as a library call per vertex costs more than the copy.
static inline void CopyVertex(float* pfOut, const float* pfIn, int iFloatsPerVert) {
    int c = 0;
    for (; c <= iFloatsPerVert - 4; c += 4)
        memcpy(&pfOut[c], &pfIn[c], 4 * sizeof(float));
    for (; c < iFloatsPerVert; c++)
        memcpy(&pfOut[c], &pfIn[c], sizeof(float));
}

// The vertex size as a constant of the compiler where it is one of the common sizes, so that loops
// over the channels unroll and vertices are addressed without a multiplication; 0 for any other.
template <int kSize> struct VertexSize { static const int kFloatsPerVert = kSize; };

// Calls pass(VertexSize<n>()) for the vertex size n where it is a common one, else with
// VertexSize<0>: the one dispatch on the vertex size of every pass that is compiled per size.
template <typename Pass> static inline auto WithVertexSize(int iFloatsPerVert, const Pass& pass) {
    switch (iFloatsPerVert) {
    case 1:
        return pass(VertexSize<1>());
    case 2:
        return pass(VertexSize<2>());
    case 3:
        return pass(VertexSize<3>());
    case 4:
        return pass(VertexSize<4>());
    case 5:
        return pass(VertexSize<5>());
    case 6:
        return pass(VertexSize<6>());
    case 8:
        return pass(VertexSize<8>());
    default:
        return pass(VertexSize<0>());
    }
}

// Grouping's remap entries. A leader's entry links it to the next leader in its bucket, a
// follower's names its leader with the top bit set.
static const int kChainEnd = -1; // the end of a bucket's chain, and an empty bucket
static const int kFollowerFlag = INT_MIN;
static inline int FollowerEntry(int iLeader) {
    return kFollowerFlag | iLeader;
}
static inline bool IsFollower(int iRemapEntry) {
    return iRemapEntry < kChainEnd;
}
static inline int LeaderOf(int iFollowerEntry) {
    return iFollowerEntry & INT_MAX;
}

// Vertex IDs in the sort's and the split's arrays: the top bit marks the first position of a run.
static const uint32_t kRunStart = 0x80000000u;
static inline uint32_t RunStart(uint32_t iID) {
    return iID | kRunStart;
}
static inline bool IsRunStart(uint32_t iEntry) {
    return (iEntry & kRunStart) != 0;
}
static inline uint32_t VertexID(uint32_t iEntry) {
    return iEntry & ~kRunStart;
}

// Grouping: on return, the remap entries hold the groups as the table above says, and the
// output's first words list the leaders in vertex order. Returns the number of groups, or
// kGroupingFailed where the data takes another road: with kFiniteValues, an infinity, a NaN or
// members of a group that differ in the sign of a zero; a hash that spreads the data badly. Only
// the output's first words up to the number of distinct vertices are written, whatever the
// outcome: groups found before a failure are distinct in value too.
// piBuckets: iNrVerticesIn ints of scratch.
enum GroupedValues {
    kFiniteValues, // members of a group must be bit-identical
    kAnyValues     // a group is led by its first member; a vertex with a NaN joins no group
};
static const int kGroupingFailed = -1;
int GroupEqualVertices(int* piRemapTable, int* piBuckets, float* pfVertexDataOut,
                       const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert,
                       GroupedValues values);

// Writes each leader's rank in the order of first occurrence to its remap entry, and copies the
// leader to the output at its rank.
void RankGroupsInFirstComeOrder(int* piRemapTable, float* pfVertexDataOut,
                                const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert);

// How a call welds data that grouping by bits could not weld.
enum WeldPlan {
    kSortGroupsOfBits,   // grouping by bits worked: its groups, sorted, give the split's result
    kExactSplit,         // only the exact split gives the result
    kFirstComeByValues,  // no channel splits the whole range: one run, merged first come first
                         // served
    kSortGroupsByValues, // NaNs or both infinities in one channel: no order is promised, the
                         // sorted one is given
};
WeldPlan ChooseWeldPlan(const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert);

// Writes each leader's rank in the lexicographic order of the leaders' vertices to its remap
// entry, and copies the leader to the output at its rank. Takes the leaders' indices from the
// output's first iNrGroups words, where grouping left them. Scratch: the work array and the
// output's first iNrGroups vertices.
void RankGroups(int* piRemapTable, int* piWork, float* pfVertexDataOut, const float* pfVertexDataIn,
                int iNrVerticesIn, int iFloatsPerVert, int iNrGroups);

// Once the leaders are ranked: points every follower's remap entry at its leader's rank.
void PointFollowersAtLeaders(int* piRemapTable, int iNrVerticesIn);

// The exact split and merge over the whole vertex range: piVertexIDs holds 0 .. n - 1 on entry,
// the remap table serves as scratch until the merge fills it. Returns the number of distinct
// vertices.
int MergeVertsFast(int piRemapTable[], float pfVertexDataOut[], int piVertexIDs[],
                   const float pfVertexDataIn[], int iFloatsPerVert, int iNrVerticesIn);

#endif
