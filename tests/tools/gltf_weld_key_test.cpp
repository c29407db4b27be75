// The weld key: two vertices get the same key row, compared as floats, exactly when all their
// bytes are equal, and every row decodes to the bytes it came from.
#include "weld_key.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using gltf::KeySource;
using gltf::WeldKey;

// One attribute: what each vertex holds, and how it is stored.
struct Attribute {
    std::vector<std::string> elements;
    size_t stride = 0;         // 0: tightly packed
    std::set<uint32_t> sparse; // vertices whose element is a sparse value
    bool overZeros = false;    // no data: the elements not sparse are zeros
};

// The bytes a KeySource reads: the base (with a byte that must not matter under sparse values
// and in the padding), the sparse indices and values.
struct Stored {
    std::string base, indices, values;

    explicit Stored(const Attribute& attribute) {
        const size_t size = attribute.elements.front().size();
        const size_t stride = attribute.stride ? attribute.stride : size;
        for (uint32_t v = 0; v < attribute.elements.size(); ++v) {
            const bool sparse = attribute.sparse.count(v) > 0;
            base += sparse ? std::string(size, '\x5A') : attribute.elements[v];
            base.append(stride - size, '\x5A');
            if (sparse) {
                indices.append(reinterpret_cast<const char*>(&v), 4);
                values += attribute.elements[v];
            }
        }
    }

    KeySource source(const Attribute& attribute) const {
        KeySource source;
        source.elementSize = attribute.elements.front().size();
        source.stride = attribute.stride ? attribute.stride : source.elementSize;
        source.data = attribute.overZeros ? nullptr : reinterpret_cast<const uint8_t*>(base.data());
        source.sparseIndices = reinterpret_cast<const uint8_t*>(indices.data());
        source.sparseIndexSize = 4;
        source.sparseValues = reinterpret_cast<const uint8_t*>(values.data());
        source.sparseCount = attribute.sparse.size();
        return source;
    }
};

struct KeyCase {
    const char* name;
    std::function<std::vector<Attribute>()> attributes;
    bool pieces; // whether the first attribute goes in as 16-bit pieces
};

// `count` vertices of one float attribute, vertex v's words given by `word(v, i)`.
Attribute float_words(size_t count, size_t components,
                      const std::function<uint32_t(size_t v, size_t i)>& word) {
    Attribute attribute;
    for (size_t v = 0; v < count; ++v) {
        std::string element;
        for (size_t i = 0; i < components; ++i) {
            const uint32_t bits = word(v, i);
            element.append(reinterpret_cast<const char*>(&bits), 4);
        }
        attribute.elements.push_back(element);
    }
    return attribute;
}

const uint32_t kNaNs[] = {0x7FC00000u, 0xFFC00001u, 0x7F800001u, 0xFFFFFFFFu};
const uint32_t kOne = 0x3F800000u;

void expect_exact_key(const std::vector<Attribute>& attributes, bool pieces) {
    std::vector<Stored> stored;
    std::vector<KeySource> sources;
    for (const Attribute& attribute : attributes)
        stored.emplace_back(attribute);
    for (size_t a = 0; a < attributes.size(); ++a)
        sources.push_back(stored[a].source(attributes[a]));
    const size_t count = attributes.front().elements.size();
    WeldKey key(sources, count);
    size_t reads = 0;
    while (!key.fill([&](size_t) { ++reads; }))
        reads = 0;
    EXPECT_EQ(reads, attributes.size());
    EXPECT_EQ(key.channel(0).words, !pieces);
    const size_t floats = key.floats_per_vertex();
    const gltf::MallocArray<float> rows = key.take_rows();
    std::map<std::string, std::string> bytesOfRow, rowOfBytes;
    for (size_t v = 0; v < count; ++v) {
        const float* row = rows.get() + v * floats;
        std::string bytes;
        for (size_t a = 0; a < attributes.size(); ++a) {
            const std::string& element = attributes[a].elements[v];
            std::string decoded(element.size(), '\0');
            key.decode(a, row, reinterpret_cast<uint8_t*>(decoded.data()), element.size());
            ASSERT_EQ(decoded, element) << "vertex " << v << " attribute " << a;
            bytes += element + '|';
        }
        // Float comparison is bit comparison for a row of neither -0 nor NaN.
        for (size_t f = 0; f < floats; ++f) {
            uint32_t bits;
            std::memcpy(&bits, row + f, 4);
            ASSERT_TRUE(bits != 0x80000000u && !std::isnan(row[f])) << "vertex " << v;
        }
        const std::string rowBits(reinterpret_cast<const char*>(row), floats * 4);
        ASSERT_EQ(bytesOfRow.emplace(rowBits, bytes).first->second, bytes) << "vertex " << v;
        ASSERT_EQ(rowOfBytes.emplace(bytes, rowBits).first->second, rowBits) << "vertex " << v;
    }
}

TEST(WeldKey, EqualRowsExactlyForEqualBytes) {
    const std::vector<KeyCase> cases = {
        {"-0 apart from +0, each twice",
         [] {
             const uint32_t values[] = {0, 0x80000000u, kOne};
             return std::vector<Attribute>{float_words(54, 3, [&](size_t v, size_t i) {
                 return values[(v / 2) / (i == 0 ? 1 : i == 1 ? 3 : 9) % 3];
             })};
         },
         false},
        {"NaN patterns beside their own repeats",
         [] {
             return std::vector<Attribute>{float_words(40, 2, [](size_t v, size_t i) {
                 return i == 0 ? kNaNs[v % 4] : uint32_t(v % 3);
             })};
         },
         false},
        // Large enough to be filled in two halves on two threads, each meeting the patterns in
        // an order of its own.
        {"halves that meet the patterns in other orders",
         [] {
             const uint32_t patterns[] = {0x80000000u, kNaNs[0], kNaNs[1], kNaNs[2], kNaNs[3]};
             return std::vector<Attribute>{float_words(70000, 2, [&](size_t v, size_t i) {
                 return i == 0 ? patterns[(v < 35000 ? v : 4 - v % 5) % 5] : uint32_t(v % 7);
             })};
         },
         false},
        {"a stand-in among the data",
         [] {
             return std::vector<Attribute>{float_words(
                 10, 1, [](size_t v, size_t) { return v % 2 ? 0x7F7FFF00u : 0x80000000u; })};
         },
         true},
        {"more patterns than stand-ins",
         [] {
             return std::vector<Attribute>{float_words(
                 600, 1, [](size_t v, size_t) { return 0x7FC00000u + uint32_t(v / 2); })};
         },
         true},
        {"elements that are not whole words",
         [] {
             std::vector<Attribute> attributes(4);
             const size_t sizes[] = {1, 2, 3, 6};
             for (size_t a = 0; a < 4; ++a)
                 for (size_t v = 0; v < 50; ++v)
                     attributes[a].elements.push_back(std::string(sizes[a], char(v % 5)));
             return attributes;
         },
         true},
        {"sparse values over zeros",
         [] {
             Attribute attribute = float_words(30, 3, [](size_t v, size_t i) {
                 return v % 3 == 0 ? uint32_t(i == 0   ? 0x80000000u
                                              : i == 1 ? kNaNs[v % 2]
                                                       : v % 4)
                                   : 0u;
             });
             attribute.overZeros = true;
             for (uint32_t v = 0; v < 30; v += 3)
                 attribute.sparse.insert(v);
             return std::vector<Attribute>{attribute};
         },
         false},
        {"sparse values over data",
         [] {
             Attribute attribute =
                 float_words(30, 2, [](size_t v, size_t i) { return uint32_t(v % 4 + i); });
             for (uint32_t v = 1; v < 30; v += 7)
                 attribute.sparse.insert(v);
             return std::vector<Attribute>{attribute};
         },
         false},
        {"several strided attributes in one row",
         [] {
             Attribute position =
                 float_words(48, 3, [](size_t v, size_t i) { return uint32_t((v / 2 + i) % 5); });
             position.stride = 16;
             Attribute color;
             for (size_t v = 0; v < 48; ++v)
                 color.elements.push_back(std::string(4, char(v % 3)));
             color.stride = 8;
             return std::vector<Attribute>{position, color};
         },
         false},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        expect_exact_key(c.attributes(), c.pieces);
    }
}

} // namespace
