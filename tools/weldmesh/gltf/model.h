// The glTF back-end's data model: the asset's JSON document, the bytes of its buffers, and the
// buffer views, accessors and primitives read from the document once validation has checked
// them. Every stage works on this model: reading fills the document and the buffers, validation
// the views, accessors and primitives; welding and writing read them.
#ifndef WELDMESH_GLTF_MODEL_H
#define WELDMESH_GLTF_MODEL_H

#include "bytes.h"
#include "json.h"
#include "mapped_file.h"
#include "tool_error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gltf {

// Component types.
const int kByte = 5120;
const int kUnsignedByte = 5121;
const int kShort = 5122;
const int kUnsignedShort = 5123;
const int kUnsignedInt = 5125;
const int kFloat = 5126;

// Primitive modes.
enum Mode { kPoints, kLines, kLineLoop, kLineStrip, kTriangles, kTriangleStrip, kTriangleFan };

// Buffer view targets.
const int kArrayBuffer = 34962;
const int kElementArrayBuffer = 34963;

// Bytes of one component, or 0 for a type glTF does not have.
size_t component_size(uint64_t componentType);
// Components of an accessor type ("VEC3"), or 0 for a type glTF does not have.
size_t component_count(std::string_view type);

struct Buffer {
    enum class Source {
        binChunk, // a glb's BIN chunk
        dataUri,  // base64 in the document
        file,     // a file beside the input
        none,     // no data: an extension provides it
        created,  // made by the weld for data that had no buffer
    };
    Source source = Source::none;
    std::string path;      // for files: where it was read
    std::string uriPrefix; // for data URIs: up to and including "base64,"
    std::vector<uint8_t> decoded;
    MappedFile file;
    const uint8_t* data = nullptr;
    size_t length = 0; // byteLength, which the data holds at least
};

struct View {
    size_t buffer = 0;
    size_t offset = 0;
    size_t length = 0;
    size_t stride = 0; // 0: the elements are tightly packed
};

// The elements an accessor replaces: `count` indices, ascending, and their values.
struct Sparse {
    size_t count = 0;
    size_t indicesView = 0;
    size_t indicesOffset = 0;
    size_t indexSize = 0; // 1, 2 or 4
    size_t valuesView = 0;
    size_t valuesOffset = 0;
};

struct Accessor {
    bool hasView = false; // without one, every element is zero (before sparse values)
    size_t view = 0;
    size_t offset = 0;
    size_t count = 0;
    int componentType = 0;
    size_t componentSize = 0;
    size_t components = 0;
    size_t elementSize = 0;
    size_t stride = 0; // bytes from one element to the next
    bool normalized = false;
    bool matrix = false;
    bool sparse = false;
    Sparse sparseData;
    // False when a buffer it reads holds no data (an extension provides it).
    bool readable = true;
};

// One attribute of a primitive: a base attribute (target -1) or a morph target's.
struct Attribute {
    int target;
    std::string name;
    size_t accessor;

    std::string label() const {
        return target < 0 ? name : "target " + std::to_string(target) + " " + name;
    }
};

struct Primitive {
    size_t mesh = 0;
    size_t index = 0;
    json::Id json = json::kNone;
    int mode = kTriangles;
    std::vector<Attribute>
        attributes; // base attributes first, POSITION foremost, in document order
    size_t targets = 0;
    bool indexed = false;
    size_t indices = 0;
};

// Bytes that are written before they are read: resizing leaves them as they are instead of
// zeroing them, a pass over memory the kernel has just zeroed.
template <typename T> struct UninitializedAllocator : std::allocator<T> {
    template <typename U> struct rebind { using other = UninitializedAllocator<U>; };
    template <typename U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Bytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

// A buffer view's bytes that the weld made, and the buffer they belong in.
struct NewView {
    size_t buffer;
    Bytes bytes;
};

struct Asset {
    std::string path;   // the input, which errors name
    std::string folder; // its folder, which relative URIs start from
    MappedFile input;   // the .gltf or .glb file
    const uint8_t* binChunk = nullptr;
    size_t binChunkSize = 0;
    bool hasBinChunk = false;
    json::Document json;
    std::vector<std::unique_ptr<Buffer>> buffers;
    std::vector<View> views;
    std::vector<Accessor> accessors;
    std::vector<Primitive> primitives;
    std::vector<std::string> meshNames;
    // Extensions the document uses that the tool does not know: while there are any, every
    // accessor, view and buffer stays in place, since one of them may refer to it.
    std::vector<std::string> unknownExtensions;
    std::vector<std::string> unknownRequiredExtensions;
    // Views the weld made, numbered from views.size() on.
    std::vector<NewView> newViews;
    // What the validator would flag but reading survives, one line each.
    std::vector<std::string> warnings;

    ToolError bad(const std::string& message) const {
        return ToolError(ErrorKind::badInput, path, message);
    }
    // The first byte of an accessor's elements; only for accessors with a view.
    const uint8_t* element_data(const Accessor& accessor) const {
        const View& view = views[accessor.view];
        return buffers[view.buffer]->data + view.offset + accessor.offset;
    }
    const uint8_t* view_data(size_t view) const {
        return buffers[views[view].buffer]->data + views[view].offset;
    }
    // Hands back the input pages of an accessor's elements once they are copied.
    void release(const Accessor& accessor) const;

    // A top-level array of the document, or kNone.
    json::Id array(std::string_view name) const { return json.find(json.root(), name); }
};

} // namespace gltf

#endif
