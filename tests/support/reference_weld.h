#ifndef VERTEX_WELD_REFERENCE_WELD_H
#define VERTEX_WELD_REFERENCE_WELD_H

// The results WeldMesh must give, computed the straightforward way. Only for valid arguments: it
// checks nothing but the vertex count.
int ReferenceWeldMesh(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
                      int iNrVerticesIn, int iFloatsPerVert);

#endif
