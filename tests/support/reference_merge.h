#ifndef VERTEX_WELD_REFERENCE_MERGE_H
#define VERTEX_WELD_REFERENCE_MERGE_H

// What MergeCloseVertices asks of two vertices, besides their size: the first positionFloats
// components are a position compared by Euclidean distance, the others each by a tolerance.
struct CloseRequest {
    int floatsPerVert;
    int positionFloats;
    float distance;
    const float* tolerances; // nrTolerances of them: none, one for all, or one per component
    int nrTolerances;
};

// Whether two vertices are close, the straightforward way: a vertex holding a NaN is close to
// nothing, an infinite component only to its equal, and equal components differ by 0 (+0 equals
// -0); the squared distance is summed in double precision in component order and compared with
// the squared distance, the others' differences with their tolerances.
bool ReferenceAreClose(const float* a, const float* b, const CloseRequest& request);

// The results MergeCloseVertices must give, by comparing every distinct vertex with every
// representative: the vertices are welded exactly with WeldMesh, then walked in that order, each
// joining the first representative it is close to or becoming one. Only for valid arguments.
int ReferenceMergeCloseVertices(int* piRemapTable, float* pfVertexDataOut,
                                const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert,
                                int iPositionFloats, float fDistance, const float* pfTolerances,
                                int iNrTolerances);

#endif
