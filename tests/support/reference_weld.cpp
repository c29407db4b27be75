// The welder exactly as first written: every range is re-read through the ID array at every
// level, and each run compares every vertex with all of the run's distinct vertices. Slow on
// purpose, and kept as the oracle that the library's results are compared with bit for bit.
#include "reference_weld.h"

#include <assert.h>
#include <stdlib.h>
#include <string.h>

static void MergeVertsFast(int* piCurNrUniqueVertices, int piRemapTable[], float pfVertexDataOut[],
                           int piVertexIDs[], const float pfVertexDataIn[],
                           const int iFloatsPerVert, int iL_in, const int iR_in, int iChannelNum) {
    for (;;) {
        const int iCount = iR_in - iL_in + 1;
        // clang-format off
        assert(iCount>0);
        // clang-format on

        float fMin = pfVertexDataIn[piVertexIDs[iL_in] * iFloatsPerVert + iChannelNum];
        float fMax = fMin;
        for (int l = iL_in + 1; l <= iR_in; l++) {
            const float fVal = pfVertexDataIn[piVertexIDs[l] * iFloatsPerVert + iChannelNum];
            if (fMin > fVal)
                fMin = fVal;
            else if (fMax < fVal)
                fMax = fVal;
        }

        // The midpoint of two different finite floats lies strictly between them only when it is
        // kept at extended precision; a float or double midpoint can equal one of the ends.
        const long double fAvg = ((long double)fMax + fMin) * 0.5f;

        // A NaN midpoint (a NaN first value, or -inf beside +inf) cannot split anything, so such
        // a range is treated like one whose values are all equal on this channel.
        if (iCount == 1 || !(fMin < fAvg && fAvg < fMax)) {
            if (iChannelNum + 1 == iFloatsPerVert || iCount == 1)
                break;
            iChannelNum++;
            continue;
        }

        int iL = iL_in, iR = iR_in;
        while (iL < iR) {
            int iReadyLeftSwap = 0, iReadyRightSwap = 0;
            while (iReadyLeftSwap == 0 && iL < iR) {
                // clang-format off
                assert(iL>=iL_in && iL<=iR_in);
                // clang-format on
                const int iIndex = piVertexIDs[iL] * iFloatsPerVert + iChannelNum;
                iReadyLeftSwap = !(pfVertexDataIn[iIndex] < fAvg);
                if (iReadyLeftSwap == 0)
                    iL++;
            }
            while (iReadyRightSwap == 0 && iL < iR) {
                // clang-format off
                assert(iR>=iL_in && iR<=iR_in);
                // clang-format on
                const int iIndex = piVertexIDs[iR] * iFloatsPerVert + iChannelNum;
                iReadyRightSwap = pfVertexDataIn[iIndex] < fAvg;
                if (iReadyRightSwap == 0)
                    iR--;
            }
            // clang-format off
            assert((iL<iR) || (iReadyLeftSwap==0 || iReadyRightSwap==0));
            // clang-format on

            if (iReadyLeftSwap && iReadyRightSwap) {
                const int iID = piVertexIDs[iL];
                piVertexIDs[iL] = piVertexIDs[iR];
                piVertexIDs[iR] = iID;
                iL++;
                iR--;
            }
        }

        // clang-format off
        assert(iL==(iR+1) || (iL==iR));
        // clang-format on
        if (iL == iR) {
            if (pfVertexDataIn[piVertexIDs[iR] * iFloatsPerVert + iChannelNum] < fAvg)
                iL++;
            else
                iR--;
        }

        if (iL_in <= iR)
            MergeVertsFast(piCurNrUniqueVertices, piRemapTable, pfVertexDataOut, piVertexIDs,
                           pfVertexDataIn, iFloatsPerVert, iL_in, iR, iChannelNum);
        if (iL > iR_in)
            return;
        iL_in = iL;
    }

    // Run merge: the range can be split no further. Its distinct vertices are appended to the
    // output, where they are also searched, so the run needs no list of its own.
    const int iBase = *piCurNrUniqueVertices;
    float* pfNewUniVertsOut = &pfVertexDataOut[iBase * iFloatsPerVert];
    int iUniqueNewVertices = 0;
    for (int l = iL_in; l <= iR_in; l++) {
        const float* pfVert = &pfVertexDataIn[piVertexIDs[l] * iFloatsPerVert];
        int iFound = 0, l2 = 0;
        while (iFound == 0 && l2 < iUniqueNewVertices) {
            const float* pfCand = &pfNewUniVertsOut[l2 * iFloatsPerVert];
            int iAllSame = 1;
            for (int c = 0; iAllSame != 0 && c < iFloatsPerVert; c++)
                iAllSame = pfVert[c] == pfCand[c];
            iFound = iAllSame;
            if (iFound == 0)
                l2++;
        }
        if (iFound == 0) {
            memcpy(&pfNewUniVertsOut[iUniqueNewVertices * iFloatsPerVert], pfVert,
                   sizeof(float) * iFloatsPerVert);
            iUniqueNewVertices++;
        }
        // clang-format off
        assert(piRemapTable[piVertexIDs[l]] == -1);
        // clang-format on
        piRemapTable[piVertexIDs[l]] = iBase + l2;
    }
    *piCurNrUniqueVertices += iUniqueNewVertices;
}

int ReferenceWeldMesh(int* piRemapTable, float* pfVertexDataOut, const float* pfVertexDataIn,
                      int iNrVerticesIn, int iFloatsPerVert) {
    int iUniqueVertices = 0;
    if (iNrVerticesIn <= 0)
        return 0;

    int* piVertexIDs = (int*)malloc(sizeof(int) * iNrVerticesIn);
    if (piVertexIDs == NULL)
        return 0;
    for (int i = 0; i < iNrVerticesIn; i++) {
        piRemapTable[i] = -1;
        piVertexIDs[i] = i;
    }

    MergeVertsFast(&iUniqueVertices, piRemapTable, pfVertexDataOut, piVertexIDs, pfVertexDataIn,
                   iFloatsPerVert, 0, iNrVerticesIn - 1, 0);

    free(piVertexIDs);

    for (int i = 0; i < iUniqueVertices; i++) {
        // clang-format off
        assert(piRemapTable[i]>=0);
        // clang-format on
    }

    return iUniqueVertices;
}
