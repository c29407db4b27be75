#include "weld.h"

#include "merge_measure.h"
#include "mergeclose.h"
#include "references.h"
#include "weld_key.h"
#include "weldmesh.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace gltf {

namespace {

std::string join(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// Why a primitive is left as it was, or an empty string when it is welded.
std::string skip_reason(const Asset& asset, const Primitive& primitive) {
    if (primitive.mode == kPoints)
        return "points are not welded";
    if (primitive.mode <= kLineStrip)
        return "lines are not welded";
    const json::Document& doc = asset.json;
    if (doc.find(doc.find(primitive.json, "extensions"), "KHR_draco_mesh_compression") !=
        json::kNone)
        return "its vertices are compressed (KHR_draco_mesh_compression)";
    if (std::none_of(primitive.attributes.begin(), primitive.attributes.end(),
                     [](const Attribute& a) { return a.target < 0 && a.name == "POSITION"; }))
        return "it has no POSITION";
    for (const Attribute& attribute : primitive.attributes) {
        const Accessor& accessor = asset.accessors[attribute.accessor];
        const std::string name = "accessor " + std::to_string(attribute.accessor);
        if (!accessor.readable)
            return name + " is in a buffer that an extension fills";
        if (accessor.matrix)
            return name + " holds matrices";
    }
    if (primitive.indexed) {
        const Accessor& indices = asset.accessors[primitive.indices];
        if (!indices.hasView || indices.sparse || !indices.readable)
            return "its indices are not plainly stored in a buffer view";
    }
    return "";
}

unsigned faces_of(int mode, size_t corners) {
    if (mode == kTriangles)
        return unsigned(corners / 3);
    return corners >= 3 ? unsigned(corners - 2) : 0;
}

std::string label_of(const Asset& asset, const Primitive& primitive) {
    return "mesh " + std::to_string(primitive.mesh) + " '" + asset.meshNames[primitive.mesh] +
           "' primitive " + std::to_string(primitive.index);
}

// A primitive's corners: its indices, or 0 to count - 1 for an unindexed one, which stores none.
struct Corners {
    std::vector<uint32_t> indices;
    size_t count;
    uint32_t operator[](size_t i) const { return indices.empty() ? uint32_t(i) : indices[i]; }
};

Corners corners_of(const Asset& asset, const Primitive& primitive, size_t vertexCount) {
    if (!primitive.indexed)
        return {{}, vertexCount};
    const Accessor& accessor = asset.accessors[primitive.indices];
    std::vector<uint32_t> indices(accessor.count);
    const uint8_t* base = asset.element_data(accessor);
    for (size_t i = 0; i < accessor.count; ++i)
        indices[i] = read_index(base + i * accessor.stride, accessor.componentSize);
    return {std::move(indices), accessor.count};
}

// A merge within a distance compares float data by value; everything else goes by its bytes.
KeySource key_source(const Asset& asset, const Accessor& accessor, bool merging) {
    KeySource source;
    source.byValue = merging && accessor.componentType == kFloat;
    source.data = accessor.hasView ? asset.element_data(accessor) : nullptr;
    source.stride = accessor.stride;
    source.elementSize = accessor.elementSize;
    if (accessor.sparse) {
        const Sparse& sparse = accessor.sparseData;
        source.sparseIndices = asset.view_data(sparse.indicesView) + sparse.indicesOffset;
        source.sparseIndexSize = sparse.indexSize;
        source.sparseValues = asset.view_data(sparse.valuesView) + sparse.valuesOffset;
        source.sparseCount = sparse.count;
    }
    return source;
}

struct WeldedRows {
    MallocArray<int> remap;    // input vertex -> distinct vertex
    MallocArray<float> welded; // the distinct vertices' key rows
    size_t unique;
    double seconds;
};

// Merges two lists of distinct rows, each sorted lexicographically, into `out`, a row that both
// hold becoming one; `numbers` takes each row's place in `out`, the first list's rows first.
// Returns the number of rows written.
size_t merge_sorted_rows(const float* a, size_t countA, const float* b, size_t countB,
                         size_t floats, float* out, int* numbers) {
    size_t i = 0, j = 0, k = 0;
    while (i < countA || j < countB) {
        int order = i == countA ? 1 : j == countB ? -1 : 0;
        for (size_t c = 0; order == 0 && c < floats; ++c)
            order = a[i * floats + c] < b[j * floats + c]   ? -1
                    : a[i * floats + c] > b[j * floats + c] ? 1
                                                            : 0;
        const float* row = order <= 0 ? a + i * floats : b + j * floats;
        std::memcpy(out + k * floats, row, floats * sizeof(float));
        if (order <= 0)
            numbers[i++] = int(k);
        if (order >= 0)
            numbers[countA + j++] = int(k);
        ++k;
    }
    return k;
}

// Welds the key's rows, the two halves at once and then their distinct rows together: merged
// corners are bitwise equal, so this finds exactly the vertices one weld of the whole would.
// With `finite` rows, whose distinct rows WeldMesh sorts, the halves merge in one pass.
WeldedRows weld_rows(MallocArray<float> key, size_t count, size_t floats, bool finite) {
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    MallocArray<int> remap = allocate<int>(count);
    MallocArray<float> halves = allocate<float>(count * floats);
    size_t begins[2] = {0, 0};
    int counts[2] = {0, 0};
    on_halves(count, [&](size_t begin, size_t end, int half) {
        begins[half] = begin;
        counts[half] = WeldMesh(remap.get() + begin, halves.get() + begin * floats,
                                key.get() + begin * floats, int(end - begin), int(floats));
    });
    const bool split = count >= kHalvesFrom;
    if (counts[0] == 0 || (split && counts[1] == 0))
        throw std::bad_alloc();
    if (!split)
        return {std::move(remap), std::move(halves), size_t(counts[0]), elapsed()};
    // The second half's distinct rows move up behind the first's, and the key, whose pages are
    // in memory already, takes the result: fresh pages cost more than the copy.
    float* both = halves.get();
    std::memmove(both + size_t(counts[0]) * floats, both + begins[1] * floats,
                 size_t(counts[1]) * floats * sizeof(float));
    MallocArray<int> merged = allocate<int>(size_t(counts[0] + counts[1]));
    const size_t unique =
        finite
            ? merge_sorted_rows(both, size_t(counts[0]), both + size_t(counts[0]) * floats,
                                size_t(counts[1]), floats, key.get(), merged.get())
            : size_t(WeldMesh(merged.get(), key.get(), both, counts[0] + counts[1], int(floats)));
    if (unique == 0)
        throw std::bad_alloc();
    halves.reset();
    for (size_t v = 0; v < count; ++v)
        remap[v] = merged[size_t(remap[v] + (v < begins[1] ? 0 : counts[0]))];
    // Only the distinct rows are read from here on.
    release_tail(key.get(), unique * floats, count * floats);
    return {std::move(remap), std::move(key), unique, elapsed()};
}

// The tolerance of each key column after the position's (source 0): the merge's for floats
// compared by value, 0 (equal) for the words and pieces of integer and normalized data.
std::vector<float> other_tolerances(const WeldKey& key, size_t sources, float tolerance) {
    std::vector<float> tolerances;
    for (size_t s = 1; s < sources; ++s)
        tolerances.insert(tolerances.end(), key.channel(s).floats,
                          key.channel(s).values ? tolerance : 0.0f);
    return tolerances;
}

// Merges the key's rows within the limits. The position, source 0, is compared within the
// distance where it holds floats, and for equality where it is quantized.
WeldedRows merge_rows(const float* rows, size_t count, const WeldKey& key, size_t sources,
                      const MergeLimits& limits) {
    const auto start = std::chrono::steady_clock::now();
    const size_t floats = key.floats_per_vertex();
    const KeyChannel& position = key.channel(0);
    const std::vector<float> tolerances = other_tolerances(key, sources, limits.tolerance);
    MallocArray<int> remap = allocate<int>(count);
    MallocArray<float> merged = allocate<float>(count * floats);
    const int unique = MergeCloseVertices(
        remap.get(), merged.get(), rows, int(count), int(floats), int(position.floats),
        position.values ? limits.distance : 0.0f, tolerances.data(), int(tolerances.size()));
    if (unique == 0)
        throw std::bad_alloc();
    return {std::move(remap), std::move(merged), size_t(unique),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

// Output vertices in the order the corners first use them, as the input had them.
struct VertexOrder {
    std::vector<int> rowOf;    // output vertex -> welded row
    std::vector<int> outputOf; // welded row -> output vertex, -1 for rows no corner uses
    // output vertex -> an input vertex that holds its bytes, where a sparse accessor asks: that
    // of its first corner, unless a merge moved that corner
    std::vector<uint32_t> source;
};

VertexOrder first_use_order(const std::vector<Corners>& corners, const int* remap, size_t rows,
                            bool sources) {
    VertexOrder order;
    order.outputOf.assign(rows, -1);
    order.rowOf.reserve(rows);
    for (const Corners& list : corners)
        for (size_t i = 0; i < list.count; ++i) {
            int& output = order.outputOf[size_t(remap[list[i]])];
            if (output < 0) {
                output = int(order.rowOf.size());
                order.rowOf.push_back(remap[list[i]]);
                if (sources)
                    order.source.push_back(list[i]);
            }
        }
    return order;
}

// An output vertex whose first corner a merge moved takes as its source the first input vertex
// that holds its bytes: there is one, since every merged vertex is a copy of an input vertex.
void source_unmoved_vertices(VertexOrder& order, MergeMeasure& measure, const int* remap,
                             size_t count) {
    std::vector<uint32_t> unmoved(order.rowOf.size(), UINT32_MAX);
    for (uint32_t v = 0; v < count; ++v) {
        const int output = order.outputOf[size_t(remap[v])];
        if (output >= 0 && unmoved[size_t(output)] == UINT32_MAX && !measure.moved(v))
            unmoved[size_t(output)] = v;
    }
    for (size_t k = 0; k < order.source.size(); ++k)
        if (measure.moved(order.source[k]))
            order.source[k] = unmoved[k];
}

// Calls f(a, b, c) with the corner numbers of each triangle of a list, strip or fan.
template <typename F> void for_each_triangle(int mode, size_t corners, F f) {
    if (mode == kTriangles)
        for (size_t i = 0; i + 2 < corners; i += 3)
            f(i, i + 1, i + 2);
    else if (mode == kTriangleStrip)
        for (size_t i = 0; i + 2 < corners; ++i)
            f(i, i + 1, i + 2);
    else
        for (size_t i = 1; i + 1 < corners; ++i)
            f(0, i, i + 1);
}

// What a merge did to the corners and triangles of primitives of the given modes.
MergeSummary measure_merge(MergeMeasure& measure, const std::vector<Corners>& corners,
                           const std::vector<int>& modes) {
    for (size_t p = 0; p < corners.size(); ++p) {
        const Corners& list = corners[p];
        for (size_t i = 0; i < list.count; ++i)
            measure.add_corner(list[i]);
        for_each_triangle(modes[p], list.count, [&](size_t a, size_t b, size_t c) {
            const uint32_t face[3] = {list[a], list[b], list[c]};
            measure.add_face(face, 3);
        });
    }
    return measure.summary();
}

// Per component, the smallest and largest value, as glTF's min and max give them; `finite` is
// false for a component whose bounds JSON cannot hold (infinities, or nothing but NaN).
struct Bounds {
    std::vector<double> min, max;
    std::vector<bool> finite;
};

double component_value(const uint8_t* at, int componentType) {
    switch (componentType) {
    case kByte:
        return double(int8_t(*at));
    case kUnsignedByte:
        return double(*at);
    case kShort:
        return double(int16_t(at[0] | at[1] << 8));
    case kUnsignedShort:
        return double(uint16_t(at[0] | at[1] << 8));
    case kUnsignedInt:
        return double(read_index(at, 4));
    default: {
        float value;
        std::memcpy(&value, at, 4);
        return double(value);
    }
    }
}

// The bounds of elements [begin, end), `stride` apart from `data`.
Bounds bounds_of(const uint8_t* data, size_t begin, size_t end, size_t stride,
                 const Accessor& accessor) {
    Bounds bounds;
    bounds.min.assign(accessor.components, INFINITY);
    bounds.max.assign(accessor.components, -INFINITY);
    for (size_t v = begin; v < end; ++v)
        for (size_t c = 0; c < accessor.components; ++c) {
            const double value = component_value(data + v * stride + c * accessor.componentSize,
                                                 accessor.componentType);
            if (value < bounds.min[c])
                bounds.min[c] = value;
            if (value > bounds.max[c])
                bounds.max[c] = value;
        }
    return bounds;
}

Bounds combined(const Bounds& a, const Bounds& b) {
    Bounds both = a;
    for (size_t c = 0; c < both.min.size(); ++c) {
        both.min[c] = std::min(a.min[c], b.min[c]);
        both.max[c] = std::max(a.max[c], b.max[c]);
        both.finite.push_back(std::isfinite(both.min[c]) && std::isfinite(both.max[c]));
    }
    return both;
}

// What the weld writes for one accessor it welded: the distinct vertices' elements, and for a
// sparse accessor the output vertices whose first corner had a sparse value, with their values.
struct WeldedAccessor {
    size_t original;
    Bytes elements; // outputCount elements, `stride` apart; empty: no buffer view
    size_t stride = 0;
    std::vector<uint32_t> sparseIndices;
    Bytes sparseValues;
    Bounds bounds;
};

bool is_sparse_index(const Asset& asset, const Accessor& accessor, uint32_t vertex) {
    const Sparse& sparse = accessor.sparseData;
    const uint8_t* indices = asset.view_data(sparse.indicesView) + sparse.indicesOffset;
    size_t low = 0, high = sparse.count;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const uint32_t index = read_index(indices + middle * sparse.indexSize, sparse.indexSize);
        if (index == vertex)
            return true;
        if (index < vertex)
            low = middle + 1;
        else
            high = middle;
    }
    return false;
}

// The welded accessor's elements, decoded from the key on two threads; the bounds only where
// the accessor has them.
WeldedAccessor weld_accessor(const Asset& asset, size_t index, bool bounded, const WeldKey& key,
                             size_t source, const float* welded, const VertexOrder& order) {
    const Accessor& accessor = asset.accessors[index];
    const size_t floats = key.floats_per_vertex();
    const size_t count = order.rowOf.size();
    WeldedAccessor out;
    out.original = index;
    out.stride = align4(accessor.elementSize);
    Bytes all(count * out.stride);
    // The padding to the next word stays zero.
    if (out.stride != accessor.elementSize)
        std::fill(all.begin(), all.end(), 0);
    Bounds halves[2];
    on_halves(count, [&](size_t begin, size_t end, int half) {
        for (size_t k = begin; k < end; ++k)
            key.decode(source, welded + size_t(order.rowOf[k]) * floats,
                       all.data() + k * out.stride, accessor.elementSize);
        halves[half] = bounds_of(all.data(), bounded ? begin : end, end, out.stride, accessor);
    });
    out.bounds = combined(halves[0], count < kHalvesFrom ? halves[0] : halves[1]);
    if (accessor.sparse)
        for (size_t k = 0; k < count; ++k)
            if (is_sparse_index(asset, accessor, order.source[k])) {
                out.sparseIndices.push_back(uint32_t(k));
                out.sparseValues.insert(out.sparseValues.end(), all.data() + k * out.stride,
                                        all.data() + k * out.stride + accessor.elementSize);
            }
    if (accessor.hasView)
        out.elements = std::move(all);
    return out;
}

int index_component_type(size_t vertexCount) {
    // The largest value of each type is reserved for primitive restart.
    if (vertexCount <= 255)
        return kUnsignedByte;
    return vertexCount <= 65535 ? kUnsignedShort : kUnsignedInt;
}

struct WeldedIndices {
    Bytes bytes;
    int componentType;
    size_t count;
    uint32_t lowest = UINT32_MAX, highest = 0;
};

WeldedIndices weld_indices(const Corners& corners, const int* remap, const VertexOrder& order) {
    WeldedIndices out;
    out.componentType = index_component_type(order.rowOf.size());
    out.count = corners.count;
    const size_t size = component_size(uint64_t(out.componentType));
    out.bytes.resize(corners.count * size);
    uint32_t lowest[2] = {UINT32_MAX, UINT32_MAX}, highest[2] = {0, 0};
    on_halves(corners.count, [&](size_t begin, size_t end, int half) {
        for (size_t i = begin; i < end; ++i) {
            const uint32_t id = uint32_t(order.outputOf[size_t(remap[corners[i]])]);
            std::memcpy(out.bytes.data() + i * size, &id, size); // little-endian
            lowest[half] = std::min(lowest[half], id);
            highest[half] = std::max(highest[half], id);
        }
    });
    out.lowest = std::min(lowest[0], lowest[1]);
    out.highest = std::max(highest[0], highest[1]);
    return out;
}

// Primitives welded together because they share every vertex attribute accessor, so that they
// keep sharing their vertices.
struct Group {
    std::vector<size_t> primitives;
};

// Everything the weld of one group writes, before any of it goes into the document.
struct WeldedGroup {
    size_t vertexCount = 0;
    std::vector<WeldedAccessor> accessors;
    std::vector<WeldedIndices> indices; // one per primitive of the group
    MeshWeldResult result;
};

class AssetWelder {
  public:
    AssetWelder(Asset& asset, const AttributeSelection& selection, const MergeLimits& merge,
                bool keepAll)
        : asset_(asset), doc_(asset.json), selection_(selection), merge_(merge), keepAll_(keepAll) {
    }

    WeldReport run() {
        // Each line stands at its (first) primitive's place in the document.
        std::map<size_t, WeldReportLine> lines;
        const std::vector<Group> groups = group_primitives(lines);
        count_outside_references(groups);
        claimed_.assign(asset_.accessors.size(), false);
        for (const Group& group : groups) {
            WeldedGroup welded = weld_group(group);
            lines[group.primitives.front()] = {group_label(group), welded.result};
            write_group(group, std::move(welded));
        }
        if (!keepAll_)
            remove_unused_accessors(groups);
        WeldReport report;
        report.meshes = unsigned(asset_.meshNames.size());
        for (const auto& [primitive, line] : lines)
            report.add(line.label, line.result);
        return report;
    }

  private:
    bool kept(const Attribute& attribute) const {
        return keeps_gltf_attribute(selection_, attribute.name);
    }

    std::vector<Group> group_primitives(std::map<size_t, WeldReportLine>& skipped) const {
        std::map<std::vector<std::tuple<int, std::string, size_t>>, size_t> groupOf;
        std::vector<Group> groups;
        for (size_t p = 0; p < asset_.primitives.size(); ++p) {
            const Primitive& primitive = asset_.primitives[p];
            const std::string reason = skip_reason(asset_, primitive);
            if (!reason.empty()) {
                MeshWeldResult result;
                result.skipReason = reason;
                skipped[p] = {label_of(asset_, primitive), result};
                continue;
            }
            std::vector<std::tuple<int, std::string, size_t>> key;
            for (const Attribute& attribute : primitive.attributes)
                key.emplace_back(attribute.target, attribute.name, attribute.accessor);
            std::sort(key.begin(), key.end());
            const auto found = groupOf.emplace(std::move(key), groups.size());
            if (found.second)
                groups.emplace_back();
            groups[found.first->second].primitives.push_back(p);
        }
        return groups;
    }

    std::string group_label(const Group& group) const {
        std::string label = label_of(asset_, asset_.primitives[group.primitives.front()]);
        for (size_t i = 1; i < group.primitives.size(); ++i)
            label += (i == 1 ? ", sharing its vertices with " : ", ") +
                     label_of(asset_, asset_.primitives[group.primitives[i]]);
        return label;
    }

    // References to each accessor from anything but the primitives being welded: an accessor
    // with none can take its welded data in place.
    void count_outside_references(const std::vector<Group>& groups) {
        outsideReferences_.assign(asset_.accessors.size(), 0);
        for_each_reference(doc_, Target::accessor, [&](const Slot& slot, const std::string&) {
            uint64_t index;
            if (doc_.to_unsigned(slot.get(doc_), index))
                ++outsideReferences_[size_t(index)];
        });
        for (const Group& group : groups)
            for (size_t p : group.primitives) {
                const Primitive& primitive = asset_.primitives[p];
                for (const Attribute& attribute : primitive.attributes)
                    --outsideReferences_[attribute.accessor];
                if (primitive.indexed)
                    --outsideReferences_[primitive.indices];
            }
    }

    std::vector<int> modes_of(const Group& group) const {
        std::vector<int> modes;
        for (size_t p : group.primitives)
            modes.push_back(asset_.primitives[p].mode);
        return modes;
    }

    WeldedGroup weld_group(const Group& group) const {
        const Primitive& first = asset_.primitives[group.primitives.front()];
        WeldedGroup out;
        out.vertexCount = asset_.accessors[first.attributes.front().accessor].count;
        // An accessor two attributes share is one channel: its bytes need comparing once.
        std::vector<size_t> channels;
        std::unordered_set<size_t> inChannels;
        std::vector<std::string> keptNames, droppedNames;
        for (const Attribute& attribute : first.attributes) {
            (kept(attribute) ? keptNames : droppedNames).push_back(attribute.label());
            if (kept(attribute) && inChannels.insert(attribute.accessor).second)
                channels.push_back(attribute.accessor);
        }
        std::vector<Corners> corners;
        for (size_t p : group.primitives) {
            corners.push_back(corners_of(asset_, asset_.primitives[p], out.vertexCount));
            out.result.faces += faces_of(asset_.primitives[p].mode, corners.back().count);
        }

        // The position's channel is the first, where a merge reads the position: validation
        // puts POSITION first among the attributes.
        std::vector<KeySource> sources;
        for (size_t accessor : channels)
            sources.push_back(key_source(asset_, asset_.accessors[accessor], merge_.active));
        const auto release = [&](size_t s) { asset_.release(asset_.accessors[channels[s]]); };
        WeldKey key(sources, out.vertexCount);
        do {
            if (out.vertexCount > size_t(INT_MAX) / key.floats_per_vertex())
                throw asset_.bad(group_label(group) + ": " + std::to_string(out.vertexCount) +
                                 " vertices of " + std::to_string(key.floats_per_vertex()) +
                                 " floats exceed the welder's limit");
        } while (!key.fill(release));
        const size_t floats = key.floats_per_vertex();
        const bool sparse = std::any_of(channels.begin(), channels.end(),
                                        [&](size_t a) { return asset_.accessors[a].sparse; });
        // A merge leaves the key's rows as they were, for its summary.
        MallocArray<float> keyRows = key.take_rows();
        WeldedRows rows =
            merge_.active ? merge_rows(keyRows.get(), out.vertexCount, key, sources.size(), merge_)
                          : weld_rows(std::move(keyRows), out.vertexCount, floats, key.finite());
        VertexOrder order = first_use_order(corners, rows.remap.get(), rows.unique, sparse);
        if (merge_.active) {
            MergeMeasure measure(keyRows.get(), rows.welded.get(), rows.remap.get(),
                                 out.vertexCount, floats, key.channel(0).floats);
            out.result.merge = measure_merge(measure, corners, modes_of(group));
            if (sparse)
                source_unmoved_vertices(order, measure, rows.remap.get(), out.vertexCount);
            keyRows.reset();
        }
        for (size_t c = 0; c < channels.size(); ++c) {
            const json::Id json = doc_.at(asset_.array("accessors"), channels[c]);
            const bool bounded =
                doc_.find(json, "min") != json::kNone || doc_.find(json, "max") != json::kNone;
            out.accessors.push_back(
                weld_accessor(asset_, channels[c], bounded, key, c, rows.welded.get(), order));
        }
        rows.welded.reset();
        for (const Corners& list : corners)
            out.indices.push_back(weld_indices(list, rows.remap.get(), order));

        out.result.verticesBefore = unsigned(out.vertexCount);
        out.result.verticesAfter = unsigned(order.rowOf.size());
        out.result.weldSeconds = rows.seconds;
        out.result.kept = join(keptNames);
        out.result.dropped = join(droppedNames);
        return out;
    }

    // --- writing a group's weld into the document ---------------------------------------

    json::Id top_level_array(const char* name) {
        json::Id list = doc_.find(doc_.root(), name);
        if (list == json::kNone) {
            list = doc_.add_array();
            doc_.set(doc_.root(), name, list);
        }
        return list;
    }

    // The buffer the group's new views go into: that of its first attribute with a view.
    size_t data_buffer(const WeldedGroup& group) {
        for (const WeldedAccessor& welded : group.accessors) {
            const Accessor& accessor = asset_.accessors[welded.original];
            if (accessor.hasView)
                return asset_.views[accessor.view].buffer;
        }
        for (size_t b = 0; b < asset_.buffers.size(); ++b)
            if (asset_.buffers[b]->source != Buffer::Source::none)
                return b;
        auto buffer = std::make_unique<Buffer>();
        buffer->source = Buffer::Source::created;
        asset_.buffers.push_back(std::move(buffer));
        const json::Id json = doc_.add_object();
        doc_.set(json, "byteLength", doc_.add_unsigned(0));
        doc_.push_back(top_level_array("buffers"), json);
        return asset_.buffers.size() - 1;
    }

    // A new buffer view of `bytes`; the layout gives it its place in the buffer.
    json::Id add_view(size_t buffer, Bytes bytes, size_t stride, int target) {
        const json::Id json = doc_.add_object();
        doc_.set(json, "buffer", doc_.add_unsigned(buffer));
        doc_.set(json, "byteOffset", doc_.add_unsigned(0));
        doc_.set(json, "byteLength", doc_.add_unsigned(bytes.size()));
        if (stride)
            doc_.set(json, "byteStride", doc_.add_unsigned(stride));
        if (target)
            doc_.set(json, "target", doc_.add_unsigned(uint64_t(target)));
        doc_.push_back(top_level_array("bufferViews"), json);
        asset_.newViews.push_back({buffer, std::move(bytes)});
        return doc_.add_unsigned(asset_.views.size() + asset_.newViews.size() - 1);
    }

    bool view_has_target(size_t view) const {
        return doc_.find(doc_.at(asset_.array("bufferViews"), view), "target") != json::kNone;
    }

    // Takes the original's place when nothing else refers to it and no other weld took it.
    json::Id place_accessor(size_t original, json::Id json) {
        const json::Id list = asset_.array("accessors");
        if (original < claimed_.size() && !keepAll_ && !claimed_[original] &&
            outsideReferences_[original] == 0) {
            claimed_[original] = true;
            doc_.set_at(list, original, json);
            return doc_.add_unsigned(original);
        }
        doc_.push_back(list, json);
        return doc_.add_unsigned(doc_.size(list) - 1);
    }

    // The bounds the document has, with each component whose value changed replaced. A float
    // component keeps its text when it reads back as the same float.
    json::Id bounds_json(json::Id old, const std::vector<double>& values,
                         const std::vector<bool>& finite, const Accessor& accessor) {
        const json::Id array = doc_.add_array();
        for (size_t c = 0; c < values.size(); ++c) {
            const json::Id before = doc_.is(old, json::Kind::array) && c < doc_.size(old)
                                        ? doc_.at(old, c)
                                        : json::kNone;
            double previous;
            const bool hadNumber = doc_.to_double(before, previous);
            const bool same = accessor.componentType == kFloat
                                  ? hadNumber && float(previous) == float(values[c])
                                  : hadNumber && previous == values[c];
            if (same || (!finite[c] && before != json::kNone))
                doc_.push_back(array, before);
            else if (!finite[c])
                return json::kNone;
            else if (accessor.componentType == kFloat)
                doc_.push_back(array, doc_.add_float(float(values[c])));
            else
                doc_.push_back(array, doc_.add_integer(int64_t(values[c])));
        }
        return array;
    }

    void set_bounds(json::Id json, const Bounds& bounds, const Accessor& accessor) {
        for (const auto& [key, values] :
             {std::pair{"min", &bounds.min}, std::pair{"max", &bounds.max}}) {
            const json::Id old = doc_.find(json, key);
            if (old == json::kNone)
                continue;
            const json::Id updated = bounds_json(old, *values, bounds.finite, accessor);
            if (updated != json::kNone)
                doc_.set(json, key, updated);
        }
    }

    json::Id sparse_json(json::Id original, WeldedAccessor& welded, size_t count, size_t buffer) {
        const json::Id sparse = doc_.shallow_copy(original);
        doc_.set(sparse, "count", doc_.add_unsigned(welded.sparseIndices.size()));
        const int type = index_component_type(count);
        const size_t size = component_size(uint64_t(type));
        Bytes indexBytes(welded.sparseIndices.size() * size);
        for (size_t i = 0; i < welded.sparseIndices.size(); ++i)
            std::memcpy(indexBytes.data() + i * size, &welded.sparseIndices[i], size);
        const json::Id indices = doc_.shallow_copy(doc_.find(original, "indices"));
        doc_.set(indices, "bufferView", add_view(buffer, std::move(indexBytes), 0, 0));
        doc_.erase(indices, "byteOffset");
        doc_.set(indices, "componentType", doc_.add_unsigned(uint64_t(type)));
        const json::Id values = doc_.shallow_copy(doc_.find(original, "values"));
        doc_.set(values, "bufferView", add_view(buffer, std::move(welded.sparseValues), 0, 0));
        doc_.erase(values, "byteOffset");
        doc_.set(sparse, "indices", indices);
        doc_.set(sparse, "values", values);
        return sparse;
    }

    // The welded accessor's JSON: the original's members, with its data, count and bounds.
    json::Id accessor_json(WeldedAccessor& welded, size_t count, size_t buffer) {
        const Accessor& accessor = asset_.accessors[welded.original];
        const json::Id original = doc_.at(asset_.array("accessors"), welded.original);
        const json::Id json = doc_.shallow_copy(original);
        doc_.set(json, "count", doc_.add_unsigned(count));
        if (accessor.hasView) {
            const size_t stride = welded.stride != accessor.elementSize ? welded.stride : 0;
            const int target = view_has_target(accessor.view) ? kArrayBuffer : 0;
            doc_.set(json, "bufferView",
                     add_view(buffer, std::move(welded.elements), stride, target));
            doc_.erase(json, "byteOffset");
        }
        doc_.erase(json, "sparse");
        if (!welded.sparseIndices.empty())
            doc_.set(json, "sparse",
                     sparse_json(doc_.find(original, "sparse"), welded, count, buffer));
        set_bounds(json, welded.bounds, accessor);
        return json;
    }

    json::Id indices_json(const Primitive& primitive, WeldedIndices& welded, size_t buffer) {
        const json::Id json =
            primitive.indexed
                ? doc_.shallow_copy(doc_.at(asset_.array("accessors"), primitive.indices))
                : doc_.add_object();
        const int target =
            !primitive.indexed || view_has_target(asset_.accessors[primitive.indices].view)
                ? kElementArrayBuffer
                : 0;
        doc_.set(json, "bufferView", add_view(buffer, std::move(welded.bytes), 0, target));
        doc_.erase(json, "byteOffset");
        doc_.set(json, "componentType", doc_.add_unsigned(uint64_t(welded.componentType)));
        doc_.set(json, "count", doc_.add_unsigned(welded.count));
        doc_.set(json, "type", doc_.add_string("SCALAR"));
        for (const auto& [key, value] :
             {std::pair{"min", welded.lowest}, std::pair{"max", welded.highest}})
            if (doc_.find(json, key) != json::kNone) {
                const json::Id bound = doc_.add_array();
                doc_.push_back(bound, doc_.add_unsigned(value));
                doc_.set(json, key, bound);
            }
        return json;
    }

    // A morph target left with no attribute gets a POSITION displacement of zero, an accessor
    // without data, so that it stays valid and its weights keep their meaning.
    json::Id zero_displacement(size_t count) {
        const json::Id json = doc_.add_object();
        doc_.set(json, "componentType", doc_.add_unsigned(kFloat));
        doc_.set(json, "count", doc_.add_unsigned(count));
        doc_.set(json, "type", doc_.add_string("VEC3"));
        for (const char* key : {"min", "max"}) {
            const json::Id zeros = doc_.add_array();
            for (int c = 0; c < 3; ++c)
                doc_.push_back(zeros, doc_.add_unsigned(0));
            doc_.set(json, key, zeros);
        }
        return place_accessor(SIZE_MAX, json);
    }

    // A new attributes object: the kept members in their order, each referring to the welded
    // accessor that replaces its own.
    json::Id rewrite_attributes(json::Id attributes,
                                const std::unordered_map<size_t, json::Id>& replacements) {
        const json::Id rewritten = doc_.add_object();
        for (size_t i = 0; i < doc_.member_count(attributes); ++i) {
            const std::string_view name = doc_.key(attributes, i);
            uint64_t accessor = 0;
            doc_.to_unsigned(doc_.value(attributes, i), accessor);
            if (keeps_gltf_attribute(selection_, name))
                doc_.append(rewritten, name, replacements.at(size_t(accessor)));
        }
        return rewritten;
    }

    void write_attributes(const Primitive& primitive,
                          const std::unordered_map<size_t, json::Id>& replacements,
                          size_t vertexCount) {
        doc_.set(primitive.json, "attributes",
                 rewrite_attributes(doc_.find(primitive.json, "attributes"), replacements));
        const json::Id targets = doc_.find(primitive.json, "targets");
        json::Id zero = json::kNone;
        for (size_t t = 0; t < primitive.targets; ++t) {
            const json::Id target = rewrite_attributes(doc_.at(targets, t), replacements);
            if (doc_.member_count(target) == 0) {
                if (zero == json::kNone)
                    zero = zero_displacement(vertexCount);
                doc_.append(target, "POSITION", zero);
            }
            doc_.set_at(targets, t, target);
        }
    }

    void write_group(const Group& group, WeldedGroup welded) {
        const size_t buffer = data_buffer(welded);
        const size_t count = welded.result.verticesAfter;
        std::unordered_map<size_t, json::Id> replacements; // original accessor -> its new one
        for (WeldedAccessor& accessor : welded.accessors)
            replacements.emplace(
                accessor.original,
                place_accessor(accessor.original, accessor_json(accessor, count, buffer)));
        for (size_t i = 0; i < group.primitives.size(); ++i) {
            const Primitive& primitive = asset_.primitives[group.primitives[i]];
            const size_t original = primitive.indexed ? primitive.indices : SIZE_MAX;
            write_attributes(primitive, replacements, count);
            doc_.set(primitive.json, "indices",
                     place_accessor(original, indices_json(primitive, welded.indices[i], buffer)));
        }
    }

    // Accessors that welded primitives used and nothing refers to any more go; accessors the
    // input had unused stay.
    void remove_unused_accessors(const std::vector<Group>& groups) {
        const json::Id list = asset_.array("accessors");
        if (groups.empty())
            return;
        std::vector<bool> wasWelded(doc_.size(list), false);
        for (const Group& group : groups)
            for (size_t p : group.primitives) {
                const Primitive& primitive = asset_.primitives[p];
                for (const Attribute& attribute : primitive.attributes)
                    wasWelded[attribute.accessor] = true;
                if (primitive.indexed)
                    wasWelded[primitive.indices] = true;
            }
        std::vector<bool> used(doc_.size(list), false);
        for_each_reference(doc_, Target::accessor, [&](const Slot& slot, const std::string&) {
            uint64_t index;
            if (doc_.to_unsigned(slot.get(doc_), index))
                used[size_t(index)] = true;
        });
        std::vector<size_t> newIndex(doc_.size(list));
        const json::Id kept = doc_.add_array();
        for (size_t i = 0; i < doc_.size(list); ++i) {
            newIndex[i] = doc_.size(kept);
            if (used[i] || !wasWelded[i])
                doc_.push_back(kept, doc_.at(list, i));
        }
        doc_.set(doc_.root(), "accessors", kept);
        for_each_reference(doc_, Target::accessor, [&](const Slot& slot, const std::string&) {
            uint64_t index;
            doc_.to_unsigned(slot.get(doc_), index);
            slot.set(doc_, doc_.add_unsigned(newIndex[size_t(index)]));
        });
    }

    Asset& asset_;
    json::Document& doc_;
    const AttributeSelection& selection_;
    const MergeLimits& merge_;
    bool keepAll_;
    std::vector<int> outsideReferences_;
    std::vector<bool> claimed_;
};

} // namespace

WeldReport weld_asset(Asset& asset, const AttributeSelection& selection, const MergeLimits& merge,
                      bool keepAll) {
    return AssetWelder(asset, selection, merge, keepAll).run();
}

} // namespace gltf
