#include "layout.h"

#include "references.h"
#include "uri.h"

namespace gltf {

namespace {

// The first offset at or after `end` that is `phase` modulo 8.
size_t next_offset(size_t end, size_t phase) {
    return end + (phase + 8 - end % 8) % 8;
}

class Layout {
  public:
    Layout(Asset& asset, bool glbOutput, bool keepAll)
        : asset_(asset), doc_(asset.json), glb_(glbOutput), keepAll_(keepAll) {}

    std::vector<OutputBuffer> run() {
        if (glb_ && !keepAll_)
            embed_data_uri_images();
        const size_t viewCount = asset_.views.size() + asset_.newViews.size();
        if (keepAll_)
            keep_buffers(viewCount);
        else
            compact_buffers(viewCount);
        return std::move(outputs_);
    }

  private:
    size_t buffer_of(size_t view) const {
        return view < asset_.views.size() ? asset_.views[view].buffer
                                          : asset_.newViews[view - asset_.views.size()].buffer;
    }
    // Null for a view of a buffer that holds no data of its own, which nothing writes.
    const uint8_t* data_of(size_t view) const {
        if (view >= asset_.views.size())
            return asset_.newViews[view - asset_.views.size()].bytes.data();
        return asset_.buffers[asset_.views[view].buffer]->data ? asset_.view_data(view) : nullptr;
    }
    size_t length_of(size_t view) const {
        return view < asset_.views.size()
                   ? asset_.views[view].length
                   : asset_.newViews[view - asset_.views.size()].bytes.size();
    }

    // Which output buffer holds an input buffer's views, and of what kind.
    OutputBuffer::Kind kind_of(size_t buffer) const {
        switch (asset_.buffers[buffer]->source) {
        case Buffer::Source::dataUri:
            return glb_ && (buffer == 0 || !keepAll_) ? OutputBuffer::Kind::glbChunk
                                                      : OutputBuffer::Kind::dataUri;
        case Buffer::Source::none:
            return OutputBuffer::Kind::none;
        case Buffer::Source::binChunk:
        case Buffer::Source::created:
            return glb_ && (buffer == 0 || !keepAll_) ? OutputBuffer::Kind::glbChunk
                                                      : OutputBuffer::Kind::file;
        case Buffer::Source::file:
            return glb_ && buffer == 0 ? OutputBuffer::Kind::glbChunk : OutputBuffer::Kind::file;
        }
        return OutputBuffer::Kind::file;
    }

    json::Id view_json(size_t view) const {
        return doc_.at(doc_.find(doc_.root(), "bufferViews"), view);
    }

    // Places the view at the end of its output buffer and points its JSON there.
    // A buffer an extension fills keeps its views where they were: the extension decides what
    // lies where.
    json::Id place_view(size_t view, OutputBuffer& output, size_t outputIndex) {
        const bool made = view >= asset_.views.size();
        const size_t phase = made ? 0 : asset_.views[view].offset % 8;
        size_t offset = made ? align4(output.length) : next_offset(output.length, phase);
        if (output.kind == OutputBuffer::Kind::none) {
            offset = asset_.views[view].offset;
            output.length = asset_.buffers[output.number]->length;
        } else {
            output.pieces.push_back({data_of(view), length_of(view), offset});
            output.length = offset + length_of(view);
        }
        const json::Id json = doc_.shallow_copy(view_json(view));
        if (offset != 0 || doc_.find(json, "byteOffset") != json::kNone)
            doc_.set(json, "byteOffset", doc_.add_unsigned(offset));
        doc_.set(json, "byteLength", doc_.add_unsigned(length_of(view)));
        doc_.set(json, "buffer", doc_.add_unsigned(outputIndex));
        return json;
    }

    std::vector<bool> used_views(size_t viewCount) const {
        std::vector<bool> used(viewCount, false);
        for_each_reference(doc_, Target::view, [&](const Slot& slot, const std::string&) {
            uint64_t index;
            if (doc_.to_unsigned(slot.get(doc_), index))
                used[size_t(index)] = true;
        });
        return used;
    }

    OutputBuffer output_for(size_t buffer) const {
        OutputBuffer output;
        output.kind = kind_of(buffer);
        output.number = buffer;
        output.uriPrefix = asset_.buffers[buffer]->uriPrefix;
        return output;
    }

    // Views keep their order, each moved up in its output buffer; the glb's BIN chunk comes
    // first, since readers take buffer 0 for it, and takes every input buffer that goes into
    // it. So welding the output again lays it out the same way.
    void compact_buffers(size_t viewCount) {
        const std::vector<bool> used = used_views(viewCount);
        std::vector<bool> hasViews(asset_.buffers.size(), false);
        for (size_t v = 0; v < viewCount; ++v)
            if (used[v])
                hasViews[buffer_of(v)] = true;
        const json::Id buffers = doc_.add_array();
        std::vector<size_t> outputOf(asset_.buffers.size(), SIZE_MAX);
        size_t chunkOutput = SIZE_MAX;
        for (const bool chunk : {true, false})
            for (size_t b = 0; b < asset_.buffers.size(); ++b) {
                if (!hasViews[b] || (kind_of(b) == OutputBuffer::Kind::glbChunk) != chunk)
                    continue;
                if (chunk && chunkOutput != SIZE_MAX) {
                    outputOf[b] = chunkOutput;
                    continue;
                }
                outputOf[b] = outputs_.size();
                if (chunk)
                    chunkOutput = outputs_.size();
                outputs_.push_back(output_for(b));
                doc_.push_back(buffers, doc_.shallow_copy(doc_.at(asset_.array("buffers"), b)));
            }
        std::vector<size_t> newView(viewCount, SIZE_MAX);
        const json::Id views = doc_.add_array();
        for (size_t v = 0; v < viewCount; ++v) {
            if (!used[v])
                continue;
            const size_t output = outputOf[buffer_of(v)];
            newView[v] = doc_.size(views);
            doc_.push_back(views, place_view(v, outputs_[output], output));
        }
        for (size_t o = 0; o < outputs_.size(); ++o)
            doc_.set(doc_.at(buffers, o), "byteLength", doc_.add_unsigned(outputs_[o].length));
        replace_array("bufferViews", views);
        replace_array("buffers", buffers);
        for_each_reference(doc_, Target::view, [&](const Slot& slot, const std::string&) {
            uint64_t index;
            doc_.to_unsigned(slot.get(doc_), index);
            slot.set(doc_, doc_.add_unsigned(newView[size_t(index)]));
        });
    }

    // Every buffer keeps its bytes; the weld's views follow them.
    void keep_buffers(size_t viewCount) {
        if (glb_ && !asset_.buffers.empty() && kind_of(0) == OutputBuffer::Kind::none)
            throw asset_.bad("cannot be written as .glb: buffer 0 holds no data of its own");
        const json::Id buffers = asset_.array("buffers");
        for (size_t b = 0; b < asset_.buffers.size(); ++b) {
            OutputBuffer output = output_for(b);
            const Buffer& buffer = *asset_.buffers[b];
            if (buffer.data && buffer.length > 0)
                output.pieces.push_back({buffer.data, buffer.length, 0});
            output.length = buffer.length;
            outputs_.push_back(std::move(output));
        }
        const json::Id views = asset_.array("bufferViews");
        for (size_t v = asset_.views.size(); v < viewCount; ++v)
            doc_.set_at(views, v, place_view(v, outputs_[buffer_of(v)], buffer_of(v)));
        for (size_t b = 0; b < outputs_.size(); ++b)
            doc_.set(doc_.at(buffers, b), "byteLength", doc_.add_unsigned(outputs_[b].length));
    }

    void replace_array(const char* name, json::Id list) {
        if (doc_.size(list) == 0)
            doc_.erase(doc_.root(), name);
        else
            doc_.set(doc_.root(), name, list);
    }

    // A glb keeps its images' bytes in its BIN chunk: a data URI in one is flagged by glTF
    // validators.
    void embed_data_uri_images() {
        const json::Id images = asset_.array("images");
        if (!doc_.is(images, json::Kind::array))
            return;
        size_t chunk = SIZE_MAX;
        for (size_t b = 0; b < asset_.buffers.size() && chunk == SIZE_MAX; ++b)
            if (kind_of(b) == OutputBuffer::Kind::glbChunk)
                chunk = b;
        for (size_t i = 0; i < doc_.size(images); ++i) {
            const json::Id image = doc_.at(images, i);
            const json::Id uri = doc_.find(image, "uri");
            std::string_view prefix, media, payload;
            std::vector<uint8_t> bytes;
            if (!doc_.is(uri, json::Kind::string) ||
                doc_.find(image, "bufferView") != json::kNone ||
                !split_data_uri(doc_.text(uri), prefix, media, payload) || media.empty() ||
                !base64_decode(payload, bytes))
                continue;
            // Adding to the document moves its text, which `media` points into.
            const std::string mimeType(media);
            if (chunk == SIZE_MAX)
                chunk = add_chunk_buffer();
            if (asset_.array("bufferViews") == json::kNone)
                doc_.set(doc_.root(), "bufferViews", doc_.add_array());
            const json::Id view = doc_.add_object();
            doc_.set(view, "buffer", doc_.add_unsigned(chunk));
            doc_.set(view, "byteLength", doc_.add_unsigned(bytes.size()));
            doc_.push_back(asset_.array("bufferViews"), view);
            asset_.newViews.push_back({chunk, Bytes(bytes.begin(), bytes.end())});
            const json::Id updated = doc_.shallow_copy(image);
            doc_.erase(updated, "uri");
            doc_.set(updated, "bufferView",
                     doc_.add_unsigned(asset_.views.size() + asset_.newViews.size() - 1));
            if (doc_.find(updated, "mimeType") == json::kNone)
                doc_.set(updated, "mimeType", doc_.add_string(mimeType));
            doc_.set_at(images, i, updated);
        }
    }

    size_t add_chunk_buffer() {
        auto buffer = std::make_unique<Buffer>();
        buffer->source = Buffer::Source::created;
        asset_.buffers.push_back(std::move(buffer));
        json::Id buffers = asset_.array("buffers");
        if (buffers == json::kNone) {
            buffers = doc_.add_array();
            doc_.set(doc_.root(), "buffers", buffers);
        }
        const json::Id json = doc_.add_object();
        doc_.set(json, "byteLength", doc_.add_unsigned(0));
        doc_.push_back(buffers, json);
        return asset_.buffers.size() - 1;
    }

    Asset& asset_;
    json::Document& doc_;
    bool glb_;
    bool keepAll_;
    std::vector<OutputBuffer> outputs_;
};

} // namespace

std::vector<OutputBuffer> lay_out_buffers(Asset& asset, bool glbOutput, bool keepAll) {
    return Layout(asset, glbOutput, keepAll).run();
}

} // namespace gltf
