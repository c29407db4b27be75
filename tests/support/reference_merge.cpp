// Quadratic on purpose: every distinct vertex is compared with every representative before it.
#include "reference_merge.h"

#include "weldmesh.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

bool HasNaN(const float* vertex, int floatsPerVert) {
    for (int c = 0; c < floatsPerVert; c++)
        if (std::isnan(vertex[c]))
            return true;
    return false;
}

float ToleranceOf(int c, const CloseRequest& request) {
    if (request.nrTolerances == 0)
        return 0.0f;
    return request.tolerances[request.nrTolerances == 1 ? 0 : c - request.positionFloats];
}

} // namespace

bool ReferenceAreClose(const float* a, const float* b, const CloseRequest& request) {
    if (HasNaN(a, request.floatsPerVert) || HasNaN(b, request.floatsPerVert))
        return false;
    double squared = 0.0;
    for (int c = 0; c < request.floatsPerVert; c++) {
        if (a[c] == b[c])
            continue;
        if (std::isinf(a[c]) || std::isinf(b[c]))
            return false;
        const double difference = double(a[c]) - double(b[c]);
        if (c < request.positionFloats)
            squared += difference * difference;
        else if (!(std::fabs(difference) <= double(ToleranceOf(c, request))))
            return false;
    }
    const double distance = request.distance;
    return squared <= distance * distance;
}

int ReferenceMergeCloseVertices(int* piRemapTable, float* pfVertexDataOut,
                                const float* pfVertexDataIn, int iNrVerticesIn, int iFloatsPerVert,
                                int iPositionFloats, float fDistance, const float* pfTolerances,
                                int iNrTolerances) {
    const CloseRequest request = {iFloatsPerVert, iPositionFloats, fDistance, pfTolerances,
                                  iNrTolerances};
    const int floats = iFloatsPerVert;
    std::vector<float> distinct(size_t(iNrVerticesIn) * floats);
    std::vector<int> distinctOf(iNrVerticesIn);
    const int nrDistinct =
        WeldMesh(distinctOf.data(), distinct.data(), pfVertexDataIn, iNrVerticesIn, floats);
    std::vector<int> outputOf(nrDistinct);
    int nrOutputs = 0;
    for (int j = 0; j < nrDistinct; j++) {
        const float* vertex = &distinct[size_t(j) * floats];
        int k = 0;
        while (k < nrOutputs &&
               !ReferenceAreClose(vertex, &pfVertexDataOut[size_t(k) * floats], request))
            k++;
        if (k == nrOutputs) {
            std::memcpy(&pfVertexDataOut[size_t(k) * floats], vertex, sizeof(float) * floats);
            nrOutputs++;
        }
        outputOf[j] = k;
    }
    for (int i = 0; i < iNrVerticesIn; i++)
        piRemapTable[i] = outputOf[distinctOf[i]];
    return nrOutputs;
}
