#include "model.h"

namespace gltf {

size_t component_size(uint64_t componentType) {
    switch (componentType) {
    case kByte:
    case kUnsignedByte:
        return 1;
    case kShort:
    case kUnsignedShort:
        return 2;
    case kUnsignedInt:
    case kFloat:
        return 4;
    default:
        return 0;
    }
}

size_t component_count(std::string_view type) {
    static const struct {
        const char* name;
        size_t count;
    } types[] = {{"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3}, {"VEC4", 4},
                 {"MAT2", 4},   {"MAT3", 9}, {"MAT4", 16}};
    for (const auto& known : types)
        if (type == known.name)
            return known.count;
    return 0;
}

void Asset::release(const Accessor& accessor) const {
    if (!accessor.hasView)
        return;
    const uint8_t* data = element_data(accessor);
    const size_t length = accessor.stride * (accessor.count - 1) + accessor.elementSize;
    buffers[views[accessor.view].buffer]->file.release(data, length);
    input.release(data, length);
}

} // namespace gltf
