import typing

import numpy
import numpy.typing

__version__: str

def weld(
    vertices: numpy.typing.ArrayLike, return_index: bool, return_counts: bool
) -> tuple[numpy.typing.NDArray[typing.Any], ...]:
    """The weld behind vertex_weld.weld: (unique, [index,] inverse[, counts])."""

def weld_indexed(
    vertices: numpy.typing.ArrayLike, indices: numpy.typing.ArrayLike
) -> tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.int32]]:
    """The weld behind vertex_weld.weld_indexed."""

def merge_close(
    vertices: numpy.typing.ArrayLike,
    distance: float,
    columns: int,
    tolerance: float | typing.Sequence[float],
    return_index: bool,
    return_counts: bool,
) -> tuple[numpy.typing.NDArray[typing.Any], ...]:
    """The merge behind vertex_weld.merge_close: (unique, [index,] inverse[, counts])."""
