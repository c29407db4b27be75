#include "gltf_backend.h"

#include "weldmesh.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

namespace fs = std::filesystem;

// ordered_json keeps the members in the order the file has them; numbers are kept as the
// integers or doubles they were parsed as and printed back as text that reads back to the
// same value.
using Json = nlohmann::ordered_json;

namespace {

// Thrown for input the back-end cannot take; caught at the public entry points.
struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const uint32_t kGlbMagic = 0x46546C67;
const uint32_t kChunkJson = 0x4E4F534A;
const uint32_t kChunkBin = 0x004E4942;
const int kTriangles = 4;
const int kFloat = 5126;
const int kUnsignedByte = 5121;
const int kUnsignedShort = 5123;
const int kUnsignedInt = 5125;
const int kArrayBufferTarget = 34962;
const int kElementArrayBufferTarget = 34963;

std::string lower_extension(const std::string& path) {
    std::string extension = fs::path(path).extension().string();
    for (char& c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

uint32_t read_u32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

size_t align4(size_t n) {
    return (n + 3) & ~size_t(3);
}

// A whole file mapped read-only. Pages read once can be handed back to the kernel, which
// rereads them from the file if they are touched again.
class MappedFile {
  public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (size_ > 0)
            munmap(const_cast<uint8_t*>(data_), size_);
    }

    void open(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            const std::string reason = fd < 0 ? std::strerror(errno) : "not a regular file";
            if (fd >= 0)
                close(fd);
            throw BadInput("cannot open: " + reason);
        }
        size_ = size_t(info.st_size);
        if (size_ > 0) {
            void* map = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
            if (map == MAP_FAILED) {
                size_ = 0;
                close(fd);
                throw BadInput(std::string("cannot read: ") + std::strerror(errno));
            }
            data_ = static_cast<const uint8_t*>(map);
        }
        close(fd);
    }

    void release(const uint8_t* begin, size_t length) const {
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        const uintptr_t first = (uintptr_t(begin) + page - 1) & ~(page - 1);
        const uintptr_t last = (uintptr_t(begin) + length) & ~(page - 1);
        if (size_ > 0 && begin >= data_ && begin + length <= data_ + size_ && last > first)
            madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// --- JSON access that checks what it reads -------------------------------------------------

const Json& member(const Json& object, const char* key, const std::string& what) {
    if (!object.is_object() || !object.contains(key))
        throw BadInput(what + " has no '" + key + "'");
    return object[key];
}

uint64_t unsigned_of(const Json& value, const std::string& what) {
    if (!value.is_number_unsigned())
        throw BadInput(what + " is not a non-negative integer");
    return value.get<uint64_t>();
}

uint64_t unsigned_member(const Json& object, const char* key, uint64_t fallback,
                         const std::string& what) {
    if (!object.is_object() || !object.contains(key))
        return fallback;
    return unsigned_of(object[key], what + " " + key);
}

size_t index_of(const Json& value, size_t count, const std::string& what) {
    const uint64_t index = unsigned_of(value, what);
    if (index >= count)
        throw BadInput(what + " " + std::to_string(index) + " is past the " +
                       std::to_string(count) + " there are");
    return size_t(index);
}

const Json& array_member(const Json& object, const char* key) {
    static const Json empty = Json::array();
    if (!object.is_object() || !object.contains(key))
        return empty;
    if (!object[key].is_array())
        throw BadInput(std::string("'") + key + "' is not an array");
    return object[key];
}

// --- URIs ---------------------------------------------------------------------------------

bool has_scheme(const std::string& uri) {
    const size_t colon = uri.find(':');
    return colon != std::string::npos && colon > 0 && uri.find_first_of("/?#") > colon &&
           std::isalpha(static_cast<unsigned char>(uri[0]));
}

std::string percent_decode(const std::string& uri) {
    std::string decoded;
    for (size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && std::isxdigit((unsigned char)uri[i + 1]) &&
            std::isxdigit((unsigned char)uri[i + 2])) {
            decoded += char(std::stoi(uri.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += uri[i];
        }
    }
    return decoded;
}

std::string percent_encode(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("-._~/!$&'()*+,;=@", c))
            encoded += char(c);
        else
            encoded += {'%', hex[c >> 4], hex[c & 15]};
    }
    return encoded;
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<uint8_t> base64_decode(const std::string& text, size_t start, const std::string& what) {
    int values[256];
    std::fill(values, values + 256, -1);
    for (int i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(kBase64[i])] = i;
    std::vector<uint8_t> bytes;
    bytes.reserve((text.size() - start) / 4 * 3);
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = start; i < text.size() && text[i] != '='; ++i) {
        const int value = values[static_cast<unsigned char>(text[i])];
        if (value < 0)
            throw BadInput(what + ": data URI is not base64");
        bits = (bits << 6) | uint32_t(value);
        if (++count == 4) {
            bytes.push_back(uint8_t(bits >> 16));
            bytes.push_back(uint8_t(bits >> 8));
            bytes.push_back(uint8_t(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 2)
        bytes.push_back(uint8_t(bits >> 4));
    else if (count == 3) {
        bytes.push_back(uint8_t(bits >> 10));
        bytes.push_back(uint8_t(bits >> 2));
    }
    return bytes;
}

std::string base64_encode(const uint8_t* data, size_t size) {
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t bits = uint32_t(data[i]) << 16 | (i + 1 < size ? data[i + 1] << 8 : 0) |
                              (i + 2 < size ? data[i + 2] : 0);
        text += kBase64[bits >> 18];
        text += kBase64[(bits >> 12) & 63];
        text += i + 1 < size ? kBase64[(bits >> 6) & 63] : '=';
        text += i + 2 < size ? kBase64[bits & 63] : '=';
    }
    return text;
}

// The URI of a file that `uri` names from `fromDir`, as seen from `toDir`.
std::string rebased_uri(const std::string& uri, const fs::path& fromDir, const fs::path& toDir) {
    if (uri.empty() || has_scheme(uri) || uri[0] == '/')
        return uri;
    std::error_code error;
    const fs::path from =
        fs::weakly_canonical(fs::absolute(fromDir.empty() ? "." : fromDir), error);
    const fs::path to = fs::weakly_canonical(fs::absolute(toDir.empty() ? "." : toDir), error);
    if (from == to)
        return uri;
    const fs::path target = (from / percent_decode(uri)).lexically_normal();
    return percent_encode(target.lexically_relative(to).generic_string());
}

// --- the asset's data -----------------------------------------------------------------------

struct Buffer {
    enum class Source { glbChunk, dataUri, file } source = Source::glbChunk;
    std::string dataUriPrefix; // up to and including "base64,"
    std::string path;          // for files
    size_t number = 0;         // its place in the input, which names its output file
    MappedFile file;
    std::vector<uint8_t> decoded;
    const uint8_t* data = nullptr;
    size_t size = 0; // the declared byteLength, checked against the data
};

struct View {
    size_t buffer = 0;
    size_t offset = 0;
    size_t length = 0;
    size_t stride = 0; // 0: tightly packed
};

struct Accessor {
    bool hasView = false;
    bool sparse = false;
    bool matrix = false;
    size_t view = 0;
    size_t offset = 0;
    size_t count = 0;
    int componentType = 0;
    size_t componentSize = 0;
    size_t elementSize = 0;
    size_t stride = 0;
};

size_t component_size(int componentType) {
    switch (componentType) {
    case 5120:
    case kUnsignedByte:
        return 1;
    case 5122:
    case kUnsignedShort:
        return 2;
    case kUnsignedInt:
    case kFloat:
        return 4;
    default:
        return 0;
    }
}

size_t component_count(const std::string& type) {
    static const std::map<std::string, size_t> counts = {{"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3},
                                                         {"VEC4", 4},   {"MAT2", 4}, {"MAT3", 9},
                                                         {"MAT4", 16}};
    const auto found = counts.find(type);
    return found == counts.end() ? 0 : found->second;
}

// One attribute of a primitive: the base attributes first, then each morph target's.
struct AttributeRef {
    int target; // -1 for the base attributes
    std::string name;
    size_t accessor;
    bool kept;

    std::string label() const {
        return target < 0 ? name : "target " + std::to_string(target) + " " + name;
    }
    bool operator<(const AttributeRef& other) const {
        return std::tie(target, name, accessor) <
               std::tie(other.target, other.name, other.accessor);
    }
};

bool attribute_selected(const std::string& name, const AttributeSelection& selection) {
    auto set_of = [&](const char* prefix) {
        return std::strtoul(name.c_str() + std::strlen(prefix), nullptr, 10);
    };
    if (name == "POSITION" || name.rfind("JOINTS_", 0) == 0 || name.rfind("WEIGHTS_", 0) == 0)
        return true;
    if (name == "NORMAL" || name == "TANGENT")
        return selection.normals;
    if (name.rfind("TEXCOORD_", 0) == 0)
        return selection.uvSets == AttributeSelection{}.uvSets ||
               set_of("TEXCOORD_") < selection.uvSets;
    if (name.rfind("COLOR_", 0) == 0)
        return selection.colorSets == AttributeSelection{}.colorSets ||
               set_of("COLOR_") < selection.colorSets;
    const AttributeSelection all;
    return selection.normals == all.normals && selection.uvSets == all.uvSets &&
           selection.colorSets == all.colorSets;
}

// A morph target must keep an attribute (animations count the targets, so it cannot go): one
// that --attributes would empty keeps all of its own.
void keep_every_target_something(std::vector<AttributeRef>& attributes, size_t targets) {
    for (size_t t = 0; t < targets; ++t) {
        auto ofTarget = [&](const AttributeRef& a) { return a.target == int(t); };
        auto kept = [&](const AttributeRef& a) { return ofTarget(a) && a.kept; };
        if (std::none_of(attributes.begin(), attributes.end(), kept))
            for (AttributeRef& attribute : attributes)
                attribute.kept = attribute.kept || ofTarget(attribute);
    }
}

struct Primitive {
    size_t mesh;
    size_t index;
    std::vector<AttributeRef> attributes;
    bool indexed = false;
    size_t indices = 0;
};

// A primitive's corners: its indices, or 0 to count - 1 for an unindexed one, which stores none.
struct Corners {
    std::vector<uint32_t> indices;
    size_t count;
    uint32_t operator[](size_t i) const { return indices.empty() ? uint32_t(i) : indices[i]; }
};

// Primitives welded together because they share every vertex attribute accessor.
struct Group {
    std::vector<Primitive> primitives;
};

// One channel of the weld key: an attribute's bytes as the welder's floats. The welder compares
// floats, which is comparing bits but for -0 (equal to +0) and NaN (equal to nothing). So the
// 4-byte words of an attribute go in as floats, each -0 or NaN pattern among them replaced by a
// stand-in: one of the 256 largest finite floats that the attribute does not hold. Attributes
// whose elements are not whole words, or that hold too many such patterns, go in as 16-bit
// pieces, each an exact small float.
struct Channel {
    size_t accessor;
    bool words;
    size_t floats;
    std::vector<uint32_t> specials; // the -0 and NaN patterns the attribute holds
    std::vector<uint32_t> standIns; // and what stands for each in the key
};

const uint32_t kFirstStandIn = 0x7F7FFF00u;
const uint32_t kLastStandIn = 0x7F7FFFFFu; // the largest finite float
const size_t kMaxStandIns = kLastStandIn - kFirstStandIn + 1;

bool compares_unlike_bits(uint32_t bits) {
    return bits == 0x80000000u || (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

size_t position_of(const std::vector<uint32_t>& list, uint32_t value) {
    return size_t(std::find(list.begin(), list.end(), value) - list.begin());
}

// What one range of an attribute's words holds that the key must know of.
struct WordScan {
    std::vector<uint32_t> specials; // distinct -0 and NaN patterns, at most kMaxStandIns + 1
    std::vector<bool> taken = std::vector<bool>(kMaxStandIns, false); // stand-ins the data holds
};

void scan_words(WordScan& scan, const Accessor& accessor, const uint8_t* base, size_t begin,
                size_t end) {
    const size_t words = accessor.elementSize / 4;
    for (size_t v = begin; v < end; ++v) {
        const uint8_t* element = base + v * accessor.stride;
        for (size_t i = 0; i < words; ++i) {
            const uint32_t bits = read_u32(element + 4 * i);
            // One test keeps ordinary values on the fast path.
            if ((bits & 0x7FFFFFFFu) < kFirstStandIn && bits != 0x80000000u)
                continue;
            if (bits >= kFirstStandIn && bits <= kLastStandIn)
                scan.taken[bits - kFirstStandIn] = true;
            else if (compares_unlike_bits(bits) &&
                     position_of(scan.specials, bits) == scan.specials.size() &&
                     scan.specials.size() <= kMaxStandIns)
                scan.specials.push_back(bits);
        }
    }
}

// Chooses the channel's stand-ins from the scans of its ranges, or makes it a channel of
// 16-bit pieces when the attribute holds more patterns than there are stand-ins free.
void plan_channel(Channel& channel, const Accessor& accessor, const WordScan* scans, size_t count) {
    std::vector<bool> taken(kMaxStandIns, false);
    for (size_t s = 0; s < count; ++s) {
        for (size_t k = 0; k < kMaxStandIns; ++k)
            taken[k] = taken[k] || scans[s].taken[k];
        for (uint32_t bits : scans[s].specials)
            if (position_of(channel.specials, bits) == channel.specials.size())
                channel.specials.push_back(bits);
    }
    for (size_t k = 0; k < kMaxStandIns && channel.standIns.size() < channel.specials.size(); ++k)
        if (!taken[k])
            channel.standIns.push_back(kFirstStandIn + uint32_t(k));
    if (channel.standIns.size() < channel.specials.size()) {
        channel.words = false;
        channel.floats = (accessor.elementSize + 1) / 2;
        channel.specials.clear();
        channel.standIns.clear();
    }
}

// Copies vertices [begin, end) of an attribute into its key channel, from row 0 of `key`.
void put_channel(float* key, size_t floatsPerVertex, const Channel& channel,
                 const Accessor& accessor, const uint8_t* base, size_t begin, size_t end) {
    for (size_t v = begin; v < end; ++v) {
        const uint8_t* element = base + v * accessor.stride;
        float* dst = key + (v - begin) * floatsPerVertex;
        if (!channel.words) {
            for (size_t i = 0; i < channel.floats; ++i) {
                uint16_t piece = element[2 * i];
                if (2 * i + 1 < accessor.elementSize)
                    piece = uint16_t(piece | element[2 * i + 1] << 8);
                dst[i] = float(piece);
            }
            continue;
        }
        for (size_t i = 0; i < channel.floats; ++i) {
            uint32_t bits = read_u32(element + 4 * i);
            if (!channel.specials.empty() && compares_unlike_bits(bits))
                bits = channel.standIns[position_of(channel.specials, bits)];
            std::memcpy(dst + i, &bits, 4);
        }
    }
}

// Runs f(begin, end) on the two halves of [0, count) at once, on this thread and one more, or
// on the whole range where it is too small to gain from that.
const size_t kHalvesFrom = 65536;

template <typename F> void on_halves(size_t count, F f) {
    const size_t half = count / 2;
    if (count < kHalvesFrom) {
        f(0, count, 0);
        return;
    }
    std::thread other(f, half, count, 1);
    f(0, half, 0);
    other.join();
}

void get_channel(uint8_t* element, const float* src, const Channel& channel, size_t elementSize) {
    if (channel.words) {
        std::memcpy(element, src, elementSize);
        for (size_t i = 0; !channel.specials.empty() && i < channel.floats; ++i) {
            uint32_t bits;
            std::memcpy(&bits, src + i, 4);
            if (bits >= kFirstStandIn && bits <= kLastStandIn) {
                const size_t k = position_of(channel.standIns, bits);
                if (k < channel.standIns.size())
                    std::memcpy(element + 4 * i, &channel.specials[k], 4);
            }
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

// A run of bytes that goes at `offset` in an output buffer.
struct Piece {
    const uint8_t* data;
    size_t size;
    size_t offset;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using MallocArray = std::unique_ptr<T[], FreeDeleter>;

// Uninitialised on purpose: the welder's output array needs room for every vertex but is
// written only as far as the distinct ones reach, and pages never touched cost no memory.
// Large arrays ask for huge pages, which take the kernel far fewer faults to hand out.
template <typename T> MallocArray<T> allocate(size_t count, const std::string& what) {
    T* p = static_cast<T*>(std::malloc(std::max<size_t>(count, 1) * sizeof(T)));
    if (!p)
        throw BadInput(what + ": out of memory");
    const uintptr_t huge = 2u << 20;
    const uintptr_t first = (uintptr_t(p) + huge - 1) & ~(huge - 1);
    const uintptr_t last = (uintptr_t(p) + count * sizeof(T)) & ~(huge - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    return MallocArray<T>(p);
}

} // namespace

struct GltfAsset::Impl {
    std::string inputPath;
    fs::path inputDir;
    MappedFile input;
    bool hasBinChunk = false;
    const uint8_t* binChunk = nullptr;
    size_t binChunkSize = 0;
    Json doc;
    std::vector<std::unique_ptr<Buffer>> buffers;
    std::vector<View> views;
    std::vector<Accessor> accessors;

    // Filled by weld(): the new buffer views' bytes, and each buffer's contents in order.
    struct NewView {
        size_t buffer;
        std::vector<uint8_t> bytes;
    };
    std::vector<NewView> newViews;
    std::vector<std::vector<Piece>> pieces;

    void read(const std::string& path);
    void read_glb();
    void read_buffers();
    void read_views();
    void read_accessors();
    const uint8_t* accessor_data(const Accessor& accessor) const {
        const View& view = views[accessor.view];
        return buffers[view.buffer]->data + view.offset + accessor.offset;
    }
    void release(const Accessor& accessor) const {
        const Buffer& buffer = *buffers[views[accessor.view].buffer];
        const uint8_t* data = accessor_data(accessor);
        buffer.file.release(data, accessor.stride * (accessor.count - 1) + accessor.elementSize);
        input.release(data, accessor.stride * (accessor.count - 1) + accessor.elementSize);
    }

    void weld(const AttributeSelection& selection, WeldReport& report);
    std::string skip_reason(const Json& primitive) const;
    Corners corners_of(const Primitive& primitive, size_t vertexCount) const;
    MallocArray<float> build_key(std::vector<Channel>& channels, size_t vertexCount,
                                 size_t& floatsPerVertex, const std::string& what) const;
    void weld_group(const Group& group, std::vector<Json>& originals, std::vector<bool>& claimed,
                    const std::vector<bool>& pinned, WeldReport& report);
    size_t place_accessor(size_t original, Json updated, std::vector<bool>& claimed,
                          const std::vector<bool>& pinned);
    void remove_accessors(const std::vector<bool>& remove);
    void compact_buffers();

    std::string buffer_file_name(const std::string& outputPath, size_t buffer) const;
    bool buffer_is_external(size_t buffer, bool glbOutput) const;
};

namespace {

template <typename F> void for_each_primitive_accessor(Json& primitive, F f) {
    if (primitive.contains("indices"))
        f(primitive["indices"]);
    if (primitive.contains("attributes") && primitive["attributes"].is_object())
        for (auto& item : primitive["attributes"].items())
            f(item.value());
    if (primitive.contains("targets") && primitive["targets"].is_array())
        for (Json& target : primitive["targets"])
            if (target.is_object())
                for (auto& item : target.items())
                    f(item.value());
}

template <typename F> void for_each_primitive(Json& doc, F f) {
    if (doc.contains("meshes"))
        for (Json& mesh : doc["meshes"])
            if (mesh.contains("primitives"))
                for (Json& primitive : mesh["primitives"])
                    f(primitive);
}

// Every accessor reference the asset has outside mesh primitives.
template <typename F> void for_each_other_accessor(Json& doc, F f) {
    if (doc.contains("skins") && doc["skins"].is_array())
        for (Json& skin : doc["skins"])
            if (skin.is_object() && skin.contains("inverseBindMatrices"))
                f(skin["inverseBindMatrices"]);
    if (doc.contains("animations") && doc["animations"].is_array())
        for (Json& animation : doc["animations"])
            if (animation.is_object() && animation.contains("samplers"))
                for (Json& sampler : animation["samplers"])
                    for (const char* key : {"input", "output"})
                        if (sampler.is_object() && sampler.contains(key))
                            f(sampler[key]);
    if (doc.contains("nodes") && doc["nodes"].is_array())
        for (Json& node : doc["nodes"])
            if (node.is_object() && node.contains("extensions") &&
                node["extensions"].contains("EXT_mesh_gpu_instancing")) {
                Json& instancing = node["extensions"]["EXT_mesh_gpu_instancing"];
                if (instancing.contains("attributes"))
                    for (auto& item : instancing["attributes"].items())
                        f(item.value());
            }
}

// Extensions refer to buffer views by a member named "bufferView" (compressed meshes, images in
// other formats), so every such member below an "extensions" object is a reference.
template <typename F>
void for_each_extension_member(Json& value, bool inExtensions, const char* key, F f) {
    if (value.is_object()) {
        for (auto& item : value.items()) {
            if (inExtensions && item.key() == key && item.value().is_number_unsigned())
                f(item.value());
            else
                for_each_extension_member(item.value(), inExtensions || item.key() == "extensions",
                                          key, f);
        }
    } else if (value.is_array()) {
        for (Json& element : value)
            for_each_extension_member(element, inExtensions, key, f);
    }
}

template <typename F> void for_each_view_reference(Json& doc, F f) {
    if (doc.contains("accessors"))
        for (Json& accessor : doc["accessors"]) {
            if (accessor.contains("bufferView"))
                f(accessor["bufferView"]);
            if (accessor.contains("sparse"))
                for (const char* part : {"indices", "values"})
                    if (accessor["sparse"].contains(part) &&
                        accessor["sparse"][part].contains("bufferView"))
                        f(accessor["sparse"][part]["bufferView"]);
        }
    if (doc.contains("images"))
        for (Json& image : doc["images"])
            if (image.contains("bufferView"))
                f(image["bufferView"]);
    for_each_extension_member(doc, false, "bufferView", f);
}

} // namespace

void GltfAsset::Impl::read(const std::string& path) {
    inputPath = path;
    inputDir = fs::path(path).parent_path();
    input.open(path);
    try {
        if (lower_extension(path) == ".glb") {
            read_glb();
        } else {
            const char* text = reinterpret_cast<const char*>(input.data());
            doc = Json::parse(text, text + input.size());
        }
    } catch (const Json::parse_error& e) {
        std::string message = e.what();
        const size_t bracket = message.find("] ");
        throw BadInput("malformed JSON: " +
                       (bracket == std::string::npos ? message : message.substr(bracket + 2)));
    }
    if (!doc.is_object())
        throw BadInput("malformed glTF: the document is not a JSON object");
    const Json& asset = member(doc, "asset", "the document");
    const Json& version = member(asset, "version", "asset");
    if (!version.is_string() || version.get<std::string>().rfind("2.", 0) != 0)
        throw BadInput("not a glTF 2 asset");
    read_buffers();
    read_views();
    read_accessors();
}

void GltfAsset::Impl::read_glb() {
    const uint8_t* data = input.data();
    const size_t size = input.size();
    if (size < 20)
        throw BadInput("truncated glb: " + std::to_string(size) + " bytes, no room for a header");
    if (read_u32(data) != kGlbMagic)
        throw BadInput("not a glb file (no 'glTF' magic)");
    if (read_u32(data + 4) != 2)
        throw BadInput("glb version " + std::to_string(read_u32(data + 4)) + ", expected 2");
    const size_t length = read_u32(data + 8);
    if (length > size)
        throw BadInput("truncated glb: the header says " + std::to_string(length) +
                       " bytes, the file has " + std::to_string(size));
    const size_t jsonLength = read_u32(data + 12);
    if (read_u32(data + 16) != kChunkJson)
        throw BadInput("malformed glb: the first chunk is not JSON");
    if (jsonLength > length - 20)
        throw BadInput("truncated glb: the JSON chunk runs past the end of the file");
    const char* text = reinterpret_cast<const char*>(data + 20);
    doc = Json::parse(text, text + jsonLength);
    const size_t next = 20 + align4(jsonLength);
    if (next + 8 <= length && read_u32(data + next + 4) == kChunkBin) {
        binChunkSize = read_u32(data + next);
        if (binChunkSize > length - next - 8)
            throw BadInput("truncated glb: the BIN chunk runs past the end of the file");
        hasBinChunk = true;
        binChunk = data + next + 8;
    }
}

void GltfAsset::Impl::read_buffers() {
    const Json& list = array_member(doc, "buffers");
    for (size_t b = 0; b < list.size(); ++b) {
        const std::string what = "buffer " + std::to_string(b);
        const Json& json = list[b];
        auto buffer = std::make_unique<Buffer>();
        buffer->number = b;
        buffer->size = size_t(unsigned_of(member(json, "byteLength", what), what + " byteLength"));
        size_t available = 0;
        if (!json.contains("uri")) {
            if (b != 0 || !hasBinChunk)
                throw BadInput(what + " has no uri and no glb BIN chunk");
            buffer->data = binChunk;
            available = binChunkSize;
        } else {
            if (!json["uri"].is_string())
                throw BadInput(what + " uri is not a string");
            const std::string uri = json["uri"].get<std::string>();
            if (uri.rfind("data:", 0) == 0) {
                const size_t comma = uri.find(',');
                if (comma == std::string::npos || uri.compare(comma - 7, 7, ";base64") != 0)
                    throw BadInput(what + ": data URI is not base64");
                buffer->source = Buffer::Source::dataUri;
                buffer->dataUriPrefix = uri.substr(0, comma + 1);
                buffer->decoded = base64_decode(uri, comma + 1, what);
                buffer->data = buffer->decoded.data();
                available = buffer->decoded.size();
            } else if (has_scheme(uri)) {
                throw BadInput(what + ": cannot read uri '" + uri + "'");
            } else {
                buffer->source = Buffer::Source::file;
                buffer->path = (inputDir / percent_decode(uri)).string();
                try {
                    buffer->file.open(buffer->path);
                } catch (const BadInput& e) {
                    // The missing file, not the asset, is what the message names.
                    throw BadInput("\x01" + buffer->path + ": " + e.what());
                }
                buffer->data = buffer->file.data();
                available = buffer->file.size();
            }
        }
        if (buffer->size > available)
            throw BadInput(what + " is " + std::to_string(buffer->size) + " bytes long but holds " +
                           std::to_string(available));
        buffers.push_back(std::move(buffer));
    }
}

void GltfAsset::Impl::read_views() {
    const Json& list = array_member(doc, "bufferViews");
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string what = "bufferView " + std::to_string(i);
        const Json& json = list[i];
        View view;
        view.buffer = index_of(member(json, "buffer", what), buffers.size(), what + " buffer");
        view.offset = size_t(unsigned_member(json, "byteOffset", 0, what));
        view.length = size_t(unsigned_of(member(json, "byteLength", what), what + " byteLength"));
        view.stride = size_t(unsigned_member(json, "byteStride", 0, what));
        // Such views hold data an extension decodes, at offsets into buffers it names.
        if (json.contains("extensions"))
            throw BadInput(what + " has extensions (compressed buffer views are not supported)");
        const size_t size = buffers[view.buffer]->size;
        if (view.offset > size || view.length > size - view.offset)
            throw BadInput(what + " (bytes " + std::to_string(view.offset) + " to " +
                           std::to_string(view.offset + view.length) + ") runs past buffer " +
                           std::to_string(view.buffer) + " (" + std::to_string(size) + " bytes)");
        views.push_back(view);
    }
}

void GltfAsset::Impl::read_accessors() {
    const Json& list = array_member(doc, "accessors");
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string what = "accessor " + std::to_string(i);
        const Json& json = list[i];
        Accessor accessor;
        accessor.count = size_t(unsigned_of(member(json, "count", what), what + " count"));
        accessor.componentType =
            int(unsigned_of(member(json, "componentType", what), what + " componentType"));
        accessor.componentSize = component_size(accessor.componentType);
        const Json& type = member(json, "type", what);
        const size_t components = type.is_string() ? component_count(type.get<std::string>()) : 0;
        if (accessor.componentSize == 0 || components == 0 || accessor.count == 0)
            throw BadInput(what + " has an unknown component type, type or no elements");
        accessor.matrix = components > 4 || type.get<std::string>() == "MAT2";
        accessor.elementSize = accessor.componentSize * components;
        accessor.sparse = json.contains("sparse");
        accessor.hasView = json.contains("bufferView");
        if (accessor.hasView) {
            accessor.view = index_of(json["bufferView"], views.size(), what + " bufferView");
            accessor.offset = size_t(unsigned_member(json, "byteOffset", 0, what));
            const View& view = views[accessor.view];
            accessor.stride = view.stride ? view.stride : accessor.elementSize;
            if (accessor.stride < accessor.elementSize)
                throw BadInput(what + ": byteStride " + std::to_string(view.stride) +
                               " is smaller than an element");
            const size_t span = accessor.elementSize;
            const size_t room = view.length >= accessor.offset ? view.length - accessor.offset : 0;
            if (room < span || (room - span) / accessor.stride < accessor.count - 1)
                throw BadInput(what + " (" + std::to_string(accessor.count) + " elements of " +
                               std::to_string(accessor.elementSize) + " bytes from byte " +
                               std::to_string(accessor.offset) + ") runs past bufferView " +
                               std::to_string(accessor.view) + " (" + std::to_string(view.length) +
                               " bytes)");
        }
        accessors.push_back(accessor);
    }
}

std::string GltfAsset::Impl::skip_reason(const Json& primitive) const {
    const uint64_t mode = unsigned_member(primitive, "mode", kTriangles, "primitive");
    if (mode == 0)
        return "points are not welded";
    if (mode <= 3)
        return "lines are not welded";
    if (mode != kTriangles)
        return "triangle strips and fans are not welded";
    if (primitive.contains("extensions") &&
        primitive["extensions"].contains("KHR_draco_mesh_compression"))
        return "its vertices are compressed (KHR_draco_mesh_compression)";
    if (!primitive.contains("attributes") || !primitive["attributes"].contains("POSITION"))
        return "it has no POSITION";
    std::string reason;
    Json copy = primitive;
    for_each_primitive_accessor(copy, [&](const Json& ref) {
        const size_t index = index_of(ref, accessors.size(), "primitive accessor");
        const Accessor& accessor = accessors[index];
        if (!reason.empty())
            return;
        if (accessor.sparse)
            reason = "accessor " + std::to_string(index) + " is sparse";
        else if (!accessor.hasView)
            reason = "accessor " + std::to_string(index) + " has no buffer view";
        else if (accessor.matrix)
            reason = "accessor " + std::to_string(index) + " holds matrices";
    });
    return reason;
}

Corners GltfAsset::Impl::corners_of(const Primitive& primitive, size_t vertexCount) const {
    const std::string what =
        "mesh " + std::to_string(primitive.mesh) + " primitive " + std::to_string(primitive.index);
    if (!primitive.indexed)
        return {{}, vertexCount};
    const Accessor& accessor = accessors[primitive.indices];
    if (accessor.elementSize != accessor.componentSize ||
        (accessor.componentType != kUnsignedByte && accessor.componentType != kUnsignedShort &&
         accessor.componentType != kUnsignedInt))
        throw BadInput(what + ": indices are not unsigned integer scalars");
    std::vector<uint32_t> corners(accessor.count);
    const uint8_t* base = accessor_data(accessor);
    for (size_t i = 0; i < accessor.count; ++i) {
        const uint8_t* p = base + i * accessor.stride;
        uint32_t index = *p;
        if (accessor.componentSize == 2)
            index = uint32_t(p[0] | p[1] << 8);
        else if (accessor.componentSize == 4)
            index = read_u32(p);
        if (index >= vertexCount)
            throw BadInput(what + ": index " + std::to_string(index) + " at corner " +
                           std::to_string(i) + " is past the vertex count " +
                           std::to_string(vertexCount));
        corners[i] = index;
    }
    return {std::move(corners), accessor.count};
}

size_t GltfAsset::Impl::place_accessor(size_t original, Json updated, std::vector<bool>& claimed,
                                       const std::vector<bool>& pinned) {
    if (original < claimed.size() && !claimed[original] && !pinned[original]) {
        claimed[original] = true;
        doc["accessors"][original] = std::move(updated);
        return original;
    }
    doc["accessors"].push_back(std::move(updated));
    return doc["accessors"].size() - 1;
}

namespace {

int index_component_type(size_t vertexCount) {
    // The largest value of each type is reserved for primitive restart.
    if (vertexCount <= 255)
        return kUnsignedByte;
    return vertexCount <= 65535 ? kUnsignedShort : kUnsignedInt;
}

void set_float_bounds(Json& accessor, const std::vector<uint8_t>& bytes, size_t count,
                      size_t stride, size_t components) {
    std::vector<float> lo(components, INFINITY), hi(components, -INFINITY);
    for (size_t v = 0; v < count; ++v)
        for (size_t c = 0; c < components; ++c) {
            float value;
            std::memcpy(&value, bytes.data() + v * stride + 4 * c, 4);
            lo[c] = std::min(lo[c], value);
            hi[c] = std::max(hi[c], value);
        }
    accessor["min"] = Json::array();
    accessor["max"] = Json::array();
    for (size_t c = 0; c < components; ++c) {
        accessor["min"].push_back(double(lo[c]));
        accessor["max"].push_back(double(hi[c]));
    }
}

std::string join(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

struct WeldedKey {
    MallocArray<int> remap;    // input vertex -> distinct vertex
    MallocArray<float> welded; // the distinct vertices' keys
    int unique;
    double seconds;
};

WeldedKey finish(MallocArray<int> remap, MallocArray<float> welded, int unique,
                 std::chrono::steady_clock::time_point start) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {std::move(remap), std::move(welded), unique, seconds};
}

// Welds the key's vertices, the two halves at once and then their distinct vertices together:
// merged corners are bitwise equal, so this finds exactly the vertices one weld of the whole
// would.
WeldedKey weld_key(MallocArray<float> key, size_t vertexCount, size_t floatsPerVertex,
                   const std::string& what) {
    const auto start = std::chrono::steady_clock::now();
    MallocArray<int> remap = allocate<int>(vertexCount, what);
    MallocArray<float> halves = allocate<float>(vertexCount * floatsPerVertex, what);
    size_t begins[2] = {0, 0};
    int counts[2] = {0, 0};
    on_halves(vertexCount, [&](size_t begin, size_t end, int half) {
        begins[half] = begin;
        counts[half] =
            WeldMesh(remap.get() + begin, halves.get() + begin * floatsPerVertex,
                     key.get() + begin * floatsPerVertex, int(end - begin), int(floatsPerVertex));
    });
    const bool split = vertexCount >= kHalvesFrom;
    if (counts[0] == 0 || (split && counts[1] == 0))
        throw BadInput(what + ": out of memory while welding");
    if (!split)
        return finish(std::move(remap), std::move(halves), counts[0], start);
    // The second half's distinct vertices move up behind the first's, and the key, whose pages
    // are in memory already, takes the result: fresh pages cost more than the copy.
    float* both = halves.get();
    std::memmove(both + size_t(counts[0]) * floatsPerVertex, both + begins[1] * floatsPerVertex,
                 size_t(counts[1]) * floatsPerVertex * sizeof(float));
    MallocArray<int> merged = allocate<int>(size_t(counts[0] + counts[1]), what);
    const int unique =
        WeldMesh(merged.get(), key.get(), both, counts[0] + counts[1], int(floatsPerVertex));
    if (unique == 0)
        throw BadInput(what + ": out of memory while welding");
    for (size_t v = 0; v < vertexCount; ++v)
        remap[v] = merged[size_t(remap[v] + (v < begins[1] ? 0 : counts[0]))];
    return finish(std::move(remap), std::move(key), unique, start);
}

} // namespace

// Fills the weld key: each channel is scanned, then copied in, and its input pages handed back
// before the next one is read, so the input is never all in memory beside the key.
MallocArray<float> GltfAsset::Impl::build_key(std::vector<Channel>& channels, size_t vertexCount,
                                              size_t& floatsPerVertex,
                                              const std::string& what) const {
    for (Channel& channel : channels) {
        const Accessor& accessor = accessors[channel.accessor];
        if (!channel.words)
            continue;
        WordScan scans[2];
        on_halves(vertexCount, [&](size_t begin, size_t end, int half) {
            scan_words(scans[half], accessor, accessor_data(accessor), begin, end);
        });
        release(accessor);
        plan_channel(channel, accessor, scans, 2);
    }
    floatsPerVertex = 0;
    for (const Channel& channel : channels)
        floatsPerVertex += channel.floats;
    if (vertexCount > size_t(INT_MAX) / floatsPerVertex)
        throw BadInput(what + ": " + std::to_string(vertexCount) + " vertices of " +
                       std::to_string(floatsPerVertex) + " floats exceed the welder's limit");
    MallocArray<float> key = allocate<float>(vertexCount * floatsPerVertex, what);
    size_t column = 0;
    for (const Channel& channel : channels) {
        const Accessor& accessor = accessors[channel.accessor];
        on_halves(vertexCount, [&](size_t begin, size_t end, int) {
            put_channel(key.get() + begin * floatsPerVertex + column, floatsPerVertex, channel,
                        accessor, accessor_data(accessor), begin, end);
        });
        release(accessor);
        column += channel.floats;
    }

    return key;
}

void GltfAsset::Impl::weld_group(const Group& group, std::vector<Json>& originals,
                                 std::vector<bool>& claimed, const std::vector<bool>& pinned,
                                 WeldReport& report) {
    const Primitive& first = group.primitives.front();
    auto name_of = [&](const Primitive& primitive) {
        return "mesh " + std::to_string(primitive.mesh) + " '" +
               doc["meshes"][primitive.mesh].value("name", std::string()) + "' primitive " +
               std::to_string(primitive.index);
    };
    std::string label = name_of(first);
    for (size_t i = 1; i < group.primitives.size(); ++i)
        label += (i == 1 ? ", sharing its vertices with " : ", ") + name_of(group.primitives[i]);
    const std::string& what = label;

    std::vector<Channel> channels;
    std::vector<std::string> kept, dropped;
    const size_t vertexCount = accessors[first.attributes.front().accessor].count;
    for (const AttributeRef& attribute : first.attributes) {
        const Accessor& accessor = accessors[attribute.accessor];
        if (accessor.count != vertexCount)
            throw BadInput(what + ": " + attribute.label() + " has " +
                           std::to_string(accessor.count) + " elements, " +
                           first.attributes.front().label() + " " + std::to_string(vertexCount));
        (attribute.kept ? kept : dropped).push_back(attribute.label());
        // An accessor two attributes share is one channel: its bytes need comparing once.
        auto same = [&](const Channel& channel) { return channel.accessor == attribute.accessor; };
        if (!attribute.kept || std::any_of(channels.begin(), channels.end(), same))
            continue;
        const bool words = accessor.elementSize % 4 == 0;
        channels.push_back({attribute.accessor,
                            words,
                            words ? accessor.elementSize / 4 : (accessor.elementSize + 1) / 2,
                            {},
                            {}});
    }

    std::vector<Corners> corners;
    size_t cornerCount = 0;
    for (const Primitive& primitive : group.primitives) {
        corners.push_back(corners_of(primitive, vertexCount));
        cornerCount += corners.back().count;
    }
    size_t floatsPerVertex = 0;
    MallocArray<float> key = build_key(channels, vertexCount, floatsPerVertex, what);
    WeldedKey weldedKey = weld_key(std::move(key), vertexCount, floatsPerVertex, what);
    MallocArray<int>& remap = weldedKey.remap;
    MallocArray<float>& welded = weldedKey.welded;
    const int unique = weldedKey.unique;
    const double seconds = weldedKey.seconds;

    // Output vertices come in the order the corners first use them, as the input had them.
    std::vector<int> firstUse(size_t(unique), -1);
    std::vector<int> order;
    for (const Corners& list : corners)
        for (size_t i = 0; i < list.count; ++i) {
            int& id = firstUse[size_t(remap[list[i]])];
            if (id < 0) {
                id = int(order.size());
                order.push_back(remap[list[i]]);
            }
        }
    const size_t outCount = order.size();

    std::vector<std::pair<size_t, size_t>> replacements; // original accessor -> its new one
    size_t offset = 0;
    for (const Channel& channel : channels) {
        const Accessor& accessor = accessors[channel.accessor];
        const size_t stride = align4(accessor.elementSize);
        NewView view{views[accessor.view].buffer, std::vector<uint8_t>(outCount * stride)};
        for (size_t k = 0; k < outCount; ++k)
            get_channel(view.bytes.data() + k * stride,
                        welded.get() + size_t(order[k]) * floatsPerVertex + offset, channel,
                        accessor.elementSize);
        offset += channel.floats;

        Json updated = originals[channel.accessor];
        updated["bufferView"] = views.size() + newViews.size();
        updated.erase("byteOffset");
        updated["count"] = outCount;
        if (outCount < size_t(unique) && accessor.componentType == kFloat &&
            updated.contains("min") && updated.contains("max"))
            set_float_bounds(updated, view.bytes, outCount, stride, accessor.elementSize / 4);
        Json viewJson = {{"buffer", view.buffer}, {"byteOffset", 0}, {"byteLength", 0}};
        if (stride != accessor.elementSize)
            viewJson["byteStride"] = stride;
        if (doc["bufferViews"][accessor.view].contains("target"))
            viewJson["target"] = kArrayBufferTarget;
        doc["bufferViews"].push_back(viewJson);
        newViews.push_back(std::move(view));
        replacements.emplace_back(channel.accessor,
                                  place_accessor(channel.accessor, updated, claimed, pinned));
    }
    welded.reset();

    const int indexType = index_component_type(outCount);
    const size_t indexSize = component_size(indexType);
    for (size_t p = 0; p < group.primitives.size(); ++p) {
        const Primitive& primitive = group.primitives[p];
        Json& json = doc["meshes"][primitive.mesh]["primitives"][primitive.index];
        for (const AttributeRef& attribute : primitive.attributes) {
            Json& attributes =
                attribute.target < 0 ? json["attributes"] : json["targets"][attribute.target];
            if (!attribute.kept) {
                attributes.erase(attribute.name);
                continue;
            }
            for (const auto& [from, to] : replacements)
                if (from == attribute.accessor)
                    attributes[attribute.name] = to;
        }

        const Corners& list = corners[p];
        NewView view{views[accessors[primitive.attributes.front().accessor].view].buffer,
                     std::vector<uint8_t>(list.count * indexSize)};
        uint32_t lowest = UINT32_MAX, highest = 0;
        for (size_t i = 0; i < list.count; ++i) {
            const uint32_t id = uint32_t(firstUse[size_t(remap[list[i]])]);
            std::memcpy(view.bytes.data() + i * indexSize, &id, indexSize); // little-endian
            lowest = std::min(lowest, id);
            highest = std::max(highest, id);
        }
        Json updated = primitive.indexed ? originals[primitive.indices] : Json::object();
        updated["bufferView"] = views.size() + newViews.size();
        updated.erase("byteOffset");
        updated["componentType"] = indexType;
        updated["count"] = list.count;
        updated["type"] = "SCALAR";
        if (updated.contains("min") || updated.contains("max")) {
            updated["min"] = {lowest};
            updated["max"] = {highest};
        }
        Json viewJson = {{"buffer", view.buffer}, {"byteOffset", 0}, {"byteLength", 0}};
        if (!primitive.indexed ||
            doc["bufferViews"][accessors[primitive.indices].view].contains("target"))
            viewJson["target"] = kElementArrayBufferTarget;
        doc["bufferViews"].push_back(viewJson);
        newViews.push_back(std::move(view));
        json["indices"] = primitive.indexed
                              ? place_accessor(primitive.indices, updated, claimed, pinned)
                              : place_accessor(SIZE_MAX, updated, claimed, pinned);
    }

    MeshWeldResult result;
    result.faces = unsigned(cornerCount / 3);
    result.verticesBefore = unsigned(vertexCount);
    result.verticesAfter = unsigned(outCount);
    result.weldSeconds = seconds;
    result.kept = join(kept);
    result.dropped = join(dropped);
    report.lines.push_back({label, result});
    report.total.faces += result.faces;
    report.total.verticesBefore += result.verticesBefore;
    report.total.verticesAfter += result.verticesAfter;
    report.total.weldSeconds += seconds;
}

void GltfAsset::Impl::weld(const AttributeSelection& selection, WeldReport& report) {
    report = WeldReport{};
    const Json& meshes = array_member(doc, "meshes");
    report.meshes = unsigned(meshes.size());
    std::vector<bool> pinned(accessors.size(), false);
    auto pin = [&](const Json& ref) { pinned[index_of(ref, accessors.size(), "accessor")] = true; };
    for_each_other_accessor(doc, pin);

    // Primitives with the same attribute accessors are welded as one vertex set, so that they
    // keep sharing their vertices.
    std::map<std::vector<AttributeRef>, size_t> groupOf;
    std::vector<Group> groups;
    for (size_t m = 0; m < meshes.size(); ++m) {
        const Json& primitives = array_member(meshes[m], "primitives");
        for (size_t p = 0; p < primitives.size(); ++p) {
            Json primitive = primitives[p];
            const std::string reason = skip_reason(primitive);
            if (!reason.empty()) {
                for_each_primitive_accessor(primitive, pin);
                MeshWeldResult result;
                result.skipReason = reason;
                report.lines.push_back({"mesh " + std::to_string(m) + " '" +
                                            meshes[m].value("name", std::string()) +
                                            "' primitive " + std::to_string(p),
                                        result});
                continue;
            }
            Primitive entry{m, p, {}, primitive.contains("indices"), 0};
            if (entry.indexed)
                entry.indices = index_of(primitive["indices"], accessors.size(), "indices");
            auto add = [&](const Json& attributes, int target) {
                if (!attributes.is_object())
                    throw BadInput("mesh " + std::to_string(m) + ": attributes not an object");
                for (const auto& item : attributes.items())
                    entry.attributes.push_back(
                        {target, item.key(), index_of(item.value(), accessors.size(), "accessor"),
                         attribute_selected(item.key(), selection)});
            };
            add(primitive["attributes"], -1);
            const Json& targets = array_member(primitive, "targets");
            for (size_t t = 0; t < targets.size(); ++t)
                add(targets[t], int(t));
            keep_every_target_something(entry.attributes, targets.size());
            // POSITION first: the summary and the count check name it.
            std::stable_partition(
                entry.attributes.begin(), entry.attributes.end(),
                [](const AttributeRef& a) { return a.target < 0 && a.name == "POSITION"; });
            std::vector<AttributeRef> key = entry.attributes;
            std::sort(key.begin(), key.end());
            const auto found = groupOf.emplace(key, groups.size());
            if (found.second)
                groups.emplace_back();
            groups[found.first->second].primitives.push_back(entry);
        }
    }

    if (groups.empty())
        return compact_buffers();
    std::vector<Json> originals(doc["accessors"].begin(), doc["accessors"].end());
    std::vector<bool> claimed(accessors.size(), false);
    std::vector<bool> droppedAccessor(accessors.size(), false);
    for (const Group& group : groups) {
        weld_group(group, originals, claimed, pinned, report);
        for (const AttributeRef& attribute : group.primitives.front().attributes)
            if (!attribute.kept)
                droppedAccessor[attribute.accessor] = true;
    }
    remove_accessors(droppedAccessor);
    compact_buffers();
}

// Removes the accessors `remove` marks that nothing refers to any more, renumbering the rest.
void GltfAsset::Impl::remove_accessors(const std::vector<bool>& remove) {
    if (!doc.contains("accessors"))
        return;
    const size_t count = doc["accessors"].size();
    std::vector<bool> used(count, false);
    auto mark = [&](const Json& ref) { used[size_t(ref.get<uint64_t>())] = true; };
    for_each_primitive(doc, [&](Json& primitive) { for_each_primitive_accessor(primitive, mark); });
    for_each_other_accessor(doc, mark);
    std::vector<size_t> newIndex(count);
    Json kept = Json::array();
    for (size_t i = 0; i < count; ++i) {
        newIndex[i] = kept.size();
        if (used[i] || i >= remove.size() || !remove[i])
            kept.push_back(std::move(doc["accessors"][i]));
    }
    doc["accessors"] = std::move(kept);
    auto renumber = [&](Json& ref) { ref = newIndex[size_t(ref.get<uint64_t>())]; };
    for_each_primitive(doc,
                       [&](Json& primitive) { for_each_primitive_accessor(primitive, renumber); });
    for_each_other_accessor(doc, renumber);
}

// Keeps only the buffer views something refers to and lays each buffer out anew: its kept
// views in their order, then the views the weld made.
void GltfAsset::Impl::compact_buffers() {
    if (!doc.contains("bufferViews"))
        return;
    Json& viewList = doc["bufferViews"];
    const size_t total = viewList.size();
    std::vector<bool> used(total, false);
    for_each_view_reference(doc, [&](const Json& ref) {
        const uint64_t index = ref.get<uint64_t>();
        if (index < total)
            used[size_t(index)] = true;
    });
    std::vector<size_t> newIndex(total, SIZE_MAX);
    Json kept = Json::array();
    pieces.assign(buffers.size(), {});
    std::vector<size_t> end(buffers.size(), 0);
    for (size_t i = 0; i < total; ++i) {
        if (!used[i])
            continue;
        Json view = std::move(viewList[i]);
        const bool made = i >= views.size();
        const size_t buffer = made ? newViews[i - views.size()].buffer : views[i].buffer;
        const uint8_t* data = made ? newViews[i - views.size()].bytes.data()
                                   : buffers[buffer]->data + views[i].offset;
        const size_t size = made ? newViews[i - views.size()].bytes.size() : views[i].length;
        // Moved views keep their offset modulo 4, which the accessors in them rely on.
        const size_t phase = made ? 0 : views[i].offset % 4;
        const size_t offset = align4(end[buffer]) + phase;
        pieces[buffer].push_back({data, size, offset});
        end[buffer] = offset + size;
        if (offset != 0 || view.contains("byteOffset"))
            view["byteOffset"] = offset;
        else
            view.erase("byteOffset");
        view["byteLength"] = size;
        newIndex[i] = kept.size();
        kept.push_back(std::move(view));
    }
    viewList = std::move(kept);
    for_each_view_reference(doc, [&](Json& ref) {
        const uint64_t index = ref.get<uint64_t>();
        if (index < total)
            ref = newIndex[size_t(index)];
    });
    // A buffer with no view left goes (a glTF buffer cannot be empty), the others move up.
    std::vector<size_t> newBuffer(buffers.size());
    Json bufferList = Json::array();
    size_t keptBuffers = 0;
    for (size_t b = 0; b < buffers.size(); ++b) {
        newBuffer[b] = keptBuffers;
        if (pieces[b].empty())
            continue;
        bufferList.push_back(std::move(doc["buffers"][b]));
        bufferList.back()["byteLength"] = end[b];
        if (keptBuffers != b) {
            buffers[keptBuffers] = std::move(buffers[b]);
            pieces[keptBuffers] = std::move(pieces[b]);
        }
        ++keptBuffers;
    }
    buffers.resize(keptBuffers);
    pieces.resize(keptBuffers);
    for (Json& view : viewList)
        view["buffer"] = newBuffer[view["buffer"].get<size_t>()];
    const bool noViews = viewList.empty();
    // Erasing members moves the others: viewList is not used past here.
    if (keptBuffers == 0)
        doc.erase("buffers");
    else
        doc["buffers"] = std::move(bufferList);
    if (noViews)
        doc.erase("bufferViews");
}

std::string GltfAsset::Impl::buffer_file_name(const std::string& outputPath, size_t buffer) const {
    const std::string stem = fs::path(outputPath).stem().string();
    const size_t number = buffers[buffer]->number;
    return stem + (number == 0 ? "" : "_" + std::to_string(number)) + ".bin";
}

// A glb output stores buffer 0 in its BIN chunk; a data URI stays a data URI; every other buffer
// is a .bin file named after the output.
bool GltfAsset::Impl::buffer_is_external(size_t buffer, bool glbOutput) const {
    if (glbOutput && buffer == 0)
        return false;
    return buffers[buffer]->source != Buffer::Source::dataUri;
}

namespace {

bool write_all(OutputFile& file, const void* data, size_t size, const std::string& path,
               std::string& error) {
    if (file.write(data, size))
        return true;
    error = path + ": cannot write: " + std::strerror(errno);
    return false;
}

bool write_buffer(OutputFile& file, const std::vector<Piece>& pieces, size_t length,
                  const std::string& path, std::string& error) {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    size_t at = 0;
    for (const auto& piece : pieces) {
        if (!write_all(file, zeros, piece.offset - at, path, error) ||
            !write_all(file, piece.data, piece.size, path, error))
            return false;
        at = piece.offset + piece.size;
    }
    return write_all(file, zeros, length - at, path, error);
}

std::vector<uint8_t> gather(const std::vector<Piece>& pieces, size_t length) {
    std::vector<uint8_t> bytes(length, 0);
    for (const auto& piece : pieces)
        std::memcpy(bytes.data() + piece.offset, piece.data, piece.size);
    return bytes;
}

} // namespace

// --- public interface -----------------------------------------------------------------------

bool is_gltf_path(const std::string& path) {
    const std::string extension = lower_extension(path);
    return extension == ".gltf" || extension == ".glb";
}

GltfAsset::GltfAsset() : impl_(std::make_unique<Impl>()) {}
GltfAsset::~GltfAsset() = default;

namespace {

template <typename F> bool guarded(const std::string& file, std::string& error, F f) {
    try {
        f();
        return true;
    } catch (const BadInput& e) {
        // A message that starts with \x01 names its own file.
        error = e.what()[0] == '\x01' ? std::string(e.what() + 1) : file + ": " + e.what();
    } catch (const Json::exception& e) {
        std::string message = e.what();
        const size_t bracket = message.find("] ");
        error = file + ": malformed glTF: " +
                (bracket == std::string::npos ? message : message.substr(bracket + 2));
    } catch (const std::bad_alloc&) {
        error = file + ": out of memory";
    } catch (const std::exception& e) {
        error = file + ": " + e.what();
    }
    return false;
}

} // namespace

bool GltfAsset::read(const std::string& path, std::string& error) {
    return guarded(path, error, [&] { impl_->read(path); });
}

std::vector<std::string> GltfAsset::files_read() const {
    std::vector<std::string> files{impl_->inputPath};
    for (const auto& buffer : impl_->buffers)
        if (buffer->source == Buffer::Source::file)
            files.push_back(buffer->path);
    for (const Json& image : array_member(impl_->doc, "images")) {
        if (!image.contains("uri") || !image["uri"].is_string())
            continue;
        const std::string uri = image["uri"].get<std::string>();
        if (!has_scheme(uri))
            files.push_back((impl_->inputDir / percent_decode(uri)).string());
    }
    return files;
}

std::vector<std::string> GltfAsset::files_to_write(const std::string& outputPath) const {
    std::vector<std::string> files{outputPath};
    const bool glb = lower_extension(outputPath) == ".glb";
    for (size_t b = 0; b < impl_->buffers.size(); ++b)
        if (impl_->buffer_is_external(b, glb))
            files.push_back(
                (fs::path(outputPath).parent_path() / impl_->buffer_file_name(outputPath, b))
                    .string());
    return files;
}

bool GltfAsset::weld(const AttributeSelection& selection, WeldReport& report, std::string& error) {
    return guarded(impl_->inputPath, error, [&] { impl_->weld(selection, report); });
}

bool GltfAsset::write(const std::string& outputPath, const OutputOpener& open,
                      std::string& error) const {
    const Impl& impl = *impl_;
    const bool glb = lower_extension(outputPath) == ".glb";
    const fs::path outputDir = fs::path(outputPath).parent_path();
    Json doc = impl.doc;
    for (size_t b = 0; b < impl.buffers.size(); ++b) {
        Json& buffer = doc["buffers"][b];
        const size_t length = buffer["byteLength"].get<size_t>();
        if (glb && b == 0)
            buffer.erase("uri");
        else if (impl.buffer_is_external(b, glb))
            buffer["uri"] = percent_encode(impl.buffer_file_name(outputPath, b));
        else
            buffer["uri"] = impl.buffers[b]->dataUriPrefix +
                            base64_encode(gather(impl.pieces[b], length).data(), length);
    }
    if (doc.contains("images"))
        for (Json& image : doc["images"])
            if (image.contains("uri") && image["uri"].is_string())
                image["uri"] =
                    rebased_uri(image["uri"].get<std::string>(), impl.inputDir, outputDir);

    std::string text;
    if (!guarded(outputPath, error, [&] { text = glb ? doc.dump() : doc.dump(2) + "\n"; }))
        return false;

    for (size_t b = 0; b < impl.buffers.size(); ++b) {
        if (!impl.buffer_is_external(b, glb))
            continue;
        const std::string path = (outputDir / impl.buffer_file_name(outputPath, b)).string();
        const std::unique_ptr<OutputFile> file = open(path, error);
        if (!file ||
            !write_buffer(*file, impl.pieces[b], doc["buffers"][b]["byteLength"], path, error))
            return false;
    }

    const std::unique_ptr<OutputFile> file = open(outputPath, error);
    if (!file)
        return false;
    if (!glb)
        return write_all(*file, text.data(), text.size(), outputPath, error);
    text.resize(align4(text.size()), ' ');
    const bool bin = !impl.buffers.empty();
    const size_t binLength = bin ? align4(doc["buffers"][0]["byteLength"].get<size_t>()) : 0;
    const size_t total = 12 + 8 + text.size() + (bin ? 8 + binLength : 0);
    if (total > UINT32_MAX) {
        error = outputPath + ": cannot write: over 4 GiB, too large for a glb";
        return false;
    }
    const uint32_t header[5] = {kGlbMagic, 2, uint32_t(total), uint32_t(text.size()), kChunkJson};
    if (!write_all(*file, header, sizeof header, outputPath, error) ||
        !write_all(*file, text.data(), text.size(), outputPath, error))
        return false;
    if (!bin)
        return true;
    const uint32_t chunk[2] = {uint32_t(binLength), kChunkBin};
    return write_all(*file, chunk, sizeof chunk, outputPath, error) &&
           write_buffer(*file, impl.pieces[0], binLength, outputPath, error);
}
