/* vertex_weld: merging of vertices that lie within a distance of each other. */
#ifndef VERTEX_WELD_MERGECLOSE_H
#define VERTEX_WELD_MERGECLOSE_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Merges vertices that are close to each other, from iNrVerticesIn vertices of iFloatsPerVert
 * floats each, stored vertex after vertex in pfVertexDataIn. Two vertices are close when the
 * Euclidean distance of their first iPositionFloats components (the position) is at most
 * fDistance and each of the other components differs by at most its tolerance: pfTolerances
 * holds iNrTolerances values, 0 (pfTolerances may be NULL: every other component must be equal),
 * 1 (one tolerance for all of them) or iFloatsPerVert - iPositionFloats (one per component). A
 * tolerance or distance of 0 asks for equality, with +0 equal to -0. The arithmetic is double
 * precision, rounding to nearest: the squares of the position's differences are summed in
 * component order and compared with fDistance squared; equal components differ by 0, two equal
 * infinities included.
 *
 * The vertices are welded exactly first (WeldMesh), then the distinct vertices are walked in
 * that order: each joins the first representative it is close to, or becomes one. Writes the
 * representatives, packed from index 0, to pfVertexDataOut and sets piRemapTable[i] to the index
 * of input vertex i's representative there. Returns the number of representatives.
 *
 * What the result promises:
 * - every vertex is close to its representative: a merge never drifts along a chain of
 *   vertices each close to the next;
 * - no two representatives are close to each other;
 * - every output vertex is a bit-exact copy of an input vertex that maps to it;
 * - for finite data the output is sorted lexicographically (component 0 first) and depends only
 *   on the set of input vertices, not on their order (up to which of +0 and -0 stands for a
 *   group, as in WeldMesh);
 * - a vertex holding a NaN is merged with nothing, and infinite components are close only
 *   where equal;
 * - the same result on every target and whatever floating-point modes the caller left set: the
 *   distances are computed in double precision, rounding to nearest, under modes the call sets
 *   and restores, exception flags included.
 * With fDistance 0 and every tolerance 0 the result is WeldMesh's.
 *
 * piRemapTable: iNrVerticesIn ints. pfVertexDataOut: room for iNrVerticesIn * iFloatsPerVert
 * floats; past the returned count it holds scratch. pfVertexDataIn is never written.
 *
 * Returns 0 and writes nothing when WeldMesh would, and when:
 * - iPositionFloats is not in 1..iFloatsPerVert;
 * - fDistance or a tolerance is negative or NaN;
 * - iNrTolerances is not one of the counts above, or pfTolerances is NULL with iNrTolerances > 0.
 * Returns 0 too when the work block cannot be allocated; the remap table and the output then
 * hold scratch.
 *
 * Time: linear in the vertex count, with a constant that grows with the number of compared
 * components. Candidates are found through a hash of cells keyed on every compared component,
 * each cell 4k radii wide on the k components compared within a radius (8 radii at least); a
 * vertex looks at one cell, or at two along each component where it lies near a cell's border.
 * Where representatives that are pairwise apart crowd such cells (data laid out on a lattice just
 * over the radius apart), the walk goes on with cells 3 radii wide, which hold about 4^j of them
 * along j components at most, and looks at more cells. Only the first twelve components compared
 * within a radius are hashed, so that a vertex looks at no more than 2^12 cells; vertices that
 * share their cells along those and differ only past them are compared one by one.
 * Memory: WeldMesh's block of 4 bytes per vertex, freed, then one heap block of at most
 * 16 bytes per distinct vertex and 48 bytes per component, freed before returning; nothing else.
 * The stack use is under a kilobyte besides WeldMesh's.
 * Threads: no global or static state; concurrent calls are safe as long as no array that one
 * call writes is used by another.
 */
int MergeCloseVertices(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
                       int iNrVerticesIn, int iFloatsPerVert, int iPositionFloats, float fDistance,
                       const float* pfTolerances, int iNrTolerances);

#ifdef __cplusplus
}
#endif

#endif
