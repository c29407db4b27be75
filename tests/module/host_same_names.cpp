// A host module with functions of its own that bear the names, and signatures, of functions inside
// the weld (as a host that bundles another welder may have). It links against the archive only if
// WeldMesh is the archive's one global symbol; then each call must reach its own definition.
#include "weldmesh.h"

#include <cstdio>
#include <cstring>

int MergeVertsFast(int* piRemapTable, float*, int*, const float*, int, int iNrVerticesIn) {
    for (int i = 0; i < iNrVerticesIn; i++)
        piRemapTable[i] = i;
    return iNrVerticesIn;
}

void RankGroups(int* piRemapTable, int*, float*, const float*, int, int, int iNrGroups) {
    piRemapTable[0] = iNrGroups;
}

int main() {
    static const float in[5 * 3] = {1, 2, 3, 0, 0, 0, 1, 2, 3, -0.0f, 0, 0, 5, 1, 1};
    static const float expectedOut[3 * 3] = {-0.0f, 0, 0, 1, 2, 3, 5, 1, 1};
    static const int expectedRemap[5] = {1, 0, 1, 0, 2};
    float out[5 * 3];
    int remap[5];
    if (WeldMesh(remap, out, in, 5, 3) != 3 || memcmp(out, expectedOut, sizeof expectedOut) != 0 ||
        memcmp(remap, expectedRemap, sizeof remap) != 0) {
        std::fprintf(stderr, "WeldMesh did not weld the worked example\n");
        return 1;
    }
    int hostRemap[5];
    if (MergeVertsFast(hostRemap, out, remap, in, 3, 5) != 5 || hostRemap[4] != 4) {
        std::fprintf(stderr, "the host's MergeVertsFast was not the one called\n");
        return 1;
    }
    RankGroups(hostRemap, remap, out, in, 5, 3, 9);
    if (hostRemap[0] != 9) {
        std::fprintf(stderr, "the host's RankGroups was not the one called\n");
        return 1;
    }
    std::printf("the host's MergeVertsFast and RankGroups link beside WeldMesh\n");
    return 0;
}
