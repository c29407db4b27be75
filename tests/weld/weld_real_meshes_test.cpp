// Real meshes, read from STL files as the triangle soups they store, must weld exactly as the
// straightforward welder welds them, on every target.
#include "reference_weld.h"
#include "weld_test_util.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Each triangle corner as its position and the face normal, 6 floats.
using CornerSoup = std::vector<float>;

void AddCorner(CornerSoup& soup, const float* position, const float* normal) {
    soup.insert(soup.end(), position, position + 3);
    soup.insert(soup.end(), normal, normal + 3);
}

// Binary STL: an 80-byte header, a triangle count, then per triangle a normal, three corners
// and two attribute bytes, all little-endian.
bool ReadBinaryStl(const std::string& bytes, CornerSoup& soup) {
    if (bytes.size() < 84)
        return false;
    uint32_t triangles;
    std::memcpy(&triangles, &bytes[80], sizeof triangles);
    if (bytes.size() != 84 + size_t(triangles) * 50)
        return false;
    for (uint32_t t = 0; t < triangles; t++) {
        float record[12];
        std::memcpy(record, &bytes[84 + size_t(t) * 50], sizeof record);
        for (int corner = 0; corner < 3; corner++)
            AddCorner(soup, &record[3 + 3 * corner], &record[0]);
    }
    return true;
}

void ReadAsciiStl(const std::string& text, CornerSoup& soup) {
    std::istringstream in(text);
    std::string word;
    float normal[3] = {0, 0, 0};
    while (in >> word) {
        if (word == "normal") {
            in >> normal[0] >> normal[1] >> normal[2];
        } else if (word == "vertex") {
            float position[3];
            in >> position[0] >> position[1] >> position[2];
            AddCorner(soup, position, normal);
        }
    }
}

CornerSoup ReadStl(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << "cannot open " << path << " (Debian package assimp-testmodels)";
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    CornerSoup soup;
    if (!ReadBinaryStl(bytes, soup))
        ReadAsciiStl(bytes, soup);
    return soup;
}

std::vector<float> PositionsOnly(const CornerSoup& soup) {
    std::vector<float> positions;
    for (size_t i = 0; i < soup.size(); i += 6)
        positions.insert(positions.end(), &soup[i], &soup[i] + 3);
    return positions;
}

class RealMeshes : public testing::TestWithParam<const char*> {};

TEST_P(RealMeshes, WeldLikeTheStraightforwardWelder) {
    const CornerSoup soup = ReadStl(std::string(VERTEX_WELD_MODEL_DIR) + "/STL/" + GetParam());
    ASSERT_FALSE(soup.empty());
    ExpectSameWeld(RunWeld(soup, 6), RunWeld(soup, 6, ReferenceWeldMesh));

    const std::vector<float> positions = PositionsOnly(soup);
    const WeldRun run = RunWeld(positions, 3);
    ExpectSameWeld(run, RunWeld(positions, 3, ReferenceWeldMesh));
    EXPECT_LT(run.unique, int(positions.size()) / 3) << "the triangles share no corner";
}

INSTANTIATE_TEST_SUITE_P(Weld, RealMeshes,
                         testing::Values("Spider_binary.stl", "Spider_ascii.stl", "Wuson.stl",
                                         "3DSMaxExport.STL", "sphereWithHole.stl"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return name;
                         });

} // namespace
