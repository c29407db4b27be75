import numpy
import numpy.typing

__version__: str

def weld(
    vertices: numpy.typing.ArrayLike,
) -> tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.int32]]:
    """Remove exact duplicate vertices: returns (unique, inverse) with unique[inverse] == vertices."""

def weld_indexed(
    vertices: numpy.typing.ArrayLike, indices: numpy.typing.ArrayLike
) -> tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.int32]]:
    """Weld an indexed mesh: unique[new_indices] == vertices[indices] in what it returns."""
