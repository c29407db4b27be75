// Every call that must return 0 without touching the caller's arrays, and the weld's heap calls.
#include "heap_log.h"
#include "weld_test_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

int WeldWithFailingHeap(int* remap, float* out, const float* in, int n, int channels) {
    ScopedHeapLog log(0);
    return WeldMesh(remap, out, in, n, channels);
}

int WeldWithCountedHeap(int* remap, float* out, const float* in, int n, int channels) {
    ScopedHeapLog log;
    return WeldMesh(remap, out, in, n, channels);
}

const int kNone = -1;

// The three arrays are carved out of one word buffer at the given word offsets (kNone for a
// null pointer), so that any overlap between them can be laid out.
struct RejectedCall {
    const char* name;
    int vertexCount;
    int floatsPerVert;
    int remapOffset;
    int outOffset;
    int inOffset;
};

const int kBufferWords = 64;

struct CallBuffer {
    std::vector<uint32_t> words;

    CallBuffer() : words(kBufferWords) {
        for (int w = 0; w < kBufferWords; w++)
            words[w] = Bits(float(w % 5));
    }
    void* At(int offset) { return offset == kNone ? nullptr : &words[offset]; }
    int Weld(const RejectedCall& call, WeldFunction weld = WeldMesh) {
        return weld(
            static_cast<int*>(At(call.remapOffset)), static_cast<float*>(At(call.outOffset)),
            static_cast<const float*>(At(call.inOffset)), call.vertexCount, call.floatsPerVert);
    }
};

std::vector<RejectedCall> RejectedCalls() {
    // Four vertices of two floats: 8 words per vertex array and 4 remap words.
    std::vector<RejectedCall> calls = {
        {"NoVertices", 0, 2, 0, 16, 32},
        {"NegativeVertexCount", -1, 2, 0, 16, 32},
        {"IntMinVertexCount", INT_MIN, 2, 0, 16, 32},
        {"NoFloatsPerVertex", 4, 0, 0, 16, 32},
        {"NegativeFloatsPerVertex", 4, -3, 0, 16, 32},
        {"IntMinFloatsPerVertex", 4, INT_MIN, 0, 16, 32},
        // The sizes are refused before any array is touched, so small arrays serve.
        {"FloatCountOverflowsInt", 1 << 30, 2, 0, 16, 32},
        {"FloatCountWrapsToZero", 65536, 65536, 0, 16, 32},
        {"FloatCountWrapsToSmallCount", 65537, 65537, 0, 16, 32},
        {"MaxVertexCountTwoFloats", INT_MAX, 2, 0, 16, 32},
        {"NullRemapTable", 4, 2, kNone, 16, 32},
        {"NullOutput", 4, 2, 0, kNone, 32},
        {"NullInput", 4, 2, 0, 16, kNone},
        {"InPlace", 4, 2, 0, 16, 16},
        {"OutputEndOverlapsInputStart", 4, 2, 0, 9, 16},
        {"OutputStartOverlapsInputEnd", 4, 2, 0, 23, 16},
        {"RemapTableInsideInput", 4, 2, 18, 0, 16},
        {"RemapTableOverlapsInputEnd", 4, 2, 23, 0, 16},
        {"RemapTableOverlapsOutputStart", 4, 2, 13, 16, 32},
        {"RemapTableIsOutput", 4, 2, 16, 16, 32},
    };
    // 2^30 floats fit an int but their 4 GiB do not fit a 32-bit address space.
    if (sizeof(size_t) == 4)
        calls.push_back({"ByteCountOverflowsSizeT", 1 << 30, 1, 0, 16, 32});
    return calls;
}

class WeldRejects : public testing::TestWithParam<RejectedCall> {};

TEST_P(WeldRejects, ReturnsZeroTouchingAndAllocatingNothing) {
    CallBuffer buffer;
    const std::vector<uint32_t> before = buffer.words;
    const int result = buffer.Weld(GetParam(), WeldWithCountedHeap);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(buffer.words, before);
    EXPECT_EQ(RecordedHeapCalls().allocations, 0);
}

INSTANTIATE_TEST_SUITE_P(Weld, WeldRejects, testing::ValuesIn(RejectedCalls()),
                         [](const testing::TestParamInfo<RejectedCall>& info) {
                             return info.param.name;
                         });

TEST(WeldAccepts, ArraysThatTouchWithoutOverlapping) {
    CallBuffer buffer;
    const int result = buffer.Weld({"BackToBack", 4, 2, 16, 0, 8});
    EXPECT_GE(result, 1);
}

const std::vector<float> kWorkedExample = {1, 2, 3, 0, 0, 0, 1, 2, 3, -0.0f, 0, 0, 5, 1, 1};

TEST(WeldHeap, FailedAllocationReturnsZeroAndLeavesTheArraysAlone) {
    const WeldRun run = RunWeld(kWorkedExample, 3, WeldWithFailingHeap);
    EXPECT_EQ(RecordedHeapCalls().allocations, 1);
    EXPECT_EQ(run.unique, 0);
    EXPECT_EQ(run.remap, std::vector<int>(5, kUntouchedRemap));
    ExpectUntouchedTail(run, 3);
}

TEST(WeldHeap, UsesOneBlockAndFreesIt) {
    const WeldRun run = RunWeld(kWorkedExample, 3, WeldWithCountedHeap);
    const HeapLog& heap = RecordedHeapCalls();
    EXPECT_EQ(run.unique, 3);
    ASSERT_EQ(heap.allocations, 1);
    ASSERT_EQ(heap.frees, 1);
    EXPECT_EQ(heap.calls[1].block, heap.calls[0].block);
}

} // namespace
