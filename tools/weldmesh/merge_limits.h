// What --merge-distance and --tolerance ask of both back-ends.
#ifndef WELDMESH_MERGE_LIMITS_H
#define WELDMESH_MERGE_LIMITS_H

// Vertices merge when their positions lie within `distance` of each other and each of their
// other float components differs by at most `tolerance`; integer and normalized components, and
// positions that are not floats, must be equal.
struct MergeLimits {
    bool active = false; // false: the exact weld
    float distance = 0.0f;
    float tolerance = 0.0f;
};

#endif
