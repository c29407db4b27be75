// What the weld's passes share. Every function here is internal to the library: the archive
// exports WeldMesh alone.
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

// Grouping: on return, the remap entry of a group's first vertex (its leader) is free, that of
// every other member is kFollowerFlag | the leader's index, and the output's first words hold the
// leaders' indices in vertex order, one word each. Returns the number of groups, or
// kGroupingFailed where the data takes another road: with kFiniteValues, an infinity, a NaN or
// members of a group that differ in the sign of a zero; a hash that spreads the data badly. Only
// the output's first words up to the number of distinct vertices are written, whatever the outcome:
// groups found before a failure are distinct in value too. piBuckets: iNrVerticesIn ints of
// scratch.
enum GroupedValues {
    kFiniteValues, // members of a group must be bit-identical
    kAnyValues     // a group is led by its first member; a vertex with a NaN joins no group
};
static const int kGroupingFailed = -1;
static const int kFollowerFlag = INT_MIN;
static inline bool IsFollower(int iRemapEntry) {
    return iRemapEntry < -1; // a leader's entry may hold -1, the end of its bucket's chain
}
int GroupEqualVertices(int* piRemapTable, int* piBuckets, float* pfVertexDataOut,
                       const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert,
                       GroupedValues values);

// Writes each leader's rank in the order of first occurrence to its remap entry, and copies the
// leader to the output at its rank.
void RankGroupsInFirstComeOrder(int* piRemapTable, float* pfVertexDataOut,
                                const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert);

// What orders data that grouping by bits could not weld.
enum WeldOrder {
    kSplitOrder,     // only the exact split gives it
    kFirstComeOrder, // no channel splits the whole range: one run, merged first come first served
    kSortedOrder     // NaNs or both infinities in one channel: no order is promised, the sorted
                     // one is given
};
WeldOrder ChooseWeldOrder(const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert);

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
