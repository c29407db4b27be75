#include "heap_log.h"

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* block);

namespace {

struct HeapRecorder {
    bool armed = false;
    int failAt = kNoFailure;
    HeapLog log;

    void Keep(const HeapCall& call) {
        if (log.nrKept < kMaxHeapCalls)
            log.calls[log.nrKept++] = call;
    }
};

HeapRecorder g_recorder;

} // namespace

ScopedHeapLog::ScopedHeapLog(int failAt) {
    g_recorder = HeapRecorder();
    g_recorder.failAt = failAt;
    g_recorder.armed = true;
}

ScopedHeapLog::~ScopedHeapLog() {
    g_recorder.armed = false;
}

const HeapLog& RecordedHeapCalls() {
    return g_recorder.log;
}

extern "C" void* __wrap_malloc(size_t size) {
    if (!g_recorder.armed)
        return __real_malloc(size);
    const bool fails = g_recorder.log.allocations++ == g_recorder.failAt;
    void* block = fails ? nullptr : __real_malloc(size);
    g_recorder.Keep({true, size, block});
    return block;
}

extern "C" void __wrap_free(void* block) {
    if (g_recorder.armed && block != nullptr) {
        g_recorder.log.frees++;
        g_recorder.Keep({false, 0, block});
    }
    __real_free(block);
}
