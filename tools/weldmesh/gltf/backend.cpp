#include "backend.h"

#include "file_names.h"
#include "read.h"
#include "uri.h"
#include "validate.h"
#include "weld.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace gltf {

namespace {

std::string names_of(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text + ", which weldmesh does not know";
}

} // namespace

bool is_gltf_path(const std::string& path) {
    const std::string extension = lower_extension(path);
    return extension == ".gltf" || extension == ".glb";
}

void AssetWeld::read(const std::string& path, const ReadAccess& access) {
    read_asset(asset_, path, access);
    validate(asset_);
}

void AssetWeld::read(const uint8_t* data, size_t size, const std::string& name) {
    read_asset(asset_, data, size, name);
    validate(asset_);
}

size_t AssetWeld::weld_size() const {
    size_t size = 0;
    for (const Primitive& primitive : asset_.primitives) {
        for (const Attribute& attribute : primitive.attributes)
            size += asset_.accessors[attribute.accessor].count;
        if (primitive.indexed)
            size += asset_.accessors[primitive.indices].count;
    }
    return size;
}

std::vector<std::string> AssetWeld::files_read() const {
    std::vector<std::string> files{asset_.path};
    for (const auto& buffer : asset_.buffers)
        if (buffer->source == Buffer::Source::file)
            files.push_back(buffer->path);
    const json::Document& doc = asset_.json;
    const json::Id images = asset_.array("images");
    for (size_t i = 0; doc.is(images, json::Kind::array) && i < doc.size(images); ++i) {
        const json::Id uri = doc.find(doc.at(images, i), "uri");
        if (doc.is(uri, json::Kind::string) && !has_scheme(doc.text(uri)))
            files.push_back((fs::path(asset_.folder) / percent_decode(doc.text(uri))).string());
    }
    return files;
}

WeldReport AssetWeld::weld(const AttributeSelection& selection, const MergeLimits& merge) {
    keepAll_ = !asset_.unknownExtensions.empty();
    if (!asset_.unknownRequiredExtensions.empty()) {
        WeldReport report;
        report.meshes = unsigned(asset_.meshNames.size());
        report.notes.push_back("written unchanged: the asset requires " +
                               names_of(asset_.unknownRequiredExtensions));
        return report;
    }
    WeldReport report = weld_asset(asset_, selection, merge, keepAll_);
    if (keepAll_)
        report.verboseNotes.push_back(
            "every accessor, buffer view and buffer stays in place: the asset uses " +
            names_of(asset_.unknownExtensions));
    return report;
}

void AssetWeld::write(const std::string& outputPath, const OutputOpener& open) {
    const std::vector<OutputBuffer> buffers =
        lay_out_buffers(asset_, is_glb_path(outputPath), keepAll_);
    write_asset(asset_, buffers, outputPath, open);
}

} // namespace gltf
