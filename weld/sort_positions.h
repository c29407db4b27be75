// Sorts positions 0 .. n - 1 of whatever an order type arranges: Less(i, j) compares two positions,
// Swap(i, j) exchanges them, Prefetch(i) asks for what Less will read at position i. In place and
// never quadratic, whatever the input: no allocation, and a recursion depth of at most log2 n.
#ifndef VERTEX_WELD_SORT_POSITIONS_H
#define VERTEX_WELD_SORT_POSITIONS_H

#include "weld_internal.h"

template <typename Order> static void HeapSortPositions(const Order& order, int iLo, int iHi) {
    const int iCount = iHi - iLo + 1;
    for (int iEnd = iCount, iNext = iCount / 2;;) {
        int iRoot;
        if (iNext > 0) {
            iRoot = --iNext;
        } else {
            if (--iEnd <= 0)
                return;
            order.Swap(iLo, iLo + iEnd);
            iRoot = 0;
        }
        for (int iChild; iRoot < iEnd / 2; iRoot = iChild) {
            iChild = 2 * iRoot + 1;
            if (iChild + 1 < iEnd && order.Less(iLo + iChild, iLo + iChild + 1))
                iChild++;
            if (!order.Less(iLo + iRoot, iLo + iChild))
                break;
            order.Swap(iLo + iRoot, iLo + iChild);
        }
    }
}

// Quicksort on the median of three, the smaller part recursively; past iDepthLimit levels the
// range is heap sorted, so no order of the input makes it quadratic.
template <typename Order>
static void SortPositions(const Order& order, int iLo, int iHi, int iDepthLimit) {
    while (iHi - iLo > 16) {
        if (iDepthLimit-- == 0) {
            HeapSortPositions(order, iLo, iHi);
            return;
        }
        const int iMid = iLo + (iHi - iLo) / 2;
        if (order.Less(iMid, iLo))
            order.Swap(iMid, iLo);
        if (order.Less(iHi, iLo))
            order.Swap(iHi, iLo);
        if (order.Less(iHi, iMid))
            order.Swap(iHi, iMid);
        order.Swap(iLo, iMid);

        int i = iLo, j = iHi + 1;
        for (;;) {
            do {
                i++;
                if (i <= iHi - kPrefetchDistance)
                    order.Prefetch(i + kPrefetchDistance);
            } while (i < iHi && order.Less(i, iLo));
            do {
                j--;
                order.Prefetch(j - kPrefetchDistance);
            } while (order.Less(iLo, j));
            if (i >= j)
                break;
            order.Swap(i, j);
        }
        order.Swap(iLo, j);

        if (j - iLo < iHi - j) {
            SortPositions(order, iLo, j - 1, iDepthLimit);
            iLo = j + 1;
        } else {
            SortPositions(order, j + 1, iHi, iDepthLimit);
            iHi = j - 1;
        }
    }
    for (int i = iLo + 1; i <= iHi; i++) {
        for (int j = i; j > iLo && order.Less(j, j - 1); j--)
            order.Swap(j, j - 1);
    }
}

template <typename Order> static void SortPositions(const Order& order, int iCount) {
    int iDepthLimit = 0;
    for (int i = iCount; i > 1; i /= 2)
        iDepthLimit += 2;
    SortPositions(order, 0, iCount - 1, iDepthLimit);
}

#endif
