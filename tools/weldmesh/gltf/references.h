// Which members of a glTF document are indices into its accessors, buffer views and buffers:
// the core schema's, and those of the extensions the tool knows. Welding renumbers these three
// arrays, so every reference to them must be known, or none may move.
#ifndef WELDMESH_GLTF_REFERENCES_H
#define WELDMESH_GLTF_REFERENCES_H

#include "json.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace gltf {

enum class Target { accessor, view, buffer };

// Where a reference stands: a member's value or an array's element.
struct Slot {
    json::Id container;
    size_t index;
    bool member;

    json::Id get(const json::Document& doc) const {
        return member ? doc.value(container, index) : doc.at(container, index);
    }
    void set(json::Document& doc, json::Id value) const {
        if (member)
            doc.set_value(container, index, value);
        else
            doc.set_at(container, index, value);
    }
};

// Calls `visit` for every place the document refers to a `target`, with the place's JSON path
// ("meshes/0/primitives/1/indices") for messages.
void for_each_reference(const json::Document& doc, Target target,
                        const std::function<void(const Slot&, const std::string& path)>& visit);

// True for the extensions whose references for_each_reference knows, or which have none.
bool is_known_extension(std::string_view name);

// Every extension the document uses (listed in extensionsUsed or extensionsRequired, or a member
// of an "extensions" object anywhere), once each; and those it requires.
std::vector<std::string> used_extensions(const json::Document& doc);
std::vector<std::string> required_extensions(const json::Document& doc);

} // namespace gltf

#endif
