// What "close" means for a merge, and the cells that find close vertices: each compared component
// is cut into cells a few radii wide (the distance on the position, the tolerance on the others),
// so that every vertex close to another lies in its cell or in the next one along each component.
// A component compared for equality, or a value too large for its cells to be counted in 32 bits,
// is keyed by its exact value instead: distinct floats that large lie further apart than a radius.
//
// Everything here computes in double precision, rounding to nearest, under the modes the merge
// sets: the cells and the distances are then the same on every target.
#ifndef VERTEX_WELD_CLOSE_RULES_H
#define VERTEX_WELD_CLOSE_RULES_H

#include <stdint.h>
#include <string.h>

// Cells are hashed on at most this many components compared within a radius (components compared
// for equality are always hashed), so that a vertex looks at no more than 2^12 cells.
static const int kMaxCellComponents = 12;

struct ComponentRule {
    double fRadius;       // 0: the component must be equal
    double fSearchRadius; // the radius and a margin for the rounding of the distance
    double fInverseCellWidth;
    double fExactFrom;    // values this large, or not finite, are keyed by their value
    uint64_t iHashFactor; // odd, the component's own
    bool bHashed;
};

struct CloseRules {
    int iFloatsPerVert;
    int iPositionFloats;
    double fDistanceSquared;
    ComponentRule* pComponents; // iFloatsPerVert of them
};

// The key of one component's cell; exact keys and counted cells never collide.
typedef uint64_t CellKey;

static inline CellKey ExactKey(float fValue) {
    uint32_t iBits;
    const float fCanonical = fValue == 0.0f ? 0.0f : fValue; // -0 is +0
    memcpy(&iBits, &fCanonical, sizeof iBits);
    return (1ull << 40) | iBits;
}

// Where a value falls among the cells of its component, in cell widths. Cells are centred on the
// multiples of their width: the values most common in vertex data (0 and 1 in normals and UVs,
// integers in CAD data) then lie in a cell's middle, not on a border.
static inline double CellCoordinate(double fValue, const ComponentRule& rule) {
    return fValue * rule.fInverseCellWidth + 0.5;
}

// The cell of a value that is not keyed by its value: its coordinate is below 2^30 in magnitude.
static inline int32_t CountedCell(double fCoordinate) {
    const int32_t iCell = (int32_t)fCoordinate;
    return (double)iCell > fCoordinate ? iCell - 1 : iCell;
}

static inline CellKey CountedKey(int32_t iCell) {
    return (CellKey)((int64_t)iCell + (1ll << 32));
}

static inline bool IsKeyedByValue(float fValue, const ComponentRule& rule) {
    return !(__builtin_fabs((double)fValue) < rule.fExactFrom);
}

// The difference of two components, 0 where they are equal (two equal infinities included).
static inline double Difference(float fA, float fB) {
    return fA == fB ? 0.0 : (double)fA - (double)fB;
}

static inline bool AreClose(const float* pA, const float* pB, const CloseRules& rules) {
    double fSquared = 0.0;
    for (int c = 0; c < rules.iPositionFloats; c++) {
        const double fDelta = Difference(pA[c], pB[c]);
        fSquared += fDelta * fDelta;
    }
    if (!(fSquared <= rules.fDistanceSquared))
        return false;
    for (int c = rules.iPositionFloats; c < rules.iFloatsPerVert; c++)
        if (!(__builtin_fabs(Difference(pA[c], pB[c])) <= rules.pComponents[c].fRadius))
            return false;
    return true;
}

#endif
