/* Welds the worked example through whatever provides WeldMesh and checks every output bit. */
#include "weldmesh.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    static const float in[5 * 3] = {1, 2, 3, 0, 0, 0, 1, 2, 3, -0.0f, 0, 0, 5, 1, 1};
    static const float expectedOut[3 * 3] = {-0.0f, 0, 0, 1, 2, 3, 5, 1, 1};
    static const int expectedRemap[5] = {1, 0, 1, 0, 2};
    float out[5 * 3];
    int remap[5];

    const int unique = WeldMesh(remap, out, in, 5, 3);
    if (unique != 3 || memcmp(out, expectedOut, sizeof expectedOut) != 0 ||
        memcmp(remap, expectedRemap, sizeof remap) != 0) {
        fprintf(stderr, "WeldMesh gave %d vertices, or wrong output or remap\n", unique);
        return 1;
    }
    printf("WeldMesh welded the worked example to %d vertices\n", unique);
    return 0;
}
