// The heap calls of the code under test, seen through malloc and free wrapped at link time: a
// program that links heap_log gets -Wl,--wrap=malloc -Wl,--wrap=free, so that the calls the
// libraries make pass through here. They are recorded, and failed on request, while a
// ScopedHeapLog lives; the test framework's own allocations do not come this way.
#ifndef VERTEX_WELD_TESTS_HEAP_LOG_H
#define VERTEX_WELD_TESTS_HEAP_LOG_H

#include <cstddef>

struct HeapCall {
    bool isAllocation;
    size_t size; // what was asked for; allocations only
    void* block; // what malloc returned, or what free was given (never NULL)
};

const int kMaxHeapCalls = 16;

struct HeapLog {
    int allocations = 0;
    int frees = 0;
    int nrKept = 0; // the first calls, in order
    HeapCall calls[kMaxHeapCalls];
};

const int kNoFailure = -1;

// Records the heap calls made while it lives; the allocation numbered failAt, counting from 0,
// returns NULL.
class ScopedHeapLog {
  public:
    explicit ScopedHeapLog(int failAt = kNoFailure);
    ~ScopedHeapLog();
    ScopedHeapLog(const ScopedHeapLog&) = delete;
    ScopedHeapLog& operator=(const ScopedHeapLog&) = delete;
};

// The calls of the last ScopedHeapLog, or of the one alive.
const HeapLog& RecordedHeapCalls();

#endif
