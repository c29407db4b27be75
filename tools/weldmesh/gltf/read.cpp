#include "read.h"

#include "file_names.h"
#include "uri.h"

#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace gltf {

namespace {

const size_t kGlbHeader = 12;
const size_t kChunkHeader = 8;

bool is_glb(const uint8_t* data, size_t size) {
    return size >= 4 && read_u32(data) == kGlbMagic;
}

void parse_json(Asset& asset, const uint8_t* text, size_t size) {
    std::string error;
    if (!asset.json.parse(reinterpret_cast<const char*>(text), size, error))
        throw asset.bad("malformed JSON: " + error);
}

// The header's length and every chunk's are checked against the file before any is read: one
// JSON chunk first, then at most one BIN chunk; chunks of other types are skipped.
void read_glb(Asset& asset, const uint8_t* data, size_t size) {
    if (size < kGlbHeader)
        throw asset.bad("truncated glb: " + std::to_string(size) +
                        " bytes, no room for its 12-byte header");
    if (read_u32(data + 4) != 2)
        throw asset.bad("glb version " + std::to_string(read_u32(data + 4)) + ", expected 2");
    const size_t length = read_u32(data + 8);
    if (length != size)
        throw asset.bad(std::string(length > size ? "truncated" : "malformed") +
                        " glb: the header says " + std::to_string(length) +
                        " bytes, the file has " + std::to_string(size));
    const uint8_t* json = nullptr;
    size_t jsonLength = 0;
    for (size_t at = kGlbHeader, chunk = 0; at < length; ++chunk) {
        if (length - at < kChunkHeader)
            throw asset.bad("malformed glb: chunk " + std::to_string(chunk) + " at byte " +
                            std::to_string(at) + " has no room for its header");
        const size_t chunkLength = read_u32(data + at);
        const uint32_t type = read_u32(data + at + 4);
        if (chunkLength > length - at - kChunkHeader)
            throw asset.bad("truncated glb: chunk " + std::to_string(chunk) + " (" +
                            std::to_string(chunkLength) + " bytes from byte " +
                            std::to_string(at + kChunkHeader) + ") runs past the end of the file");
        if (chunkLength % 4 != 0)
            asset.warnings.push_back("glb chunk " + std::to_string(chunk) +
                                     " has a length that is not a multiple of 4");
        const uint8_t* body = data + at + kChunkHeader;
        if (chunk == 0 && type != kChunkJson)
            throw asset.bad("malformed glb: the first chunk is not JSON");
        if (chunk > 0 && type == kChunkJson)
            throw asset.bad("malformed glb: a second JSON chunk");
        if (type == kChunkBin && (chunk != 1 || asset.hasBinChunk))
            throw asset.bad(asset.hasBinChunk ? "malformed glb: a second BIN chunk"
                                              : "malformed glb: the BIN chunk is not the second");
        if (type == kChunkJson) {
            json = body;
            jsonLength = chunkLength;
        } else if (type == kChunkBin) {
            asset.hasBinChunk = true;
            asset.binChunk = body;
            asset.binChunkSize = chunkLength;
        } else {
            asset.warnings.push_back("glb chunk " + std::to_string(chunk) +
                                     " is of an unknown type and is left out");
        }
        at += kChunkHeader + chunkLength;
    }
    if (!json)
        throw asset.bad("malformed glb: no JSON chunk");
    parse_json(asset, json, jsonLength);
}

void check_document(const Asset& asset) {
    const json::Document& doc = asset.json;
    if (!doc.is(doc.root(), json::Kind::object))
        throw asset.bad("malformed glTF: the document is not a JSON object");
    const json::Id version = doc.find(doc.find(doc.root(), "asset"), "version");
    if (!doc.is(version, json::Kind::string) || doc.text(version).substr(0, 2) != "2.")
        throw asset.bad("not a glTF 2 asset (asset.version is not \"2.x\")");
}

// `glb`: the file's name says it is one, which its magic must then confirm.
void read_container(Asset& asset, const uint8_t* data, size_t size, bool glb) {
    if (glb && !is_glb(data, size))
        throw asset.bad("not a glb file (no 'glTF' magic)");
    if (is_glb(data, size))
        read_glb(asset, data, size);
    else
        parse_json(asset, data, size);
    check_document(asset);
}

void decode_data_uri(Asset& asset, Buffer& buffer, std::string_view uri, const std::string& what) {
    std::string_view prefix, media, payload;
    if (!split_data_uri(uri, prefix, media, payload))
        throw asset.bad(what + ": a data URI that is not base64 (\"data:...;base64,...\")");
    if (!base64_decode(payload, buffer.decoded))
        throw asset.bad(what + ": malformed base64 in its data URI");
    buffer.source = Buffer::Source::dataUri;
    buffer.uriPrefix = std::string(prefix);
    buffer.data = buffer.decoded.data();
}

// The file a buffer's URI names, or a refusal: only files inside the input's folder are read,
// unless the user allowed more, and nothing but data: and file: URIs.
std::string file_of(const Asset& asset, const std::string& uri, const ReadAccess& access,
                    const std::string& what) {
    const std::string reference = what + " uri '" + uri + "'";
    if (has_scheme(uri)) {
        if (uri.substr(0, 5) != "file:")
            throw asset.bad(reference + ": only data: URIs and files are read");
        if (!access.allows_outside())
            throw access.outside(reference);
        const std::string path = file_uri_path(uri);
        if (path.empty())
            throw asset.bad(reference + " names another host");
        return path;
    }
    const std::string decoded = percent_decode(uri);
    if (!decoded.empty() && decoded[0] == '/') {
        if (!access.allows_outside())
            throw access.outside(reference);
        return decoded;
    }
    const std::string path = (fs::path(asset.folder) / decoded).string();
    if (!access.allows(path))
        throw access.outside(reference);
    return path;
}

// Fills the buffers' bytes; `access` is null for an asset in memory, which has no files.
void read_buffers(Asset& asset, const ReadAccess* access) {
    const json::Document& doc = asset.json;
    const json::Id list = asset.array("buffers");
    if (list == json::kNone)
        return;
    if (!doc.is(list, json::Kind::array))
        throw asset.bad("malformed glTF: 'buffers' is not an array");
    for (size_t b = 0; b < doc.size(list); ++b) {
        const std::string what = "buffer " + std::to_string(b);
        const json::Id json = doc.at(list, b);
        uint64_t length;
        if (!doc.is(json, json::Kind::object) ||
            !doc.to_unsigned(doc.find(json, "byteLength"), length))
            throw asset.bad(what + " has no byteLength that is a non-negative integer");
        auto buffer = std::make_unique<Buffer>();
        buffer->length = size_t(length);
        size_t available = 0;
        const json::Id uri = doc.find(json, "uri");
        if (uri == json::kNone) {
            if (b == 0 && asset.hasBinChunk) {
                buffer->source = Buffer::Source::binChunk;
                buffer->data = asset.binChunk;
                available = asset.binChunkSize;
            } else if (doc.find(json, "extensions") == json::kNone) {
                throw asset.bad(what + " has no uri and no glb BIN chunk");
            }
        } else if (!doc.is(uri, json::Kind::string)) {
            throw asset.bad(what + " uri is not a string");
        } else if (is_data_uri(doc.text(uri))) {
            decode_data_uri(asset, *buffer, doc.text(uri), what);
            available = buffer->decoded.size();
        } else {
            const std::string text(doc.text(uri));
            if (!access)
                throw asset.bad(what + " uri '" + text + "': no files are read here");
            buffer->source = Buffer::Source::file;
            buffer->path = file_of(asset, text, *access, what);
            buffer->file.map(access->open(buffer->path, what + " uri '" + text + "'"),
                             buffer->path);
            buffer->data = buffer->file.data();
            available = buffer->file.size();
        }
        if (buffer->source != Buffer::Source::none && buffer->length > available)
            throw asset.bad(what + " is " + std::to_string(buffer->length) +
                            " bytes long but holds " + std::to_string(available));
        asset.buffers.push_back(std::move(buffer));
    }
    if (asset.hasBinChunk &&
        (asset.buffers.empty() || asset.buffers[0]->source != Buffer::Source::binChunk))
        asset.warnings.push_back("the glb BIN chunk is not buffer 0 and is left out");
}

} // namespace

void read_asset(Asset& asset, const std::string& path, const ReadAccess& access) {
    asset.path = path;
    asset.folder = fs::path(path).parent_path().string();
    asset.input.map(open_regular_file(path), path);
    read_container(asset, asset.input.data(), asset.input.size(), lower_extension(path) == ".glb");
    read_buffers(asset, &access);
}

void read_asset(Asset& asset, const uint8_t* data, size_t size, const std::string& name) {
    asset.path = name;
    read_container(asset, data, size, false);
    read_buffers(asset, nullptr);
}

} // namespace gltf
