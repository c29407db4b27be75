// Little-endian reads and the layout rules of glTF's binary data, shared by the stages.
#ifndef WELDMESH_GLTF_BYTES_H
#define WELDMESH_GLTF_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace gltf {

// The glb container's magic and chunk types.
const uint32_t kGlbMagic = 0x46546C67;
const uint32_t kChunkJson = 0x4E4F534A;
const uint32_t kChunkBin = 0x004E4942;

// An unsigned integer of 1, 2 or 4 bytes.
inline uint32_t read_index(const uint8_t* at, size_t size) {
    if (size == 1)
        return *at;
    if (size == 2)
        return uint32_t(at[0] | at[1] << 8);
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

inline uint32_t read_u32(const uint8_t* at) {
    return read_index(at, 4);
}

inline size_t align4(size_t n) {
    return (n + 3) & ~size_t(3);
}

} // namespace gltf

#endif
