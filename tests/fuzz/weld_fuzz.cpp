// Turns arbitrary bytes into a vertex array and checks WeldMesh against the reference welder: bit
// for bit where the data is within the contract, against the invariants of a weld where it is not.
// Each input is welded once more under floating-point modes a caller may leave set (flush to zero
// and denormals are zero, other rounding, a shorter x87 significand), which must change nothing.
#include "byte_reader.h"
#include "caller_float_modes.h"
#include "reference_weld.h"
#include "weldmesh.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The reference welder is quadratic on NaN and infinity data, so arrays stay small.
const int kMaxVertices = 256;
const int kMaxFloatsPerVert = 8;
const int kMaxPaletteSize = 8;
const uint32_t kUntouchedBits = 0x7fc0dead;

struct VertexArray {
    int floatsPerVert;
    int count;
    std::vector<float> values;

    const float* Vertex(int i) const { return &values[size_t(i) * floatsPerVert]; }
};

// Layout: floats per vertex, palette size, palette entries (raw bits), then the values to the end
// of the input: one byte each picking a palette entry, or raw bits where the palette is empty.
// A small palette makes ties, and so merged vertices, common.
VertexArray Decode(const uint8_t* data, size_t size) {
    ByteReader in{data, size};
    VertexArray array{1 + in.Byte() % kMaxFloatsPerVert, 0, {}};
    std::vector<float> palette(in.Byte() % (kMaxPaletteSize + 1));
    for (float& entry : palette)
        entry = in.RawFloat();
    const size_t maxValues = size_t(kMaxVertices) * array.floatsPerVert;
    while (!in.AtEnd() && array.values.size() < maxValues)
        array.values.push_back(palette.empty() ? in.RawFloat()
                                               : palette[in.Byte() % palette.size()]);
    array.count = int(array.values.size()) / array.floatsPerVert;
    array.values.resize(size_t(array.count) * array.floatsPerVert);
    return array;
}

bool HasNaN(const VertexArray& array, int i) {
    for (int c = 0; c < array.floatsPerVert; c++)
        if (std::isnan(array.Vertex(i)[c]))
            return true;
    return false;
}

// No NaN anywhere, and no channel holding both infinities.
bool WithinContract(const VertexArray& array) {
    for (int c = 0; c < array.floatsPerVert; c++) {
        bool minusInf = false, plusInf = false;
        for (int i = 0; i < array.count; i++) {
            const float value = array.Vertex(i)[c];
            if (std::isnan(value))
                return false;
            minusInf = minusInf || value == -INFINITY;
            plusInf = plusInf || value == INFINITY;
        }
        if (minusInf && plusInf)
            return false;
    }
    return true;
}

bool Equal(const float* a, const float* b, int floatsPerVert) {
    for (int c = 0; c < floatsPerVert; c++)
        if (!(a[c] == b[c]))
            return false;
    return true;
}

bool SameBits(const float* a, const float* b, size_t floats) {
    return floats == 0 || std::memcmp(a, b, floats * sizeof(float)) == 0;
}

struct Weld {
    int distinct;
    std::vector<int> remap;
    std::vector<float> out;

    const float* OutVertex(int o, int floatsPerVert) const {
        return &out[size_t(o) * floatsPerVert];
    }
};

using WeldFunction = int (*)(int*, float*, const float*, int, int);

Weld Run(WeldFunction weld, const VertexArray& array) {
    float untouched;
    std::memcpy(&untouched, &kUntouchedBits, sizeof untouched);
    Weld result{0, std::vector<int>(array.count, -7),
                std::vector<float>(array.values.size(), untouched)};
    result.distinct = weld(result.remap.data(), result.out.data(), array.values.data(), array.count,
                           array.floatsPerVert);
    return result;
}

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "weld_fuzz: %s\n", what);
        std::abort();
    }
}

void RequireSameAsReference(const Weld& weld, const Weld& reference) {
    Require(weld.distinct == reference.distinct, "result differs from the reference");
    Require(weld.remap == reference.remap, "remap table differs from the reference");
    Require(SameBits(weld.out.data(), reference.out.data(), weld.out.size()),
            "output bits differ from the reference");
}

void RequireWeldInvariants(const VertexArray& array, const Weld& weld) {
    const int floats = array.floatsPerVert;
    Require(weld.distinct >= 1 && weld.distinct <= array.count, "result out of 1..n");
    for (int r : weld.remap)
        Require(r >= 0 && r < weld.distinct, "remap entry out of range");

    std::vector<int> members(weld.distinct, 0);
    std::vector<bool> copiesAMember(weld.distinct, false);
    for (int i = 0; i < array.count; i++) {
        const int o = weld.remap[i];
        members[o]++;
        if (SameBits(array.Vertex(i), weld.OutVertex(o, floats), floats))
            copiesAMember[o] = true;
    }
    for (int o = 0; o < weld.distinct; o++)
        Require(copiesAMember[o], "output vertex is no bit copy of a vertex mapped to it");

    for (int i = 0; i < array.count; i++) {
        const int o = weld.remap[i];
        if (HasNaN(array, i))
            Require(members[o] == 1, "vertex with a NaN shares its output vertex");
        else
            Require(Equal(array.Vertex(i), weld.OutVertex(o, floats), floats),
                    "vertex differs from its output vertex");
        for (int j = i + 1; j < array.count; j++)
            if (Equal(array.Vertex(i), array.Vertex(j), floats))
                Require(weld.remap[j] == o, "equal vertices map to different output vertices");
    }

    const size_t written = size_t(weld.distinct) * floats;
    for (size_t k = written; k < weld.out.size(); k++)
        Require(std::memcmp(&weld.out[k], &kUntouchedBits, sizeof(float)) == 0,
                "output written past the result");
}

void RequireSameInCallerModes(const VertexArray& array, const Weld& weld, size_t inputSize) {
    const size_t modeCount = sizeof kCallerFloatModes / sizeof kCallerFloatModes[0];
    const CallerFloatModes& modes = kCallerFloatModes[inputSize % modeCount];
    Weld inModes;
    const ModesAfterCall after = CallInModes(modes, [&] { inModes = Run(WeldMesh, array); });
    Require(inModes.distinct == weld.distinct && inModes.remap == weld.remap &&
                SameBits(inModes.out.data(), weld.out.data(), weld.out.size()),
            "the caller's floating-point modes change the weld");
    Require(GaveModesBack(after, modes), "the caller's floating-point modes are not restored");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const VertexArray array = Decode(data, size);
    const Weld weld = Run(WeldMesh, array);
    RequireSameInCallerModes(array, weld, size);
    if (WithinContract(array))
        RequireSameAsReference(weld, Run(ReferenceWeldMesh, array));
    else
        RequireWeldInvariants(array, weld);
    return 0;
}
