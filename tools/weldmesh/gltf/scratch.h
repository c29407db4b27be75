// Large scratch arrays for the weld, and the two-thread split that fills and welds them.
#ifndef WELDMESH_GLTF_SCRATCH_H
#define WELDMESH_GLTF_SCRATCH_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>

namespace gltf {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using MallocArray = std::unique_ptr<T[], FreeDeleter>;

// Uninitialised on purpose: the welder's output array needs room for every vertex but is
// written only as far as the distinct ones reach, and pages never touched cost no memory. No
// huge pages: where memory is fragmented, as after other large programs ran, the kernel stalls
// compacting it to hand them out, which costs more than the faults they save. Throws
// std::bad_alloc, which the contained run reports as running out of memory.
template <typename T> MallocArray<T> allocate(size_t count) {
    if (count > SIZE_MAX / sizeof(T))
        throw std::bad_alloc();
    T* p = static_cast<T*>(std::malloc(std::max<size_t>(count, 1) * sizeof(T)));
    if (!p)
        throw std::bad_alloc();
    return MallocArray<T>(p);
}

// Hands back the pages of [begin, end) of `data` (counted in elements) that lie wholly inside
// it: memory the caller no longer reads but still owns.
template <typename T> void release_tail(T* data, size_t begin, size_t end) {
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (uintptr_t(data + begin) + page - 1) & ~(page - 1);
    const uintptr_t last = uintptr_t(data + end) & ~(page - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

// Below this many vertices a second thread costs more than it saves.
const size_t kHalvesFrom = 65536;

// Runs f(begin, end, half) on the two halves of [0, count) at once, on this thread and one more,
// or f(0, count, 0) where the range is too small to gain from that.
template <typename F> void on_halves(size_t count, F f) {
    if (count < kHalvesFrom) {
        f(size_t(0), count, 0);
        return;
    }
    const size_t half = count / 2;
    std::thread other(f, half, count, 1);
    f(size_t(0), half, 0);
    other.join();
}

} // namespace gltf

#endif
