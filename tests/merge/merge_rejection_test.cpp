// Every call that must return 0 without touching the caller's arrays, and the merge's heap calls:
// WeldMesh's block, freed, then one block of its own, each failed in turn.
#include "heap_log.h"
#include "merge_test_util.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const int kNone = -1;

// Where the three arrays start in one word buffer (kNone for a null pointer), so that an overlap
// between them can be laid out; four vertices of up to six floats fit each.
struct Layout {
    int remapOffset;
    int outOffset;
    int inOffset;
};

const Layout kApart = {0, 16, 40};
const int kBufferWords = 64;

struct RejectedMerge {
    const char* name;
    int vertexCount;
    int floatsPerVert;
    int positionFloats;
    float distance;
    std::vector<float> tolerances; // passed as NULL where empty
    int nrTolerances;
    Layout layout;
};

void PrintTo(const RejectedMerge& call, std::ostream* os) {
    *os << call.name;
}

struct CallBuffer {
    std::vector<uint32_t> words;

    CallBuffer() : words(kBufferWords) {
        for (int w = 0; w < kBufferWords; w++)
            words[w] = Bits(float(w % 5));
    }
    void* At(int offset) { return offset == kNone ? nullptr : &words[offset]; }
    int Merge(const RejectedMerge& call) {
        ScopedHeapLog log;
        return MergeCloseVertices(
            static_cast<int*>(At(call.layout.remapOffset)),
            static_cast<float*>(At(call.layout.outOffset)),
            static_cast<const float*>(At(call.layout.inOffset)), call.vertexCount,
            call.floatsPerVert, call.positionFloats, call.distance,
            call.tolerances.empty() ? nullptr : call.tolerances.data(), call.nrTolerances);
    }
};

const RejectedMerge kRejectedMerges[] = {
    {"NoPositionFloats", 4, 4, 0, 1.0f, {}, 0, kApart},
    {"NegativePositionFloats", 4, 4, -1, 1.0f, {}, 0, kApart},
    {"IntMinPositionFloats", 4, 4, INT_MIN, 1.0f, {}, 0, kApart},
    {"MorePositionFloatsThanFloats", 4, 4, 5, 1.0f, {}, 0, kApart},
    {"NoFloatsPerVertex", 4, 0, 1, 1.0f, {}, 0, kApart},
    {"IntMinFloatsPerVertex", 4, INT_MIN, 1, 1.0f, {}, 0, kApart},
    {"NegativeDistance", 4, 4, 2, -1.0f, {}, 0, kApart},
    {"SmallestNegativeDistance", 4, 4, 2, -FLT_TRUE_MIN, {}, 0, kApart},
    {"NegativeInfiniteDistance", 4, 4, 2, -kInf, {}, 0, kApart},
    {"NaNDistance", 4, 4, 2, kNaN, {}, 0, kApart},
    {"NegativeTolerance", 4, 4, 2, 1.0f, {-0.5f}, 1, kApart},
    {"NegativeToleranceOfTheLastComponent", 4, 4, 2, 1.0f, {0.5f, -0.5f}, 2, kApart},
    {"NaNTolerance", 4, 4, 2, 1.0f, {kNaN}, 1, kApart},
    {"NaNToleranceOfTheLastComponent", 4, 4, 2, 1.0f, {0.5f, kNaN}, 2, kApart},
    {"NegativeInfiniteTolerance", 4, 4, 2, 1.0f, {-kInf}, 1, kApart},
    {"NegativeToleranceCount", 4, 4, 2, 1.0f, {0.5f}, -1, kApart},
    {"ToleranceCountBetweenOneAndEach", 4, 5, 1, 1.0f, {0.5f, 0.5f}, 2, kApart},
    {"ToleranceCountAboveEach", 4, 4, 2, 1.0f, {0.5f, 0.5f, 0.5f}, 3, kApart},
    {"ToleranceCountWithoutOtherComponents", 4, 4, 4, 1.0f, {0.5f, 0.5f}, 2, kApart},
    {"NullToleranceForAll", 4, 4, 2, 1.0f, {}, 1, kApart},
    {"NullTolerancesForEach", 4, 4, 2, 1.0f, {}, 2, kApart},
    // What WeldMesh refuses.
    {"NoVertices", 0, 4, 2, 1.0f, {}, 0, kApart},
    {"NegativeVertexCount", -1, 4, 2, 1.0f, {}, 0, kApart},
    {"NullRemapTable", 4, 4, 2, 1.0f, {}, 0, {kNone, 16, 40}},
    {"NullOutput", 4, 4, 2, 1.0f, {}, 0, {0, kNone, 40}},
    {"NullInput", 4, 4, 2, 1.0f, {}, 0, {0, 16, kNone}},
    {"InPlace", 4, 4, 2, 1.0f, {}, 0, {0, 16, 16}},
    {"OutputOverlapsInput", 4, 4, 2, 1.0f, {}, 0, {0, 16, 30}},
    {"RemapTableInsideInput", 4, 4, 2, 1.0f, {}, 0, {44, 16, 40}},
};

class MergeRejects : public testing::TestWithParam<RejectedMerge> {};

TEST_P(MergeRejects, ReturnsZeroTouchingAndAllocatingNothing) {
    CallBuffer buffer;
    const std::vector<uint32_t> before = buffer.words;
    EXPECT_EQ(buffer.Merge(GetParam()), 0);
    EXPECT_EQ(buffer.words, before);
    EXPECT_EQ(RecordedHeapCalls().allocations, 0);
}

INSTANTIATE_TEST_SUITE_P(Merge, MergeRejects, testing::ValuesIn(kRejectedMerges),
                         [](const testing::TestParamInfo<RejectedMerge>& info) {
                             return info.param.name;
                         });

// Vertices in clusters of a few, each component of a cluster within a third of the radii asked
// for below, so that some of them merge.
std::vector<float> ClusteredVertices(int n, int floats, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> cluster(0, n / 4);
    std::uniform_real_distribution<float> offset(0.0f, 0.3f);
    std::vector<float> values;
    for (int i = 0; i < n; i++) {
        const int c = cluster(rng);
        for (int k = 0; k < floats; k++)
            values.push_back(float((c * (k + 3)) % 17) + offset(rng));
    }
    return values;
}

const MergeParams kClusterParams = {8, 3, 0.5f, {0.5f, 0.5f, 0.25f, 0.25f, 1.0f}};

WeldRun MergeWithHeapLog(const std::vector<float>& in, const MergeParams& params, int failAt) {
    ScopedHeapLog log(failAt);
    return RunMerge(in, params);
}

struct HeapCase {
    const char* name;
    MergeParams params;
    std::vector<float> in;
};

void PrintTo(const HeapCase& c, std::ostream* os) {
    *os << c.name;
}

class MergeHeap : public testing::TestWithParam<HeapCase> {};

// The bound of the contract: 16 bytes per distinct vertex and 48 per component.
TEST_P(MergeHeap, WeldsBlockFreedThenOneBlockWithinItsBound) {
    const HeapCase& c = GetParam();
    const int n = int(c.in.size()) / c.params.floatsPerVert;
    const int distinct = RunWeld(c.in, c.params.floatsPerVert).unique;
    const WeldRun run = MergeWithHeapLog(c.in, c.params, kNoFailure);
    const HeapLog& heap = RecordedHeapCalls();
    ASSERT_GE(run.unique, 1);
    ASSERT_EQ(heap.allocations, 2);
    ASSERT_EQ(heap.frees, 2);
    EXPECT_TRUE(heap.calls[0].isAllocation);
    EXPECT_EQ(heap.calls[0].size, sizeof(int) * size_t(n));
    EXPECT_FALSE(heap.calls[1].isAllocation);
    EXPECT_EQ(heap.calls[1].block, heap.calls[0].block);
    EXPECT_TRUE(heap.calls[2].isAllocation);
    EXPECT_LE(heap.calls[2].size, 16 * size_t(distinct) + 48 * size_t(c.params.floatsPerVert));
    EXPECT_FALSE(heap.calls[3].isAllocation);
    EXPECT_EQ(heap.calls[3].block, heap.calls[2].block);
}

const HeapCase kHeapCases[] = {
    {"OneVertex", {1, 1, 1.0f, {}}, {3.0f}},
    {"AllAtOnePosition", {3, 3, 1.0f, {}}, std::vector<float>(300, 2.0f)},
    {"TwoDistinctVertices", {2, 1, 1.0f, {0.5f}}, {0.0f, 0.0f, 0.0f, 0.0f, 5.0f, 5.0f}},
    {"Clusters", kClusterParams, ClusteredVertices(1000, 8, 1)},
    {"TwentyFloatsWithATolerance", {20, 3, 0.5f, {0.25f}}, ClusteredVertices(500, 20, 2)},
};

INSTANTIATE_TEST_SUITE_P(Merge, MergeHeap, testing::ValuesIn(kHeapCases),
                         [](const testing::TestParamInfo<HeapCase>& info) {
                             return info.param.name;
                         });

TEST(MergeHeapCalls, EqualityAsksForNoBlockBeyondTheWelds) {
    const std::vector<float> in = ClusteredVertices(100, 8, 3);
    const WeldRun run = MergeWithHeapLog(in, {8, 3, 0.0f, {0.0f}}, kNoFailure);
    EXPECT_GE(run.unique, 1);
    EXPECT_EQ(RecordedHeapCalls().allocations, 1);
    EXPECT_EQ(RecordedHeapCalls().frees, 1);
}

TEST(MergeHeapCalls, FailedWeldBlockReturnsZeroAndWritesNothing) {
    const std::vector<float> in = ClusteredVertices(100, 8, 4);
    const WeldRun run = MergeWithHeapLog(in, kClusterParams, 0);
    EXPECT_EQ(RecordedHeapCalls().allocations, 1);
    EXPECT_EQ(run.unique, 0);
    EXPECT_EQ(run.remap, std::vector<int>(100, kUntouchedRemap));
    ExpectUntouchedTail(run, kClusterParams.floatsPerVert);
}

TEST(MergeHeapCalls, FailedWorkBlockReturnsZeroAndFreesTheWeldsBlock) {
    const std::vector<float> in = ClusteredVertices(100, 8, 5);
    const WeldRun run = MergeWithHeapLog(in, kClusterParams, 1);
    const HeapLog& heap = RecordedHeapCalls();
    EXPECT_EQ(run.unique, 0);
    EXPECT_EQ(heap.allocations, 2);
    ASSERT_EQ(heap.frees, 1);
    EXPECT_EQ(heap.calls[1].block, heap.calls[0].block);
}

// WeldMesh takes one vertex of this many floats on a 32-bit target, but the merge's 48 bytes
// per component would pass the address space: the block cannot be counted, let alone allocated.
TEST(MergeHeapCalls, VertexTooWideForTheWorkBlockOnA32BitTarget) {
    if (sizeof(size_t) > 4)
        GTEST_SKIP() << "a 64-bit size counts any block of a vertex";
    const int floats = int(SIZE_MAX / 40);
    const std::vector<float> in(floats, 1.0f);
    std::vector<float> out(floats);
    int remap = kUntouchedRemap;
    const float tolerance = 1.0f;
    const int result =
        MergeCloseVertices(&remap, out.data(), in.data(), 1, floats, 3, 1.0f, &tolerance, 1);
    EXPECT_TRUE(result == 0 || (result == 1 && remap == 0 && out == in));
}

} // namespace
