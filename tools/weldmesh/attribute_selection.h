// What --attributes means: which vertex attributes the weld compares and the output keeps, for
// both back-ends. Positions are always both.
#ifndef WELDMESH_ATTRIBUTE_SELECTION_H
#define WELDMESH_ATTRIBUTE_SELECTION_H

#include <climits>
#include <string>
#include <string_view>

const unsigned kAllSets = UINT_MAX;

struct AttributeSelection {
    bool normals = true;           // with the tangents and bitangents, which are built on them
    unsigned uvSets = kAllSets;    // texture coordinate sets kept, from the first
    unsigned colorSets = kAllSets; // vertex colour sets kept, from the first

    // The default, `all`: every attribute and every set, custom ones included.
    bool all() const { return normals && uvSets == kAllSets && colorSets == kAllSets; }
};

// Parses a comma-separated list of position, normal, uv, color and all. Returns the first name
// that is none of them, quoted ("'weight'"), or an empty string when all are.
std::string parse_attribute_list(const std::string& list, AttributeSelection& selection);

// Whether a glTF attribute (POSITION, NORMAL, TEXCOORD_1, _CUSTOM, ...) is kept. JOINTS_n and
// WEIGHTS_n go with the positions, since a skin needs them; custom attributes only with `all`.
bool keeps_gltf_attribute(const AttributeSelection& selection, std::string_view name);

#endif
