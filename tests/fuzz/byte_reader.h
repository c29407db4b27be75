// Reads a fuzz input as bytes and big-endian float bits, giving zeros past its end.
#ifndef VERTEX_WELD_TESTS_BYTE_READER_H
#define VERTEX_WELD_TESTS_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

struct ByteReader {
    const uint8_t* data;
    size_t size;
    size_t position = 0;

    bool AtEnd() const { return position >= size; }
    uint8_t Byte() { return AtEnd() ? 0 : data[position++]; }
    float RawFloat() {
        uint32_t bits = 0;
        for (int i = 0; i < 4; i++)
            bits = bits << 8 | Byte();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
};

#endif
