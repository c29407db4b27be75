"""Exact vertex welding for numpy arrays.

weld() removes exact duplicate vertices from an (n, k) float32 array; weld_indexed() does the
same for an indexed mesh and remaps its indices. Two vertices are equal when every component
compares equal as a float32: +0 equals -0, and a vertex holding a NaN equals nothing. The unique
vertices come out sorted lexicographically (component 0 first) for finite data, each a bit-exact
copy of one of the vertices it stands for; for finite data without mixed signed zeros the result
is that of numpy.unique(vertices, axis=0, return_inverse=True). The weld runs with the GIL
released, so threads weld in parallel.

Both are plain functions of this package: they pickle by name, so multiprocessing and
concurrent.futures process pools take them.
"""

from __future__ import annotations

import typing

import numpy
from numpy.typing import ArrayLike, NDArray

from . import _vertex_weld
from ._vertex_weld import __version__

__all__ = ["weld", "weld_indexed", "__version__"]


@typing.overload
def weld(
    vertices: ArrayLike,
    *,
    return_index: typing.Literal[False] = ...,
    return_counts: typing.Literal[False] = ...,
) -> tuple[NDArray[numpy.float32], NDArray[numpy.int32]]: ...
@typing.overload
def weld(
    vertices: ArrayLike,
    *,
    return_index: typing.Literal[True],
    return_counts: typing.Literal[False] = ...,
) -> tuple[NDArray[numpy.float32], NDArray[numpy.int64], NDArray[numpy.int32]]: ...
@typing.overload
def weld(
    vertices: ArrayLike,
    *,
    return_index: typing.Literal[False] = ...,
    return_counts: typing.Literal[True],
) -> tuple[NDArray[numpy.float32], NDArray[numpy.int32], NDArray[numpy.int64]]: ...
@typing.overload
def weld(
    vertices: ArrayLike,
    *,
    return_index: typing.Literal[True],
    return_counts: typing.Literal[True],
) -> tuple[
    NDArray[numpy.float32], NDArray[numpy.int64], NDArray[numpy.int32], NDArray[numpy.int64]
]: ...
@typing.overload
def weld(
    vertices: ArrayLike, *, return_index: bool = ..., return_counts: bool = ...
) -> tuple[NDArray[typing.Any], ...]: ...


def weld(
    vertices: ArrayLike, *, return_index: bool = False, return_counts: bool = False
) -> tuple[NDArray[typing.Any], ...]:
    """Remove exact duplicate vertices.

    vertices: an (n, k) array, one vertex of k components per row, or a 1-D array of n vertices
        of one component. Any array-like whose dtype converts to float32 without loss is taken
        (float32, float16, int8, uint8, int16, uint16, bool); a C-contiguous float32 array is
        used without a copy, other arrays and non-contiguous views are copied first. float64
        and other wider dtypes raise TypeError: convert with vertices.astype(numpy.float32) if
        rounding is acceptable, knowing that it can merge vertices that differ.
    return_index: also return index, an (m,) int64 array: for each unique vertex, the first row
        of vertices that holds its bits, so that vertices[index] is unique bit for bit.
    return_counts: also return counts, an (m,) int64 array: the number of rows of vertices
        that each unique vertex stands for.

    Returns, in numpy.unique's order, (unique, inverse), (unique, index, inverse),
    (unique, inverse, counts) or (unique, index, inverse, counts): unique an (m, k) float32
    array (1-D if vertices is), inverse an (n,) int32 array with unique[inverse] equal to
    vertices as floats. For finite data without mixed signed zeros, index and counts are those
    of numpy.unique(vertices, axis=0, return_index=True, return_counts=True). Where a group
    mixes +0 and -0, its first row may hold the other zero than unique does: index then names
    the first row that holds unique's.

    Raises ValueError for arrays that are not 1-D or 2-D, for vertices with no components, and
    for more than 2**31 - 1 values in all (n * k), the library's limit; MemoryError when the
    weld's work array cannot be allocated.
    """
    return _vertex_weld.weld(vertices, return_index, return_counts)


def weld_indexed(
    vertices: ArrayLike, indices: ArrayLike
) -> tuple[NDArray[numpy.float32], NDArray[numpy.int32]]:
    """Weld the vertices of an indexed mesh and remap its indices.

    vertices: as for weld(). indices: an array of any shape and any integer dtype, each an index
    into vertices. Every vertex is welded, referenced or not.

    Returns unique, as weld() does, and new_indices, an int32 array of the shape of indices with
    unique[new_indices] equal to vertices[indices] as floats.

    Raises TypeError for indices that are not integers and IndexError for an index that is
    negative or not below the number of vertices; otherwise as weld().
    """
    return _vertex_weld.weld_indexed(vertices, indices)
