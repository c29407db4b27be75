// Turns arbitrary bytes into a vertex array and a merge request, and checks MergeCloseVertices
// against the quadratic reference merge bit for bit, for any data, NaNs and infinities included;
// a request with a negative or NaN radius must be refused. Each input is merged once more under
// floating-point modes a caller may leave set, which must change nothing.
#include "byte_reader.h"
#include "caller_float_modes.h"
#include "mergeclose.h"
#include "reference_merge.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The reference compares every vertex with every representative, so arrays stay small.
const int kMaxVertices = 256;
const int kMaxFloatsPerVert = 8;
const int kMaxPaletteSize = 8;

struct MergeInput {
    int floatsPerVert;
    int positionFloats;
    float distance;
    std::vector<float> tolerances;
    int count;
    std::vector<float> values;
};

// Layout: floats per vertex, position floats, the distance, the tolerance count (none, one or
// one per component) and the tolerances, a step, the palette size and entries, then one byte
// per value: a palette entry plus 0 to 3 steps. A step near the radii puts vertices near, at and
// past the distance from each other.
MergeInput Decode(const uint8_t* data, size_t size) {
    ByteReader in{data, size};
    MergeInput input;
    input.floatsPerVert = 1 + in.Byte() % kMaxFloatsPerVert;
    input.positionFloats = 1 + in.Byte() % input.floatsPerVert;
    input.distance = in.RawFloat();
    const int others = input.floatsPerVert - input.positionFloats;
    const int toleranceChoice = in.Byte() % 3;
    input.tolerances.resize(toleranceChoice == 0 ? 0 : toleranceChoice == 1 ? 1 : others);
    for (float& tolerance : input.tolerances)
        tolerance = in.RawFloat();
    const float step = in.RawFloat();
    std::vector<float> palette(1 + in.Byte() % kMaxPaletteSize);
    for (float& entry : palette)
        entry = in.RawFloat();
    const size_t maxValues = size_t(kMaxVertices) * input.floatsPerVert;
    while (!in.AtEnd() && input.values.size() < maxValues) {
        const uint8_t pick = in.Byte();
        input.values.push_back(palette[pick % palette.size()] + float(pick >> 6) * step);
    }
    input.count = int(input.values.size()) / input.floatsPerVert;
    input.values.resize(size_t(input.count) * input.floatsPerVert);
    return input;
}

bool IsValidRadius(float radius) {
    return radius >= 0.0f;
}

bool IsValidRequest(const MergeInput& input) {
    if (!IsValidRadius(input.distance))
        return false;
    for (float tolerance : input.tolerances)
        if (!IsValidRadius(tolerance))
            return false;
    return true;
}

struct Merge {
    int count;
    std::vector<int> remap;
    std::vector<float> out;
};

using MergeFunction = int (*)(int*, float*, const float*, int, int, int, float, const float*, int);

Merge Run(MergeFunction merge, const MergeInput& input) {
    Merge result{0, std::vector<int>(input.count, -7), std::vector<float>(input.values.size())};
    result.count = merge(result.remap.data(), result.out.data(), input.values.data(), input.count,
                         input.floatsPerVert, input.positionFloats, input.distance,
                         input.tolerances.data(), int(input.tolerances.size()));
    return result;
}

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "merge_fuzz: %s\n", what);
        std::abort();
    }
}

bool SameResult(const Merge& a, const Merge& b, int floatsPerVert) {
    return a.count == b.count && a.remap == b.remap &&
           std::memcmp(a.out.data(), b.out.data(),
                       size_t(a.count) * floatsPerVert * sizeof(float)) == 0;
}

void RequireSameInCallerModes(const MergeInput& input, const Merge& merge, size_t inputSize) {
    const size_t modeCount = sizeof kCallerFloatModes / sizeof kCallerFloatModes[0];
    const CallerFloatModes& modes = kCallerFloatModes[inputSize % modeCount];
    Merge inModes;
    const ModesAfterCall after =
        CallInModes(modes, [&] { inModes = Run(MergeCloseVertices, input); });
    Require(SameResult(inModes, merge, input.floatsPerVert),
            "the caller's floating-point modes change the merge");
    Require(GaveModesBack(after, modes), "the caller's floating-point modes are not restored");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const MergeInput input = Decode(data, size);
    if (input.count == 0)
        return 0;
    const Merge merge = Run(MergeCloseVertices, input);
    RequireSameInCallerModes(input, merge, size);
    if (!IsValidRequest(input)) {
        Require(merge.count == 0, "a negative or NaN radius is not refused");
        return 0;
    }
    Require(SameResult(merge, Run(ReferenceMergeCloseVertices, input), input.floatsPerVert),
            "the merge differs from the reference");
    return 0;
}
