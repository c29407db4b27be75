"""Exact vertex welding, and merging within a distance, for numpy arrays.

weld() removes exact duplicate vertices from an (n, k) float32 array; weld_indexed() does the
same for an indexed mesh and remaps its indices; merge_close() merges vertices that lie within a
distance of each other. Two vertices are equal when every component
compares equal as a float32: +0 equals -0, and a vertex holding a NaN equals nothing. The unique
vertices come out sorted lexicographically (component 0 first) for finite data, each a bit-exact
copy of one of the vertices it stands for; for finite data without mixed signed zeros the result
is that of numpy.unique(vertices, axis=0, return_inverse=True). The weld runs with the GIL
released, so threads weld in parallel.

All are plain functions of this package: they pickle by name, so multiprocessing and
concurrent.futures process pools take them.
"""

from __future__ import annotations

import typing

import numpy
from numpy.typing import ArrayLike, NDArray

from . import _vertex_weld
from ._vertex_weld import __version__

__all__ = ["weld", "weld_indexed", "merge_close", "__version__"]


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


@typing.overload
def merge_close(
    vertices: ArrayLike,
    distance: float,
    *,
    columns: int = ...,
    tolerance: float | typing.Sequence[float] = ...,
    return_index: typing.Literal[False] = ...,
    return_counts: typing.Literal[False] = ...,
) -> tuple[NDArray[numpy.float32], NDArray[numpy.int32]]: ...
@typing.overload
def merge_close(
    vertices: ArrayLike,
    distance: float,
    *,
    columns: int = ...,
    tolerance: float | typing.Sequence[float] = ...,
    return_index: typing.Literal[True],
    return_counts: typing.Literal[False] = ...,
) -> tuple[NDArray[numpy.float32], NDArray[numpy.int64], NDArray[numpy.int32]]: ...
@typing.overload
def merge_close(
    vertices: ArrayLike,
    distance: float,
    *,
    columns: int = ...,
    tolerance: float | typing.Sequence[float] = ...,
    return_index: typing.Literal[False] = ...,
    return_counts: typing.Literal[True],
) -> tuple[NDArray[numpy.float32], NDArray[numpy.int32], NDArray[numpy.int64]]: ...
@typing.overload
def merge_close(
    vertices: ArrayLike,
    distance: float,
    *,
    columns: int = ...,
    tolerance: float | typing.Sequence[float] = ...,
    return_index: typing.Literal[True],
    return_counts: typing.Literal[True],
) -> tuple[
    NDArray[numpy.float32], NDArray[numpy.int64], NDArray[numpy.int32], NDArray[numpy.int64]
]: ...
@typing.overload
def merge_close(
    vertices: ArrayLike,
    distance: float,
    *,
    columns: int = ...,
    tolerance: float | typing.Sequence[float] = ...,
    return_index: bool = ...,
    return_counts: bool = ...,
) -> tuple[NDArray[typing.Any], ...]: ...


def merge_close(
    vertices: ArrayLike,
    distance: float,
    *,
    columns: int = 3,
    tolerance: float | typing.Sequence[float] = 0.0,
    return_index: bool = False,
    return_counts: bool = False,
) -> tuple[NDArray[typing.Any], ...]:
    """Merge vertices that lie within a distance of each other.

    Two vertices are close when their positions, the first `columns` components, lie at most
    `distance` apart (Euclidean) and each other component differs by at most its tolerance.
    The exact duplicates are welded first, as weld() does; the distinct vertices are then walked
    in weld()'s order, each joining the first representative it is close to, or becoming one.

    vertices: as for weld(), and floating-point arrays of any width too: float64 and wider are
        rounded to float32 first (values beyond float32's range become infinite), since a merge
        within a distance does not hang on the last bit. Every promise below holds for the
        rounded array. Integer dtypes must still convert to float32 exactly.
    distance: the largest distance between the positions of two close vertices, 0 or more,
        rounded to float32. 0 asks for equal positions.
    columns: how many leading components are the position, 1 to k.
    tolerance: the largest difference of each other component, 0 or more, rounded to float32:
        one number for all of them, or a sequence of k - columns numbers, one per component.
        0 asks for equality.
    return_index, return_counts: as for weld(): index names, for each representative, the
        first row of vertices (as float32) that holds its bits; counts, the number of rows it
        stands for.

    Returns, as weld() does and in numpy.unique's order, (unique, inverse), with index and
    counts between and after where asked for: unique an (m, k) float32 array of the
    representatives (1-D if vertices is), inverse an (n,) int32 array naming each row's.

    What the result promises:
    - every vertex is close to its representative, unique[inverse]: a merge never drifts along
      a chain of vertices each close to the next;
    - no two representatives are close to each other;
    - every representative is a bit-exact copy of a vertex that it stands for;
    - for finite data, unique is sorted lexicographically (component 0 first) and depends only
      on the set of vertices, not on their order;
    - a vertex holding a NaN is merged with nothing, and infinite components are close only
      where equal; +0 equals -0;
    - the same result on every machine: distances are computed in double precision.
    With distance 0 and every tolerance 0 the result is weld()'s.

    The merge runs with the GIL released. Memory: the results, the weld's work array of 4 bytes
    per vertex, then at most 16 bytes per vertex and 48 per component.

    Raises TypeError as weld() does for vertices of other dtypes, and for a distance or
    tolerance that is not a real number or a columns that is not an integer; ValueError as
    weld() does for the vertices' shape, and for a negative or NaN distance or tolerance, a
    columns not in 1..k and a tolerance sequence whose length is not k - columns; MemoryError
    when the work memory cannot be allocated.
    """
    return _vertex_weld.merge_close(vertices, distance, columns, tolerance, return_index,
                                    return_counts)
