#ifndef VERTEX_WELD_REFERENCE_WELD_H
#define VERTEX_WELD_REFERENCE_WELD_H

// Same contract and results as WeldMesh, computed the straightforward way.
int ReferenceWeldMesh(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
                      int iNrVerticesIn, int iFloatsPerVert);

#endif
