"""Vertex arrays and comparisons the Python tests share."""

import numpy


def bits(array):
    return numpy.ascontiguousarray(array, numpy.float32).view(numpy.uint32)


def grid_soup(rows, floats, rng):
    """Vertices drawn from a few values per component, so that many rows repeat."""
    values = rng.integers(0, 6, size=(rows, floats)).astype(numpy.float32)
    return values * numpy.float32(0.37) + numpy.float32(1.5)


def assert_same_results(results, expected):
    """Equal tuples of arrays, float arrays compared by their bits."""
    assert len(results) == len(expected)
    for result, expected_result in zip(results, expected):
        if result.dtype.kind == "f":
            result, expected_result = bits(result), bits(expected_result)
        numpy.testing.assert_array_equal(result, expected_result)
