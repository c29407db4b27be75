// The weld key: a primitive's attribute bytes turned into the floats WeldMesh compares, so that
// two vertices weld exactly when all their bytes are equal. It knows nothing of glTF's document:
// only where each attribute's elements lie.
#ifndef WELDMESH_GLTF_WELD_KEY_H
#define WELDMESH_GLTF_WELD_KEY_H

#include "scratch.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace gltf {

// A set of at most 512 distinct 32-bit patterns, each numbered by when it was added, found in
// constant time whatever the patterns are.
class PatternTable {
  public:
    static const size_t kNotFound = SIZE_MAX;
    static const size_t kCapacity = 512;

    PatternTable() : numbers_() {}
    // The pattern's number, or kNotFound.
    size_t find(uint32_t bits) const;
    // Adds a pattern not yet in the table; false when it is full.
    bool add(uint32_t bits);
    size_t size() const { return size_; }

  private:
    static const size_t kSlots = 2048;
    static size_t slot_of(uint32_t bits) { return (bits * 0x9E3779B1u) >> 21; }
    uint32_t patterns_[kSlots];
    uint16_t numbers_[kSlots]; // a pattern's number + 1; 0 for a free slot
    size_t size_ = 0;
};

// Where one attribute's elements lie.
struct KeySource {
    const uint8_t* data = nullptr; // element i at data + i * stride; null: every element is zero
    size_t stride = 0;
    size_t elementSize = 0; // at most kMaxElementSize
    // Elements replaced by others (a sparse accessor): `sparseCount` ascending indices of
    // `sparseIndexSize` bytes each, and their elements, tightly packed.
    const uint8_t* sparseIndices = nullptr;
    size_t sparseIndexSize = 0;
    const uint8_t* sparseValues = nullptr;
    size_t sparseCount = 0;
};

const size_t kMaxElementSize = 64; // a MAT4 of floats

// WeldMesh compares floats, which is comparing bits but for -0 (equal to +0) and NaN (equal to
// nothing). So the 4-byte words of an attribute go in as floats, each -0 or NaN pattern among
// them replaced by a stand-in: one of the 256 largest finite floats that the attribute does not
// hold. Attributes whose elements are not whole words, or that hold more such patterns than
// there are stand-ins free, go in as 16-bit pieces, each an exact small float.
struct KeyChannel {
    bool words = true;
    size_t floats = 0;              // key floats per element
    size_t column = 0;              // the first of them in a key row
    std::vector<uint32_t> specials; // the -0 and NaN patterns the attribute holds
    std::vector<uint32_t> standIns; // and what stands for each in the key, ascending
    PatternTable specialIndex;      // each special's place in `specials`
};

class WeldKey {
  public:
    // Plans the key of `count` vertices, one channel per source, in order: reads each source
    // for the patterns it holds, and calls `read(s)` after source s, so that its pages can be
    // handed back before the next is read.
    WeldKey(const std::vector<KeySource>& sources, size_t count,
            const std::function<void(size_t source)>& read);

    // Allocates the key rows and copies every source in, calling `read(s)` after each.
    // Throws std::bad_alloc.
    void fill(const std::function<void(size_t source)>& read);

    size_t floats_per_vertex() const { return floatsPerVertex_; }
    float* rows() { return rows_.get(); }
    MallocArray<float> take_rows() { return std::move(rows_); }
    const KeyChannel& channel(size_t source) const { return channels_[source]; }

    // Writes source `s`'s element, `elementSize` bytes, from a key row.
    void decode(size_t s, const float* row, uint8_t* element, size_t elementSize) const;

  private:
    const std::vector<KeySource>& sources_;
    size_t count_;
    std::vector<KeyChannel> channels_;
    size_t floatsPerVertex_ = 0;
    MallocArray<float> rows_;
};

} // namespace gltf

#endif
