#include "weld_key.h"

#include "bytes.h"

#include <bitset>
#include <cstring>

namespace gltf {

namespace {

const uint32_t kFirstStandIn = 0x7F7FFF00u;
const uint32_t kLastStandIn = 0x7F7FFFFFu; // the largest finite float
const size_t kMaxStandIns = kLastStandIn - kFirstStandIn + 1;
const uint32_t kNegativeZero = 0x80000000u;

bool compares_unlike_bits(uint32_t bits) {
    return bits == kNegativeZero || (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

uint32_t read_sparse_index(const KeySource& source, size_t k) {
    return read_index(source.sparseIndices + k * source.sparseIndexSize, source.sparseIndexSize);
}

// Calls f(v, element) for the elements v of [begin, end), sparse values in place of the elements
// they replace, zeros where the source has no data.
template <typename F>
void for_each_element(const KeySource& source, size_t begin, size_t end, F f) {
    static const uint8_t zeros[kMaxElementSize] = {};
    size_t low = 0, high = source.sparseCount;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (read_sparse_index(source, middle) < begin)
            low = middle + 1;
        else
            high = middle;
    }
    size_t next = low; // the first sparse element at or after `begin`
    size_t nextIndex = next < source.sparseCount ? read_sparse_index(source, next) : SIZE_MAX;
    for (size_t v = begin; v < end; ++v) {
        const uint8_t* element = source.data ? source.data + v * source.stride : zeros;
        if (v == nextIndex) {
            element = source.sparseValues + next * source.elementSize;
            ++next;
            nextIndex = next < source.sparseCount ? read_sparse_index(source, next) : SIZE_MAX;
        }
        f(v, element);
    }
}

// A set of distinct 32-bit patterns, each numbered by when it was added, found in constant time
// whatever the patterns are.
class PatternNumbers {
  public:
    static const size_t kNotFound = SIZE_MAX;

    PatternNumbers() : numbers_() {}

    size_t find(uint32_t bits) const {
        for (size_t slot = slot_of(bits);; slot = (slot + 1) % kSlots) {
            if (numbers_[slot] == 0)
                return kNotFound;
            if (patterns_[slot] == bits)
                return size_t(numbers_[slot] - 1);
        }
    }
    // Numbers a pattern the set does not hold; kNotFound when it holds kMaxStandIns already.
    size_t add(uint32_t bits) {
        if (size_ == kMaxStandIns)
            return kNotFound;
        size_t slot = slot_of(bits);
        while (numbers_[slot] != 0)
            slot = (slot + 1) % kSlots;
        patterns_[slot] = bits;
        numbers_[slot] = uint16_t(++size_);
        return size_ - 1;
    }

  private:
    static const size_t kSlots = 4 * kMaxStandIns;
    static size_t slot_of(uint32_t bits) { return (bits * 0x9E3779B1u) >> 22; }
    uint32_t patterns_[kSlots];
    uint16_t numbers_[kSlots]; // a pattern's number + 1; 0 for a free slot
    size_t size_ = 0;
};

// What one thread's share of a channel met: the patterns it numbered, and the stand-ins the
// data holds itself.
struct WordFill {
    PatternNumbers numbers;
    std::vector<uint32_t> specials;
    std::bitset<kMaxStandIns> taken;
    bool full = false;     // more patterns than stand-ins
    bool infinite = false; // an infinity among the words

    WordFill() {
        numbers.add(kNegativeZero);
        specials.push_back(kNegativeZero);
    }
};

// Copies vertices [begin, end) of a source's words into its key channel, from row 0 of `key`,
// numbering each -0 and NaN pattern as it is met.
void put_words(float* key, size_t floatsPerVertex, const KeyChannel& channel,
               const KeySource& source, size_t begin, size_t end, WordFill& fill) {
    for_each_element(source, begin, end, [&](size_t v, const uint8_t* element) {
        float* dst = key + (v - begin) * floatsPerVertex;
        for (size_t i = 0; i < channel.floats; ++i) {
            uint32_t bits = read_u32(element + 4 * i);
            // One test keeps ordinary values on the fast path.
            if ((bits & 0x7FFFFFFFu) >= kFirstStandIn || bits == kNegativeZero) {
                if (bits >= kFirstStandIn && bits <= kLastStandIn) {
                    fill.taken[bits - kFirstStandIn] = true;
                } else if ((bits & 0x7FFFFFFFu) == 0x7F800000u) {
                    fill.infinite = true;
                } else if (compares_unlike_bits(bits)) {
                    size_t number = fill.numbers.find(bits);
                    if (number == PatternNumbers::kNotFound) {
                        number = fill.numbers.add(bits);
                        if (number == PatternNumbers::kNotFound) {
                            fill.full = true;
                            number = 0;
                        } else {
                            fill.specials.push_back(bits);
                        }
                    }
                    bits = kFirstStandIn + uint32_t(number);
                }
            }
            std::memcpy(dst + i, &bits, 4);
        }
    });
}

void put_values(float* key, size_t floatsPerVertex, const KeyChannel& channel,
                const KeySource& source, size_t begin, size_t end) {
    for_each_element(source, begin, end, [&](size_t v, const uint8_t* element) {
        std::memcpy(key + (v - begin) * floatsPerVertex, element, channel.floats * sizeof(float));
    });
}

void put_pieces(float* key, size_t floatsPerVertex, const KeyChannel& channel,
                const KeySource& source, size_t begin, size_t end) {
    for_each_element(source, begin, end, [&](size_t v, const uint8_t* element) {
        float* dst = key + (v - begin) * floatsPerVertex;
        for (size_t i = 0; i < channel.floats; ++i) {
            uint16_t piece = element[2 * i];
            if (2 * i + 1 < source.elementSize)
                piece = uint16_t(piece | element[2 * i + 1] << 8);
            dst[i] = float(piece);
        }
    });
}

// The second half numbered its patterns as it met them: renumbers its stand-ins as the first
// half's numbering goes on, where the two differ.
void renumber_words(float* key, size_t floatsPerVertex, const KeyChannel& channel, size_t count,
                    const std::vector<uint32_t>& numberOf) {
    for (size_t v = 0; v < count; ++v)
        for (size_t i = 0; i < channel.floats; ++i) {
            uint32_t bits;
            std::memcpy(&bits, key + v * floatsPerVertex + i, 4);
            if (bits >= kFirstStandIn && bits - kFirstStandIn < numberOf.size()) {
                bits = kFirstStandIn + numberOf[bits - kFirstStandIn];
                std::memcpy(key + v * floatsPerVertex + i, &bits, 4);
            }
        }
}

} // namespace

WeldKey::WeldKey(const std::vector<KeySource>& sources, size_t count)
    : sources_(sources), count_(count), channels_(sources.size()) {
    for (size_t s = 0; s < sources.size(); ++s) {
        channels_[s].words = sources[s].elementSize % 4 == 0;
        channels_[s].values = sources[s].byValue && channels_[s].words;
    }
    lay_out();
}

void WeldKey::lay_out() {
    floatsPerVertex_ = 0;
    for (size_t s = 0; s < sources_.size(); ++s) {
        KeyChannel& channel = channels_[s];
        const size_t elementSize = sources_[s].elementSize;
        channel.floats = channel.words ? elementSize / 4 : (elementSize + 1) / 2;
        channel.column = floatsPerVertex_;
        floatsPerVertex_ += channel.floats;
    }
}

bool WeldKey::fill(const std::function<void(size_t)>& read) {
    rows_ = allocate<float>(count_ * floatsPerVertex_);
    finite_ = true;
    for (size_t s = 0; s < sources_.size(); ++s) {
        KeyChannel& channel = channels_[s];
        if (channel.values) {
            finite_ = false;
            on_halves(count_, [&](size_t begin, size_t end, int) {
                put_values(rows_.get() + begin * floatsPerVertex_ + channel.column,
                           floatsPerVertex_, channel, sources_[s], begin, end);
            });
        } else if (channel.words && !fill_words(channel, sources_[s])) {
            channel.words = false;
            lay_out();
            rows_.reset();
            return false;
        }
        if (!channel.words)
            on_halves(count_, [&](size_t begin, size_t end, int) {
                put_pieces(rows_.get() + begin * floatsPerVertex_ + channel.column,
                           floatsPerVertex_, channel, sources_[s], begin, end);
            });
        read(s);
    }
    return true;
}

bool WeldKey::fill_words(KeyChannel& channel, const KeySource& source) {
    WordFill fills[2];
    size_t begins[2] = {0, 0};
    on_halves(count_, [&](size_t begin, size_t end, int half) {
        begins[half] = begin;
        put_words(rows_.get() + begin * floatsPerVertex_ + channel.column, floatsPerVertex_,
                  channel, source, begin, end, fills[half]);
    });
    // The first half's numbers stand; the second's patterns follow them.
    channel.specials = fills[0].specials;
    PatternNumbers numbers;
    for (uint32_t bits : channel.specials)
        numbers.add(bits);
    std::vector<uint32_t> numberOf;
    bool renumbered = false;
    for (uint32_t bits : fills[1].specials) {
        size_t number = numbers.find(bits);
        if (number == PatternNumbers::kNotFound) {
            number = numbers.add(bits);
            if (number == PatternNumbers::kNotFound)
                return false;
            channel.specials.push_back(bits);
        }
        renumbered = renumbered || number != numberOf.size();
        numberOf.push_back(uint32_t(number));
    }
    if (fills[0].full || fills[1].full)
        return false;
    finite_ = finite_ && !fills[0].infinite && !fills[1].infinite;
    const std::bitset<kMaxStandIns> taken = fills[0].taken | fills[1].taken;
    for (size_t k = 0; k < channel.specials.size(); ++k)
        if (taken[k])
            return false;
    if (renumbered)
        renumber_words(rows_.get() + begins[1] * floatsPerVertex_ + channel.column,
                       floatsPerVertex_, channel, count_ - begins[1], numberOf);
    return true;
}

void WeldKey::decode(size_t s, const float* row, uint8_t* element, size_t elementSize) const {
    const KeyChannel& channel = channels_[s];
    const float* src = row + channel.column;
    if (channel.words) {
        std::memcpy(element, src, elementSize);
        for (size_t i = 0; i < channel.floats; ++i) {
            uint32_t bits;
            std::memcpy(&bits, src + i, 4);
            if (bits >= kFirstStandIn && bits - kFirstStandIn < channel.specials.size())
                std::memcpy(element + 4 * i, &channel.specials[bits - kFirstStandIn], 4);
        }
        return;
    }
    for (size_t i = 0; i < channel.floats; ++i) {
        const unsigned piece = unsigned(src[i]);
        element[2 * i] = uint8_t(piece);
        if (2 * i + 1 < elementSize)
            element[2 * i + 1] = uint8_t(piece >> 8);
    }
}

} // namespace gltf
