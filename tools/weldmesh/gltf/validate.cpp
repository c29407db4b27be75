#include "validate.h"

#include "references.h"

#include <algorithm>

namespace gltf {

namespace {

class Validator {
  public:
    explicit Validator(Asset& asset) : asset_(asset), doc_(asset.json) {}

    void run() {
        // Arrays whose members the later stages read or rewrite.
        for (const char* list : {"images", "skins", "animations", "nodes"})
            objects(doc_.root(), list, "");
        check_references();
        read_views();
        read_accessors();
        read_meshes();
        note_extensions();
    }

  private:
    // An optional member that must be a non-negative integer when present.
    uint64_t unsigned_member(json::Id object, const char* key, uint64_t fallback,
                             const std::string& what) const {
        const json::Id value = doc_.find(object, key);
        if (value == json::kNone)
            return fallback;
        uint64_t number;
        if (!doc_.to_unsigned(value, number))
            throw asset_.bad(what + " " + key + " is not a non-negative integer");
        return number;
    }

    uint64_t required_unsigned(json::Id object, const char* key, const std::string& what) const {
        if (doc_.find(object, key) == json::kNone)
            throw asset_.bad(what + " has no " + key);
        return unsigned_member(object, key, 0, what);
    }

    // A top-level array of objects, or kNone when the document has none.
    json::Id objects(json::Id parent, const char* key, const std::string& what) const {
        const json::Id list = doc_.find(parent, key);
        if (list == json::kNone)
            return list;
        if (!doc_.is(list, json::Kind::array))
            throw asset_.bad(what + key + " is not an array");
        for (size_t i = 0; i < doc_.size(list); ++i)
            if (!doc_.is(doc_.at(list, i), json::Kind::object))
                throw asset_.bad(what + key + " " + std::to_string(i) + " is not an object");
        return list;
    }

    size_t count_of(const char* array) const {
        const json::Id list = asset_.array(array);
        return doc_.is(list, json::Kind::array) ? doc_.size(list) : 0;
    }

    // Every accessor, view and buffer index the document holds, wherever it stands, before any
    // of them is followed.
    void check_references() const {
        const struct {
            Target target;
            const char* array;
            const char* noun;
        } targets[] = {{Target::accessor, "accessors", "accessors"},
                       {Target::view, "bufferViews", "buffer views"},
                       {Target::buffer, "buffers", "buffers"}};
        for (const auto& target : targets) {
            const size_t count = count_of(target.array);
            for_each_reference(doc_, target.target, [&](const Slot& slot, const std::string& path) {
                uint64_t index;
                if (!doc_.to_unsigned(slot.get(doc_), index))
                    throw asset_.bad(path + " is not a non-negative integer");
                if (index >= count)
                    throw asset_.bad(path + " is " + std::to_string(index) + ", past the " +
                                     std::to_string(count) + " " + target.noun);
            });
        }
    }

    void read_views() {
        const json::Id list = objects(doc_.root(), "bufferViews", "");
        for (size_t i = 0; list != json::kNone && i < doc_.size(list); ++i) {
            const std::string what = "bufferView " + std::to_string(i);
            const json::Id json = doc_.at(list, i);
            View view;
            view.buffer = size_t(required_unsigned(json, "buffer", what));
            view.offset = size_t(unsigned_member(json, "byteOffset", 0, what));
            view.length = size_t(required_unsigned(json, "byteLength", what));
            view.stride = size_t(unsigned_member(json, "byteStride", 0, what));
            const size_t size = asset_.buffers[view.buffer]->length;
            if (view.offset > size || view.length > size - view.offset)
                throw asset_.bad(what + " (bytes " + std::to_string(view.offset) + " to " +
                                 std::to_string(view.offset + view.length) + ") runs past buffer " +
                                 std::to_string(view.buffer) + " (" + std::to_string(size) +
                                 " bytes)");
            if (doc_.find(json, "byteStride") != json::kNone &&
                (view.stride < 4 || view.stride > 252 || view.stride % 4 != 0))
                asset_.warnings.push_back(what + " has a byteStride of " +
                                          std::to_string(view.stride) +
                                          ", not a multiple of 4 from 4 to 252");
            asset_.views.push_back(view);
        }
    }

    bool has_data(size_t view) const {
        return asset_.buffers[asset_.views[view].buffer]->source != Buffer::Source::none;
    }

    // `count` elements of `size` bytes, `stride` apart, from `offset` in view `view`.
    void check_range(size_t view, size_t offset, size_t count, size_t size, size_t stride,
                     const std::string& what) const {
        const size_t length = asset_.views[view].length;
        const size_t room = length >= offset ? length - offset : 0;
        if (room < size || (room - size) / stride < count - 1)
            throw asset_.bad(what + " (" + std::to_string(count) + " elements of " +
                             std::to_string(size) + " bytes from byte " + std::to_string(offset) +
                             ") runs past bufferView " + std::to_string(view) + " (" +
                             std::to_string(length) + " bytes)");
    }

    void read_sparse(Accessor& accessor, json::Id json, const std::string& what) {
        const std::string where = what + " sparse";
        if (!doc_.is(json, json::Kind::object))
            throw asset_.bad(where + " is not an object");
        Sparse& sparse = accessor.sparseData;
        sparse.count = size_t(required_unsigned(json, "count", where));
        if (sparse.count == 0 || sparse.count > accessor.count)
            throw asset_.bad(where + " count " + std::to_string(sparse.count) +
                             " is not from 1 to the accessor's " + std::to_string(accessor.count));
        const json::Id indices = doc_.find(json, "indices");
        const json::Id values = doc_.find(json, "values");
        if (!doc_.is(indices, json::Kind::object) || !doc_.is(values, json::Kind::object))
            throw asset_.bad(where + " lacks indices or values");
        sparse.indicesView = size_t(required_unsigned(indices, "bufferView", where + " indices"));
        sparse.indicesOffset =
            size_t(unsigned_member(indices, "byteOffset", 0, where + " indices"));
        const uint64_t type = required_unsigned(indices, "componentType", where + " indices");
        sparse.indexSize = type == kUnsignedByte || type == kUnsignedShort || type == kUnsignedInt
                               ? component_size(type)
                               : 0;
        if (sparse.indexSize == 0)
            throw asset_.bad(where + " indices are not of an unsigned integer type");
        sparse.valuesView = size_t(required_unsigned(values, "bufferView", where + " values"));
        sparse.valuesOffset = size_t(unsigned_member(values, "byteOffset", 0, where + " values"));
        check_range(sparse.indicesView, sparse.indicesOffset, sparse.count, sparse.indexSize,
                    sparse.indexSize, where + " indices");
        check_range(sparse.valuesView, sparse.valuesOffset, sparse.count, accessor.elementSize,
                    accessor.elementSize, where + " values");
        if (!has_data(sparse.indicesView) || !has_data(sparse.valuesView)) {
            accessor.readable = false;
            return;
        }
        const uint8_t* at = asset_.view_data(sparse.indicesView) + sparse.indicesOffset;
        uint64_t previous = 0;
        for (size_t i = 0; i < sparse.count; ++i, at += sparse.indexSize) {
            const uint32_t index = read_index(at, sparse.indexSize);
            if (index >= accessor.count || (i > 0 && index <= previous))
                throw asset_.bad(where + " index " + std::to_string(index) + " at " +
                                 std::to_string(i) +
                                 (index >= accessor.count ? " is past the accessor's count"
                                                          : " does not increase"));
            previous = index;
        }
    }

    void read_accessors() {
        const json::Id list = objects(doc_.root(), "accessors", "");
        for (size_t i = 0; list != json::kNone && i < doc_.size(list); ++i) {
            const std::string what = "accessor " + std::to_string(i);
            const json::Id json = doc_.at(list, i);
            Accessor accessor;
            accessor.count = size_t(required_unsigned(json, "count", what));
            const uint64_t componentType = required_unsigned(json, "componentType", what);
            accessor.componentSize = component_size(componentType);
            accessor.componentType = int(componentType);
            const json::Id type = doc_.find(json, "type");
            accessor.components =
                doc_.is(type, json::Kind::string) ? component_count(doc_.text(type)) : 0;
            if (accessor.componentSize == 0 || accessor.components == 0 || accessor.count == 0)
                throw asset_.bad(what + " has an unknown component type, type or no elements");
            accessor.matrix = doc_.text(type)[0] == 'M';
            accessor.elementSize = accessor.componentSize * accessor.components;
            const json::Id normalized = doc_.find(json, "normalized");
            accessor.normalized =
                doc_.is(normalized, json::Kind::boolean) && doc_.truth(normalized);
            accessor.hasView = doc_.find(json, "bufferView") != json::kNone;
            accessor.stride = accessor.elementSize;
            if (accessor.hasView) {
                accessor.view = size_t(required_unsigned(json, "bufferView", what));
                accessor.offset = size_t(unsigned_member(json, "byteOffset", 0, what));
                const View& view = asset_.views[accessor.view];
                accessor.stride = view.stride ? view.stride : accessor.elementSize;
                if (accessor.stride < accessor.elementSize)
                    throw asset_.bad(what + ": byteStride " + std::to_string(view.stride) +
                                     " is smaller than an element");
                check_range(accessor.view, accessor.offset, accessor.count, accessor.elementSize,
                            accessor.stride, what);
                if ((view.offset + accessor.offset) % accessor.componentSize != 0 ||
                    accessor.stride % accessor.componentSize != 0)
                    asset_.warnings.push_back(what + " is not aligned to its component size");
                accessor.readable = has_data(accessor.view);
            }
            const json::Id sparse = doc_.find(json, "sparse");
            accessor.sparse = sparse != json::kNone;
            if (accessor.sparse)
                read_sparse(accessor, sparse, what);
            asset_.accessors.push_back(accessor);
        }
    }

    size_t accessor_index(json::Id value) const {
        uint64_t index = 0;
        doc_.to_unsigned(value, index); // checked with every other reference
        return size_t(index);
    }

    void add_attributes(Primitive& primitive, json::Id attributes, int target,
                        const std::string& what) const {
        if (!doc_.is(attributes, json::Kind::object))
            throw asset_.bad(what + (target < 0 ? " attributes" : " targets") +
                             " are not an object");
        for (size_t i = 0; i < doc_.member_count(attributes); ++i)
            primitive.attributes.push_back({target, std::string(doc_.key(attributes, i)),
                                            accessor_index(doc_.value(attributes, i))});
    }

    void check_indices(const Primitive& primitive, const std::string& what) const {
        const Accessor& accessor = asset_.accessors[primitive.indices];
        const int type = accessor.componentType;
        if (accessor.components != 1 ||
            (type != kUnsignedByte && type != kUnsignedShort && type != kUnsignedInt))
            throw asset_.bad(what + ": indices are not unsigned integer scalars");
        if (!accessor.hasView || !accessor.readable || accessor.sparse ||
            primitive.attributes.empty())
            return;
        const size_t vertexCount = asset_.accessors[primitive.attributes.front().accessor].count;
        const uint8_t* base = asset_.element_data(accessor);
        for (size_t i = 0; i < accessor.count; ++i) {
            const uint32_t index = read_index(base + i * accessor.stride, accessor.componentSize);
            if (index >= vertexCount)
                throw asset_.bad(what + ": index " + std::to_string(index) + " at corner " +
                                 std::to_string(i) + " is past the vertex count " +
                                 std::to_string(vertexCount));
        }
    }

    void check_counts(const Primitive& primitive, const std::string& what) const {
        for (const Attribute& attribute : primitive.attributes) {
            const Attribute& first = primitive.attributes.front();
            const size_t count = asset_.accessors[attribute.accessor].count;
            const size_t expected = asset_.accessors[first.accessor].count;
            if (count != expected)
                throw asset_.bad(what + ": " + attribute.label() + " has " + std::to_string(count) +
                                 " elements, " + first.label() + " " + std::to_string(expected));
        }
    }

    Primitive read_primitive(json::Id json, size_t mesh, size_t index) const {
        const std::string what =
            "mesh " + std::to_string(mesh) + " primitive " + std::to_string(index);
        Primitive primitive;
        primitive.mesh = mesh;
        primitive.index = index;
        primitive.json = json;
        primitive.mode = int(unsigned_member(json, "mode", kTriangles, what));
        if (primitive.mode > kTriangleFan)
            throw asset_.bad(what + " mode " + std::to_string(primitive.mode) +
                             " is not a glTF primitive mode");
        add_attributes(primitive, doc_.find(json, "attributes"), -1, what);
        // POSITION first: the summary and the count check name it.
        std::stable_partition(primitive.attributes.begin(), primitive.attributes.end(),
                              [](const Attribute& a) { return a.name == "POSITION"; });
        const json::Id targets = objects(json, "targets", what + " ");
        for (size_t t = 0; targets != json::kNone && t < doc_.size(targets); ++t)
            add_attributes(primitive, doc_.at(targets, t), int(t), what);
        primitive.targets = targets == json::kNone ? 0 : doc_.size(targets);
        check_counts(primitive, what);
        const json::Id indices = doc_.find(json, "indices");
        primitive.indexed = indices != json::kNone;
        if (primitive.indexed) {
            primitive.indices = accessor_index(indices);
            check_indices(primitive, what);
        }
        return primitive;
    }

    void read_meshes() {
        const json::Id meshes = objects(doc_.root(), "meshes", "");
        for (size_t m = 0; meshes != json::kNone && m < doc_.size(meshes); ++m) {
            const json::Id mesh = doc_.at(meshes, m);
            const json::Id name = doc_.find(mesh, "name");
            asset_.meshNames.emplace_back(doc_.is(name, json::Kind::string) ? doc_.text(name) : "");
            const std::string what = "mesh " + std::to_string(m) + " ";
            const json::Id primitives = objects(mesh, "primitives", what);
            if (primitives == json::kNone)
                throw asset_.bad(what + "has no primitives");
            for (size_t p = 0; p < doc_.size(primitives); ++p)
                asset_.primitives.push_back(read_primitive(doc_.at(primitives, p), m, p));
        }
    }

    void note_extensions() {
        for (const std::string& name : used_extensions(doc_))
            if (!is_known_extension(name))
                asset_.unknownExtensions.push_back(name);
        for (const std::string& name : required_extensions(doc_))
            if (!is_known_extension(name))
                asset_.unknownRequiredExtensions.push_back(name);
    }

    Asset& asset_;
    const json::Document& doc_;
};

} // namespace

void validate(Asset& asset) {
    Validator(asset).run();
}

} // namespace gltf
