/* vertex_weld: exact removal of duplicate vertices from an interleaved float vertex array. */
#ifndef VERTEX_WELD_WELDMESH_H
#define VERTEX_WELD_WELDMESH_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Removes exact duplicates from iNrVerticesIn vertices of iFloatsPerVert floats each, stored
 * vertex after vertex in pfVertexDataIn. Two vertices are equal when every component compares
 * equal as a float: +0 equals -0, and a vertex holding a NaN equals nothing, not even itself.
 *
 * Writes the distinct vertices, packed from index 0, to pfVertexDataOut, each a bit-exact copy of
 * one of the input vertices it stands for, and sets piRemapTable[i] to the index of input vertex
 * i's representative there. Returns the number of distinct vertices. The output order and the
 * choice of representatives are deterministic: for finite data the output is sorted
 * lexicographically (component 0 first).
 *
 * piRemapTable: iNrVerticesIn ints. pfVertexDataOut: room for iNrVerticesIn * iFloatsPerVert
 * floats; what lies past the returned count is left as it was. pfVertexDataIn is never written.
 *
 * Returns 0 and writes nothing when:
 * - iNrVerticesIn <= 0;
 * - iFloatsPerVert <= 0;
 * - iNrVerticesIn * iFloatsPerVert does not fit an int, or an array of that many floats, or the
 *   work array of iNrVerticesIn ints, would not fit the address space;
 * - an array is NULL;
 * - any two of the three arrays overlap (an in-place call included);
 * - the work array cannot be allocated.
 * With iNrVerticesIn >= 1 and valid arguments the result is at least 1.
 *
 * Data holding NaNs, or both infinities in one component, is welded as well: every remap entry is
 * valid, every output vertex is a bit copy of a vertex that maps to it, and a vertex with a NaN is
 * never merged; the order of such output is deterministic but not promised. No input makes the
 * call quadratic.
 *
 * Memory: one heap block of 4 bytes per vertex, freed before returning; nothing else. The stack
 * use is a few kilobytes, growing with log2 of the vertex count.
 * Threads: no global or static state; concurrent calls are safe as long as no array that one
 * call writes is used by another.
 * Floating-point modes: the result is the same whatever modes the caller left set (flush to zero,
 * denormals are zero, another rounding direction, x87 precision, unmasked exceptions): the call
 * works on the values' bits, and where it computes with floats it sets its own modes and restores
 * the caller's, exception flags included.
 */
int WeldMesh(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
             int iNrVerticesIn, int iFloatsPerVert);

#ifdef __cplusplus
}
#endif

#endif
