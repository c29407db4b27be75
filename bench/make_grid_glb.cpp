// Writes the glTF benchmark's input: an N x N vertex grid on a curved surface as an unindexed
// triangle soup (every corner stored), with POSITION, NORMAL and TEXCOORD_0 as floats.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Corner {
    float position[3];
    float normal[3];
    float uv[2];
};

Corner grid_vertex(int i, int j, int n) {
    const float u = float(i) / float(n - 1), v = float(j) / float(n - 1);
    const float x = 10 * u, y = 10 * v, z = std::sin(x) * std::cos(y);
    const float dx = std::cos(x) * std::cos(y), dy = -std::sin(x) * std::sin(y);
    const float length = std::sqrt(dx * dx + dy * dy + 1);
    return {{x, y, z}, {-dx / length, -dy / length, 1 / length}, {u, v}};
}

void put_u32(std::FILE* file, uint32_t value) {
    std::fwrite(&value, 4, 1, file);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_grid_glb N OUTPUT.glb\n");
        return 2;
    }
    const int n = std::atoi(argv[1]);
    std::vector<Corner> corners;
    corners.reserve(size_t(n - 1) * size_t(n - 1) * 6);
    for (int j = 0; j + 1 < n; ++j)
        for (int i = 0; i + 1 < n; ++i)
            for (const auto& [di, dj] : {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}})
                corners.push_back(grid_vertex(i + di, j + dj, n));
    const size_t count = corners.size();
    // The accessor bounds glTF asks of POSITION.
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (const Corner& corner : corners)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::fmin(lo[k], corner.position[k]);
            hi[k] = std::fmax(hi[k], corner.position[k]);
        }
    char bounds[256];
    std::snprintf(bounds, sizeof bounds, "\"min\":[%.9g,%.9g,%.9g],\"max\":[%.9g,%.9g,%.9g]", lo[0],
                  lo[1], lo[2], hi[0], hi[1], hi[2]);
    const std::string c = std::to_string(count);
    auto view = [&](size_t offset, size_t length) {
        return "{\"buffer\":0,\"byteOffset\":" + std::to_string(offset) +
               ",\"byteLength\":" + std::to_string(length) + ",\"target\":34962}";
    };
    auto accessor = [&](int view, const char* type, const std::string& extra) {
        return "{\"bufferView\":" + std::to_string(view) +
               ",\"componentType\":5126,\"count\":" + c + ",\"type\":\"" + type + "\"" + extra +
               "}";
    };
    std::string json = "{\"asset\":{\"version\":\"2.0\",\"generator\":\"make_grid_glb\"},"
                       "\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"mesh\":0}],"
                       "\"meshes\":[{\"primitives\":[{\"attributes\":"
                       "{\"POSITION\":0,\"NORMAL\":1,\"TEXCOORD_0\":2}}]}],\"accessors\":[" +
                       accessor(0, "VEC3", std::string(",") + bounds) + "," +
                       accessor(1, "VEC3", "") + "," + accessor(2, "VEC2", "") +
                       "],\"bufferViews\":[" + view(0, count * 12) + "," +
                       view(count * 12, count * 12) + "," + view(count * 24, count * 8) +
                       "],\"buffers\":[{\"byteLength\":" + std::to_string(count * 32) + "}]}";
    json.resize((json.size() + 3) & ~size_t(3), ' ');

    std::FILE* file = std::fopen(argv[2], "wb");
    if (!file) {
        std::perror(argv[2]);
        return 1;
    }
    put_u32(file, 0x46546C67);
    put_u32(file, 2);
    put_u32(file, uint32_t(12 + 8 + json.size() + 8 + count * 32));
    put_u32(file, uint32_t(json.size()));
    put_u32(file, 0x4E4F534A);
    std::fwrite(json.data(), 1, json.size(), file);
    put_u32(file, uint32_t(count * 32));
    put_u32(file, 0x004E4942);
    for (const Corner& corner : corners)
        std::fwrite(corner.position, 12, 1, file);
    for (const Corner& corner : corners)
        std::fwrite(corner.normal, 12, 1, file);
    for (const Corner& corner : corners)
        std::fwrite(corner.uv, 8, 1, file);
    if (std::fclose(file) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    std::printf("%s: %zu corners, %d x %d vertices\n", argv[2], count, n, n);
    return 0;
}
