#include "write.h"

#include "file_names.h"
#include "uri.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace gltf {

namespace {

// OUTPUT-STEM.bin for the input's buffer 0, OUTPUT-STEM_N.bin for its buffer N.
std::string file_name(const OutputBuffer& buffer, const std::string& outputPath) {
    return fs::path(outputPath).stem().string() +
           (buffer.number == 0 ? "" : "_" + std::to_string(buffer.number)) + ".bin";
}

void write_all(OutputFile& file, const void* data, size_t size, const std::string& path) {
    if (!file.write(data, size))
        throw ToolError(ErrorKind::unwritable, path,
                        std::string("cannot write: ") + std::strerror(errno));
}

// The buffer's bytes, zeros between its pieces and up to `length`.
void write_pieces(OutputFile& file, const OutputBuffer& buffer, size_t length,
                  const std::string& path) {
    static const uint8_t zeros[8] = {};
    size_t at = 0;
    for (const Piece& piece : buffer.pieces) {
        write_all(file, zeros, piece.offset - at, path);
        write_all(file, piece.data, piece.size, path);
        at = piece.offset + piece.size;
    }
    write_all(file, zeros, length - at, path);
}

std::vector<uint8_t> gather(const OutputBuffer& buffer) {
    std::vector<uint8_t> bytes(buffer.length, 0);
    for (const Piece& piece : buffer.pieces)
        std::memcpy(bytes.data() + piece.offset, piece.data, piece.size);
    return bytes;
}

void point_buffers_at_their_data(Asset& asset, const std::vector<OutputBuffer>& buffers,
                                 const std::string& outputPath) {
    json::Document& doc = asset.json;
    for (size_t b = 0; b < buffers.size(); ++b) {
        const json::Id json = doc.at(asset.array("buffers"), b);
        const OutputBuffer& buffer = buffers[b];
        switch (buffer.kind) {
        case OutputBuffer::Kind::glbChunk:
            doc.erase(json, "uri");
            break;
        case OutputBuffer::Kind::file:
            doc.set(json, "uri", doc.add_string(percent_encode(file_name(buffer, outputPath))));
            break;
        case OutputBuffer::Kind::dataUri: {
            const std::vector<uint8_t> bytes = gather(buffer);
            doc.set(json, "uri",
                    doc.add_string(buffer.uriPrefix + base64_encode(bytes.data(), bytes.size())));
            break;
        }
        case OutputBuffer::Kind::none:
            break;
        }
    }
}

void rebase_images(Asset& asset, const std::string& outputPath) {
    json::Document& doc = asset.json;
    const json::Id images = asset.array("images");
    if (!doc.is(images, json::Kind::array))
        return;
    const fs::path outputDir = fs::path(outputPath).parent_path();
    for (size_t i = 0; i < doc.size(images); ++i) {
        const json::Id uri = doc.find(doc.at(images, i), "uri");
        if (!doc.is(uri, json::Kind::string))
            continue;
        const std::string rebased =
            rebased_uri(std::string(doc.text(uri)), asset.folder, outputDir);
        if (rebased != doc.text(uri)) {
            const json::Id image = doc.shallow_copy(doc.at(images, i));
            doc.set(image, "uri", doc.add_string(rebased));
            doc.set_at(images, i, image);
        }
    }
}

} // namespace

bool is_glb_path(const std::string& path) {
    return lower_extension(path) == ".glb";
}

std::vector<std::string> output_files(const std::vector<OutputBuffer>& buffers,
                                      const std::string& outputPath) {
    std::vector<std::string> files{outputPath};
    for (const OutputBuffer& buffer : buffers)
        if (buffer.kind == OutputBuffer::Kind::file)
            files.push_back(
                (fs::path(outputPath).parent_path() / file_name(buffer, outputPath)).string());
    return files;
}

void write_asset(Asset& asset, const std::vector<OutputBuffer>& buffers,
                 const std::string& outputPath, const OutputOpener& open) {
    const bool glb = is_glb_path(outputPath);
    point_buffers_at_their_data(asset, buffers, outputPath);
    rebase_images(asset, outputPath);
    std::string text;
    asset.json.write(text, !glb);
    const std::vector<std::string> files = output_files(buffers, outputPath);
    size_t next = 1;
    for (const OutputBuffer& buffer : buffers) {
        if (buffer.kind != OutputBuffer::Kind::file)
            continue;
        const std::string& path = files[next++];
        write_pieces(*open(path), buffer, buffer.length, path);
    }

    const std::unique_ptr<OutputFile> file = open(outputPath);
    if (!glb) {
        text += '\n';
        write_all(*file, text.data(), text.size(), outputPath);
        return;
    }
    text.resize(align4(text.size()), ' ');
    const OutputBuffer* chunk = nullptr;
    for (const OutputBuffer& buffer : buffers)
        if (buffer.kind == OutputBuffer::Kind::glbChunk)
            chunk = &buffer;
    const size_t binLength = chunk ? align4(chunk->length) : 0;
    const size_t total = 12 + 8 + text.size() + (chunk ? 8 + binLength : 0);
    if (total > UINT32_MAX)
        throw ToolError(ErrorKind::unwritable, outputPath,
                        "cannot write: over 4 GiB, too large for a glb");
    const uint32_t header[5] = {kGlbMagic, 2, uint32_t(total), uint32_t(text.size()), kChunkJson};
    write_all(*file, header, sizeof header, outputPath);
    write_all(*file, text.data(), text.size(), outputPath);
    if (!chunk)
        return;
    const uint32_t chunkHeader[2] = {uint32_t(binLength), kChunkBin};
    write_all(*file, chunkHeader, sizeof chunkHeader, outputPath);
    write_pieces(*file, *chunk, binLength, outputPath);
}

} // namespace gltf
