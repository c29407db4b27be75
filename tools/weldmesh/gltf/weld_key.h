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
    // Float components compared by their values, as a merge within a distance compares them,
    // instead of by their bytes.
    bool byValue = false;
};

const size_t kMaxElementSize = 64; // a MAT4 of floats

// WeldMesh compares floats, which is comparing bits but for -0 (equal to +0) and NaN (equal to
// nothing). So the 4-byte words of an attribute go in as floats, each -0 or NaN pattern among
// them replaced by a stand-in: one of the 256 largest finite floats, numbered as the patterns
// are met, -0 first. An attribute whose data holds one of the stand-ins it needs, or more such
// patterns than there are stand-ins, goes in as 16-bit pieces, each an exact small float, as do
// attributes whose elements are not whole words. A source compared by value goes in as its
// floats themselves, -0 and NaN included.
struct KeyChannel {
    bool words = true;
    bool values = false;            // words that are the source's floats, with no stand-ins
    size_t floats = 0;              // key floats per element
    size_t column = 0;              // the first of them in a key row
    std::vector<uint32_t> specials; // the pattern each stand-in replaces, by its number
};

class WeldKey {
  public:
    // The key of `count` vertices, one channel per source, in order.
    WeldKey(const std::vector<KeySource>& sources, size_t count);

    size_t floats_per_vertex() const { return floatsPerVertex_; }
    // True when no key float is an infinity, a NaN or -0 (channels of bytes hold none of the
    // last two): WeldMesh then sorts the distinct rows.
    bool finite() const { return finite_; }

    // Allocates the key rows and fills them, reading each source once and calling `read(s)`
    // after source s, so that its pages can be handed back before the next is read. False when
    // a channel had to become pieces, which changes floats_per_vertex(): the rows are then to
    // be filled again. Throws std::bad_alloc.
    bool fill(const std::function<void(size_t source)>& read);

    MallocArray<float> take_rows() { return std::move(rows_); }
    const KeyChannel& channel(size_t source) const { return channels_[source]; }

    // Writes source `s`'s element, `elementSize` bytes, from a key row.
    void decode(size_t s, const float* row, uint8_t* element, size_t elementSize) const;

  private:
    void lay_out();
    // Fills a channel of words; false when it must go in as pieces.
    bool fill_words(KeyChannel& channel, const KeySource& source);

    const std::vector<KeySource>& sources_;
    size_t count_;
    std::vector<KeyChannel> channels_;
    size_t floatsPerVertex_ = 0;
    bool finite_ = true;
    MallocArray<float> rows_;
};

} // namespace gltf

#endif
