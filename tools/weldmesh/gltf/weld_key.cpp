#include "weld_key.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace gltf {

namespace {

const uint32_t kFirstStandIn = 0x7F7FFF00u;
const uint32_t kLastStandIn = 0x7F7FFFFFu; // the largest finite float
const size_t kMaxStandIns = kLastStandIn - kFirstStandIn + 1;

bool compares_unlike_bits(uint32_t bits) {
    return bits == 0x80000000u || (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

uint32_t read_u32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

uint32_t read_sparse_index(const KeySource& source, size_t k) {
    const uint8_t* at = source.sparseIndices + k * source.sparseIndexSize;
    if (source.sparseIndexSize == 1)
        return *at;
    if (source.sparseIndexSize == 2)
        return uint32_t(at[0] | at[1] << 8);
    return read_u32(at);
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

// What one range of an attribute's words holds that the key must know of.
struct WordScan {
    std::vector<uint32_t> specials; // distinct -0 and NaN patterns, at most kMaxStandIns + 1
    PatternTable seen;
    std::vector<bool> taken = std::vector<bool>(kMaxStandIns, false); // stand-ins the data holds
};

void scan_words(WordScan& scan, const KeySource& source, size_t begin, size_t end) {
    const size_t words = source.elementSize / 4;
    for_each_element(source, begin, end, [&](size_t, const uint8_t* element) {
        for (size_t i = 0; i < words; ++i) {
            const uint32_t bits = read_u32(element + 4 * i);
            // One test keeps ordinary values on the fast path.
            if ((bits & 0x7FFFFFFFu) < kFirstStandIn && bits != 0x80000000u)
                continue;
            if (bits >= kFirstStandIn && bits <= kLastStandIn)
                scan.taken[bits - kFirstStandIn] = true;
            else if (compares_unlike_bits(bits) && scan.specials.size() <= kMaxStandIns &&
                     scan.seen.find(bits) == PatternTable::kNotFound) {
                scan.seen.add(bits);
                scan.specials.push_back(bits);
            }
        }
    });
}

// Chooses the channel's stand-ins from the scans of its ranges, or makes it a channel of 16-bit
// pieces when the attribute holds more patterns than there are stand-ins free.
void plan_channel(KeyChannel& channel, size_t elementSize, const WordScan* scans, size_t count) {
    std::vector<bool> taken(kMaxStandIns, false);
    for (size_t s = 0; s < count; ++s) {
        for (size_t k = 0; k < kMaxStandIns; ++k)
            taken[k] = taken[k] || scans[s].taken[k];
        for (uint32_t bits : scans[s].specials)
            if (channel.specials.size() <= kMaxStandIns &&
                channel.specialIndex.find(bits) == PatternTable::kNotFound) {
                channel.specialIndex.add(bits);
                channel.specials.push_back(bits);
            }
    }
    for (size_t k = 0; k < kMaxStandIns && channel.standIns.size() < channel.specials.size(); ++k)
        if (!taken[k])
            channel.standIns.push_back(kFirstStandIn + uint32_t(k));
    if (channel.standIns.size() < channel.specials.size()) {
        channel.words = false;
        channel.floats = (elementSize + 1) / 2;
        channel.specials.clear();
        channel.standIns.clear();
        channel.specialIndex = PatternTable();
    }
}

// Copies vertices [begin, end) of a source into its key channel, from row 0 of `key`.
void put_channel(float* key, size_t floatsPerVertex, const KeyChannel& channel,
                 const KeySource& source, size_t begin, size_t end) {
    for_each_element(source, begin, end, [&](size_t v, const uint8_t* element) {
        float* dst = key + (v - begin) * floatsPerVertex;
        if (!channel.words) {
            for (size_t i = 0; i < channel.floats; ++i) {
                uint16_t piece = element[2 * i];
                if (2 * i + 1 < source.elementSize)
                    piece = uint16_t(piece | element[2 * i + 1] << 8);
                dst[i] = float(piece);
            }
            return;
        }
        for (size_t i = 0; i < channel.floats; ++i) {
            uint32_t bits = read_u32(element + 4 * i);
            if (!channel.specials.empty() && compares_unlike_bits(bits))
                bits = channel.standIns[channel.specialIndex.find(bits)];
            std::memcpy(dst + i, &bits, 4);
        }
    });
}

} // namespace

size_t PatternTable::find(uint32_t bits) const {
    for (size_t slot = slot_of(bits);; slot = (slot + 1) % kSlots) {
        if (numbers_[slot] == 0)
            return kNotFound;
        if (patterns_[slot] == bits)
            return size_t(numbers_[slot] - 1);
    }
}

bool PatternTable::add(uint32_t bits) {
    if (size_ == kCapacity)
        return false;
    size_t slot = slot_of(bits);
    while (numbers_[slot] != 0)
        slot = (slot + 1) % kSlots;
    patterns_[slot] = bits;
    numbers_[slot] = uint16_t(++size_);
    return true;
}

WeldKey::WeldKey(const std::vector<KeySource>& sources, size_t count,
                 const std::function<void(size_t)>& read)
    : sources_(sources), count_(count), channels_(sources.size()) {
    for (size_t s = 0; s < sources.size(); ++s) {
        KeyChannel& channel = channels_[s];
        const size_t elementSize = sources[s].elementSize;
        channel.words = elementSize % 4 == 0;
        channel.floats = channel.words ? elementSize / 4 : (elementSize + 1) / 2;
        if (channel.words) {
            WordScan scans[2];
            on_halves(count, [&](size_t begin, size_t end, int half) {
                scan_words(scans[half], sources[s], begin, end);
            });
            read(s);
            plan_channel(channel, elementSize, scans, std::size(scans));
        }
        channel.column = floatsPerVertex_;
        floatsPerVertex_ += channel.floats;
    }
}

void WeldKey::fill(const std::function<void(size_t)>& read) {
    rows_ = allocate<float>(count_ * floatsPerVertex_);
    for (size_t s = 0; s < sources_.size(); ++s) {
        const KeyChannel& channel = channels_[s];
        on_halves(count_, [&](size_t begin, size_t end, int) {
            put_channel(rows_.get() + begin * floatsPerVertex_ + channel.column, floatsPerVertex_,
                        channel, sources_[s], begin, end);
        });
        read(s);
    }
}

void WeldKey::decode(size_t s, const float* row, uint8_t* element, size_t elementSize) const {
    const KeyChannel& channel = channels_[s];
    const float* src = row + channel.column;
    if (channel.words) {
        std::memcpy(element, src, elementSize);
        for (size_t i = 0; !channel.specials.empty() && i < channel.floats; ++i) {
            uint32_t bits;
            std::memcpy(&bits, src + i, 4);
            const auto standIn =
                std::lower_bound(channel.standIns.begin(), channel.standIns.end(), bits);
            if (standIn != channel.standIns.end() && *standIn == bits)
                std::memcpy(element + 4 * i,
                            &channel.specials[size_t(standIn - channel.standIns.begin())], 4);
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
