#include "attribute_selection.h"

#include <algorithm>
#include <cstdlib>

std::string parse_attribute_list(const std::string& list, AttributeSelection& selection) {
    selection = AttributeSelection{false, 0, 0};
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, end - start);
        if (name == "all")
            selection = AttributeSelection{};
        else if (name == "normal")
            selection.normals = true;
        else if (name == "uv")
            selection.uvSets = std::max(selection.uvSets, 1u);
        else if (name == "color")
            selection.colorSets = std::max(selection.colorSets, 1u);
        else if (name != "position")
            return name.empty() ? "''" : "'" + name + "'";
        start = end + 1;
    }
    return "";
}

namespace {

bool starts_with(std::string_view name, std::string_view prefix) {
    return name.substr(0, prefix.size()) == prefix;
}

// The set number of "TEXCOORD_3" after its prefix.
unsigned long set_of(std::string_view name, std::string_view prefix) {
    return std::strtoul(std::string(name.substr(prefix.size())).c_str(), nullptr, 10);
}

} // namespace

bool keeps_gltf_attribute(const AttributeSelection& selection, std::string_view name) {
    if (name == "POSITION" || starts_with(name, "JOINTS_") || starts_with(name, "WEIGHTS_"))
        return true;
    if (name == "NORMAL" || name == "TANGENT")
        return selection.normals;
    if (starts_with(name, "TEXCOORD_"))
        return set_of(name, "TEXCOORD_") < selection.uvSets;
    if (starts_with(name, "COLOR_"))
        return set_of(name, "COLOR_") < selection.colorSets;
    return selection.all();
}
