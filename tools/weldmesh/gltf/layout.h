// The layout of the output's buffers: which views each holds and at what offset, which input
// buffers a glb's BIN chunk merges, and the document's bufferViews and buffers to match.
#ifndef WELDMESH_GLTF_LAYOUT_H
#define WELDMESH_GLTF_LAYOUT_H

#include "model.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gltf {

// A run of bytes that goes at `offset` in an output buffer.
struct Piece {
    const uint8_t* data;
    size_t size;
    size_t offset;
};

struct OutputBuffer {
    enum class Kind {
        glbChunk, // a glb's BIN chunk
        dataUri,  // base64 in the document
        file,     // a .bin file beside the output
        none,     // no data: an extension provides it, and the document says where
    };
    Kind kind;
    size_t number;         // the input buffer it continues, which names its file
    std::string uriPrefix; // for data URIs: up to and including "base64,"
    std::vector<Piece> pieces;
    size_t length = 0;
};

// Lays out the buffers of the output and rewrites the document's bufferViews and buffers, in
// the output's order. Without `keepAll`, views nothing refers to go, so do buffers left with no
// view, and every view moves up in its buffer, keeping its offset modulo 8; for a glb output,
// buffer 0, the BIN chunk and every data URI (images included) become the one BIN chunk. With
// `keepAll`, every buffer keeps all its bytes where they were and the weld's views follow them.
// Throws ToolError.
std::vector<OutputBuffer> lay_out_buffers(Asset& asset, bool glbOutput, bool keepAll);

} // namespace gltf

#endif
