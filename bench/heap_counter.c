/* Replaces the C allocation functions of the whole program, libraries included, with ones that
 * keep a running total of the bytes live. glibc's own entry points do the allocating. The program
 * allocates from one thread only, so the totals need no locking. */
#include "heap_counter.h"

#include <errno.h>
#include <malloc.h>
#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* block);

static long long liveBytes;
static long long peakBytes;
static long long restartBytes;

static void* Counted(void* block) {
    if (block != NULL) {
        liveBytes += (long long)malloc_usable_size(block);
        if (liveBytes > peakBytes)
            peakBytes = liveBytes;
    }
    return block;
}

static void Uncount(void* block) {
    if (block != NULL)
        liveBytes -= (long long)malloc_usable_size(block);
}

void HeapCounterRestart(void) {
    restartBytes = liveBytes;
    peakBytes = liveBytes;
}

long long HeapCounterPeakGrowth(void) {
    return peakBytes - restartBytes;
}

void* malloc(size_t size) {
    return Counted(__libc_malloc(size));
}

void* calloc(size_t count, size_t size) {
    return Counted(__libc_calloc(count, size));
}

void* realloc(void* block, size_t size) {
    Uncount(block);
    void* moved = __libc_realloc(block, size);
    /* A failed resize leaves the old block in place. */
    if (moved == NULL && size != 0) {
        Counted(block);
        return NULL;
    }
    return Counted(moved);
}

void* memalign(size_t alignment, size_t size) {
    return Counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** block, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* aligned = memalign(alignment, size);
    if (aligned == NULL)
        return ENOMEM;
    *block = aligned;
    return 0;
}

void free(void* block) {
    Uncount(block);
    __libc_free(block);
}
