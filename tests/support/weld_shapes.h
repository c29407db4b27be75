// Vertex data of shapes that both the tests and the benchmark weld.
#ifndef VERTEX_WELD_TESTS_WELD_SHAPES_H
#define VERTEX_WELD_TESTS_WELD_SHAPES_H

#include <limits>
#include <random>
#include <vector>

// Two floats per vertex. Channel 0 holds -inf in a tenth of the vertices, +inf in another tenth
// and an integer below 5,000 elsewhere, channel 1 an integer below 1,000: most vertices are
// distinct, and no channel splits the whole range.
inline std::vector<float> BothInfinitiesAmongIntegers(int vertices, unsigned seed) {
    const float inf = std::numeric_limits<float>::infinity();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> tenth(0, 9), first(0, 4999), second(0, 999);
    std::vector<float> values;
    for (int i = 0; i < vertices; i++) {
        const int t = tenth(random);
        const float x = t == 0 ? -inf : t == 1 ? inf : float(first(random));
        values.insert(values.end(), {x, float(second(random))});
    }
    return values;
}

#endif
