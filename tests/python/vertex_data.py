"""Vertex arrays and comparisons the Python tests share."""

import numpy


def bits(array):
    return numpy.ascontiguousarray(array, numpy.float32).view(numpy.uint32)


def grid_soup(rows, floats, rng):
    """Vertices drawn from a few values per component, so that many rows repeat."""
    values = rng.integers(0, 6, size=(rows, floats)).astype(numpy.float32)
    return values * numpy.float32(0.37) + numpy.float32(1.5)


def first_rows_with_bits(vertices, unique, inverse):
    """For each unique row, the first row of vertices that holds its bits, searched row by row."""
    rows = bits(vertices).reshape(len(vertices), -1)
    unique_rows = bits(unique).reshape(len(unique), -1)
    holds_bits = numpy.flatnonzero((rows == unique_rows[inverse]).all(axis=1))
    index = numpy.full(len(unique), len(vertices))
    numpy.minimum.at(index, inverse[holds_bits], holds_bits)
    return index


def huge_view(shape):
    """A float32 array of the given shape that allocates no memory: every element is one float."""
    one_float = numpy.zeros(1, numpy.float32)
    return numpy.lib.stride_tricks.as_strided(one_float, shape, (0,) * len(shape))


def assert_same_results(results, expected):
    """Equal tuples of arrays, float arrays compared by their bits."""
    assert len(results) == len(expected)
    for result, expected_result in zip(results, expected):
        if result.dtype.kind == "f":
            result, expected_result = bits(result), bits(expected_result)
        numpy.testing.assert_array_equal(result, expected_result)
