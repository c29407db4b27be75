/* Two triangles whose shared corners came apart by float noise merge back into a quad. */
#include <stdio.h>

#include "mergeclose.h"

int main(void) {
    const float soup[6 * 3] = {
        0, 0, 0, 1, 0, 0, 0,         1, 0,         /* first triangle */
        1, 0, 0, 1, 1, 0, 0.000001f, 1, 0.000001f, /* second, two corners moved by noise */
    };
    int indices[6];
    float vertices[6 * 3];
    const int count = MergeCloseVertices(indices, vertices, soup, 6, 3, 3, 0.00001f, NULL, 0);
    printf("%d vertices, triangles %d %d %d and %d %d %d\n", count, indices[0], indices[1],
           indices[2], indices[3], indices[4], indices[5]);
    return count == 4 && indices[2] == indices[5] ? 0 : 1;
}
