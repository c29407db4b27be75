#include "references.h"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace gltf {

namespace {

struct ReferencePath {
    Target target;
    const char* path; // "*" stands for every member of an object or element of an array
};

const ReferencePath kReferences[] = {
    {Target::accessor, "meshes/*/primitives/*/indices"},
    {Target::accessor, "meshes/*/primitives/*/attributes/*"},
    {Target::accessor, "meshes/*/primitives/*/targets/*/*"},
    {Target::accessor, "skins/*/inverseBindMatrices"},
    {Target::accessor, "animations/*/samplers/*/input"},
    {Target::accessor, "animations/*/samplers/*/output"},
    {Target::accessor, "nodes/*/extensions/EXT_mesh_gpu_instancing/attributes/*"},
    {Target::view, "accessors/*/bufferView"},
    {Target::view, "accessors/*/sparse/indices/bufferView"},
    {Target::view, "accessors/*/sparse/values/bufferView"},
    {Target::view, "images/*/bufferView"},
    {Target::view, "meshes/*/primitives/*/extensions/KHR_draco_mesh_compression/bufferView"},
    {Target::view, "extensions/EXT_structural_metadata/propertyTables/*/properties/*/values"},
    {Target::view, "extensions/EXT_structural_metadata/propertyTables/*/properties/*/arrayOffsets"},
    {Target::view,
     "extensions/EXT_structural_metadata/propertyTables/*/properties/*/stringOffsets"},
    {Target::buffer, "bufferViews/*/buffer"},
};

// Extensions with references of their own (listed above), and those that refer to nothing the
// weld renumbers: materials, textures, lights, quantized attributes.
const char* const kKnownExtensions[] = {
    "EXT_mesh_gpu_instancing",
    "EXT_structural_metadata",
    "EXT_texture_avif",
    "EXT_texture_webp",
    "KHR_animation_pointer",
    "KHR_draco_mesh_compression",
    "KHR_lights_punctual",
    "KHR_materials_anisotropy",
    "KHR_materials_clearcoat",
    "KHR_materials_diffuse_transmission",
    "KHR_materials_dispersion",
    "KHR_materials_emissive_strength",
    "KHR_materials_ior",
    "KHR_materials_iridescence",
    "KHR_materials_pbrSpecularGlossiness",
    "KHR_materials_sheen",
    "KHR_materials_specular",
    "KHR_materials_transmission",
    "KHR_materials_unlit",
    "KHR_materials_variants",
    "KHR_materials_volume",
    "KHR_mesh_quantization",
    "KHR_texture_basisu",
    "KHR_texture_transform",
    "KHR_xmp_json_ld",
};

struct Place {
    json::Id id;
    std::string path;
};

// The values one segment below each of `places`.
std::vector<Place> step(const json::Document& doc, const std::vector<Place>& places,
                        std::string_view segment,
                        const std::function<void(const Slot&, const std::string&)>* visit) {
    std::vector<Place> next;
    for (const Place& place : places) {
        const bool object = doc.is(place.id, json::Kind::object);
        if (!object && !doc.is(place.id, json::Kind::array))
            continue;
        const size_t count = object ? doc.member_count(place.id) : doc.size(place.id);
        for (size_t i = 0; i < count; ++i) {
            if (object && segment != "*" && doc.key(place.id, i) != segment)
                continue;
            if (!object && segment != "*")
                break;
            const std::string path =
                place.path + "/" + (object ? std::string(doc.key(place.id, i)) : std::to_string(i));
            const Slot slot{place.id, i, object};
            if (visit)
                (*visit)(slot, path.substr(1));
            else
                next.push_back({slot.get(doc), path});
        }
    }
    return next;
}

void list_strings(const json::Document& doc, json::Id array, std::vector<std::string>& names) {
    if (!doc.is(array, json::Kind::array))
        return;
    for (size_t i = 0; i < doc.size(array); ++i)
        if (doc.is(doc.at(array, i), json::Kind::string))
            names.emplace_back(doc.text(doc.at(array, i)));
}

} // namespace

void for_each_reference(const json::Document& doc, Target target,
                        const std::function<void(const Slot&, const std::string& path)>& visit) {
    std::unordered_set<uint64_t> seen;
    const std::function<void(const Slot&, const std::string&)> once = [&](const Slot& slot,
                                                                          const std::string& path) {
        if (seen.insert(uint64_t(slot.container) << 32 | uint64_t(slot.index)).second)
            visit(slot, path);
    };
    for (const ReferencePath& reference : kReferences) {
        if (reference.target != target)
            continue;
        std::vector<Place> places = {{doc.root(), ""}};
        std::string_view rest = reference.path;
        for (;;) {
            const size_t slash = rest.find('/');
            const std::string_view segment = rest.substr(0, slash);
            if (slash == std::string_view::npos) {
                // A place shared by two objects (see json::Document::shallow_copy) is visited once.
                step(doc, places, segment, &once);
                break;
            }
            places = step(doc, places, segment, nullptr);
            rest.remove_prefix(slash + 1);
        }
    }
}

bool is_known_extension(std::string_view name) {
    return std::binary_search(std::begin(kKnownExtensions), std::end(kKnownExtensions), name,
                              [](std::string_view a, std::string_view b) { return a < b; });
}

std::vector<std::string> used_extensions(const json::Document& doc) {
    std::vector<std::string> names;
    list_strings(doc, doc.find(doc.root(), "extensionsUsed"), names);
    list_strings(doc, doc.find(doc.root(), "extensionsRequired"), names);
    // Every value is an entry of the document's table, so one pass over it finds them however
    // deep they stand.
    for (json::Id id = 0; id < doc.node_count(); ++id) {
        if (!doc.is(id, json::Kind::object))
            continue;
        for (size_t i = 0; i < doc.member_count(id); ++i) {
            const json::Id value = doc.value(id, i);
            if (doc.key(id, i) != "extensions" || !doc.is(value, json::Kind::object))
                continue;
            for (size_t e = 0; e < doc.member_count(value); ++e)
                names.emplace_back(doc.key(value, e));
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::string> required_extensions(const json::Document& doc) {
    std::vector<std::string> names;
    list_strings(doc, doc.find(doc.root(), "extensionsRequired"), names);
    return names;
}

} // namespace gltf
