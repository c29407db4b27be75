"""merge_close: what it promises, checked by brute force; its rounding to float32; its results in
numpy.unique's order, as weld's; and its refused arguments."""

import subprocess
import sys

import numpy
import pytest

import vertex_weld
from vertex_data import assert_same_results, bits, first_rows_with_bits, huge_view


def are_close(first, second, distance, columns, tolerance):
    """Whether rows of first and second, broadcast against each other, are close: positions at
    most distance apart and every other component within its tolerance, all in double precision
    from the float32 values the merge compares. Equal values differ by 0 (two equal infinities
    too); an infinite difference is within no tolerance, and a NaN within none either."""
    first = numpy.asarray(first, numpy.float32).astype(numpy.float64)
    second = numpy.asarray(second, numpy.float32).astype(numpy.float64)
    with numpy.errstate(invalid="ignore"):
        difference = numpy.where(first == second, 0.0, first - second)
    difference[~numpy.isfinite(difference)] = numpy.nan
    squared = (difference[..., :columns] ** 2).sum(axis=-1)
    within = numpy.abs(difference[..., columns:]) <= numpy.float32(tolerance)
    return (squared <= float(numpy.float32(distance)) ** 2) & within.all(axis=-1)


def clustered(rng, clusters, per_cluster, floats, spread):
    """Points scattered around random centres, spread wide enough that a cluster's points form
    chains, each close to the next but not to every other."""
    centres = rng.uniform(0, 1, size=(clusters, floats))
    points = centres.repeat(per_cluster, axis=0)
    points += rng.normal(0, spread, size=points.shape)
    return points.astype(numpy.float32)


def with_repeats_of_few_values(vertices, column, rng):
    """The vertices with one column drawn from three values, so that equality matters there."""
    vertices[:, column] = rng.choice(numpy.array([0.0, 0.5, 1.0], numpy.float32), len(vertices))
    return vertices


RNG = numpy.random.default_rng(21)
CLUSTERED = [
    pytest.param(clustered(RNG, 30, 12, 5, 0.02), 0.03, 3, [0.02, 0.05],
                 id="position and two components, a tolerance each"),
    pytest.param(clustered(RNG, 30, 12, 5, 0.02), 0.03, 3, 0.03,
                 id="position and two components, one tolerance"),
    pytest.param(with_repeats_of_few_values(clustered(RNG, 40, 10, 3, 0.02), 2, RNG), 0.04, 2, 0.0,
                 id="one component compared for equality"),
    pytest.param(clustered(RNG, 20, 15, 4, 0.03), 0.05, 4, 0.0, id="four position components"),
    pytest.param(clustered(RNG, 10, 30, 1, 0.01).reshape(-1), 0.01, 1, 0.0, id="1-D"),
    pytest.param(numpy.vstack([clustered(RNG, 30, 12, 3, 0.02)] * 2), 0.03, 1, 0.04,
                 id="every vertex twice"),
]


@pytest.mark.parametrize("vertices, distance, columns, tolerance", CLUSTERED)
def test_what_the_merge_promises_holds_on_clustered_data(vertices, distance, columns, tolerance):
    unique, index, inverse, counts = vertex_weld.merge_close(
        vertices, distance, columns=columns, tolerance=tolerance, return_index=True,
        return_counts=True)
    rows = vertices.reshape(len(vertices), -1)
    representatives = unique.reshape(len(unique), -1)
    tolerances = numpy.broadcast_to(numpy.float32(tolerance), rows.shape[1] - columns)

    # The data is not trivial: vertices were merged, and some representatives lie near enough
    # to each other that a merge along chains of close vertices would have joined them.
    assert len(unique) < len(vertex_weld.weld(vertices)[0])
    positions = representatives[:, :columns]
    spans = numpy.sqrt(((positions[:, None] - positions[None, :]) ** 2).sum(axis=-1))
    assert ((spans > distance) & (spans < 2 * distance)).any()

    assert are_close(rows, representatives[inverse], distance, columns, tolerances).all()
    pairs = are_close(representatives[:, None], representatives[None, :], distance, columns,
                      tolerances)
    numpy.testing.assert_array_equal(pairs, numpy.eye(len(unique), dtype=bool))
    # Each representative is a copy of its first row with its bits, a row it stands for.
    numpy.testing.assert_array_equal(index, first_rows_with_bits(vertices, unique, inverse))
    numpy.testing.assert_array_equal(inverse[index], numpy.arange(len(unique)))
    numpy.testing.assert_array_equal(counts, numpy.bincount(inverse, minlength=len(unique)))


@pytest.mark.parametrize("infinity", [numpy.inf, -numpy.inf], ids=["+inf", "-inf"])
@pytest.mark.parametrize(
    "column, distance, columns, tolerance",
    [(1, 1.0, 1, numpy.inf), (0, numpy.inf, 1, 0.0), (1, numpy.inf, 2, 0.0)],
    ids=["infinite tolerance", "infinite distance", "infinite distance, 2-D positions"],
)
def test_an_infinite_radius_keeps_infinities_apart_from_finite_values(infinity, column, distance,
                                                                       columns, tolerance):
    # A finite and an infinite vertex lie in different cells but may share a hash bucket, where
    # the infinite radius must still keep them apart: several values give some pairs that do.
    def merged_count(vertices):
        return len(vertex_weld.merge_close(vertices, distance, columns=columns,
                                           tolerance=tolerance)[0])

    vertices = numpy.zeros((2, 2), numpy.float32)
    for value in range(-3, 4):
        vertices[0, column] = value
        vertices[1, column] = infinity
        assert merged_count(vertices) == 2, vertices
        vertices[1, column] = value + 1000
        assert merged_count(vertices) == 1, vertices


def noisy_grid_soup(rng):
    """A 6 x 5 x 4 grid of positions with a normal and a UV each, every vertex four times in a
    shuffled order, and the same vertices with noise of up to 1e-6 on every component, in
    float64."""
    axes = [numpy.arange(count, dtype=numpy.float32) * numpy.float32(0.25) for count in (6, 5, 4)]
    positions = numpy.stack(numpy.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3)
    normals = numpy.eye(3, dtype=numpy.float32)[numpy.arange(len(positions)) % 3]
    grid = numpy.hstack([positions, normals, positions[:, :2]])
    soup = grid.repeat(4, axis=0)[rng.permutation(4 * len(grid))]
    return soup, soup + rng.uniform(-1e-6, 1e-6, size=soup.shape)


def test_a_noisy_grid_merges_back_to_the_grid():
    soup, noisy = noisy_grid_soup(numpy.random.default_rng(22))
    unique, index, inverse, counts = vertex_weld.merge_close(
        noisy, 1e-5, tolerance=1e-5, return_index=True, return_counts=True)
    grid, grid_inverse = vertex_weld.weld(soup)
    assert len(unique) == len(grid) == 120
    # The same groups as the noise-free weld, numbered in the merge's own order.
    renumbered = numpy.zeros(len(grid), numpy.int32)
    renumbered[grid_inverse] = inverse
    numpy.testing.assert_array_equal(renumbered[grid_inverse], inverse)
    assert len(numpy.unique(renumbered)) == len(grid)
    numpy.testing.assert_allclose(unique[inverse], soup, rtol=0, atol=2e-6)
    numpy.testing.assert_array_equal(counts, numpy.full(len(grid), 4))
    # float64 is rounded first: the result is the one for the float32 array.
    rounded = noisy.astype(numpy.float32)
    assert_same_results((unique, index, inverse, counts),
                        vertex_weld.merge_close(rounded, 1e-5, tolerance=1e-5, return_index=True,
                                                return_counts=True))


TENTH = float(numpy.float32(0.1))  # just above 0.1


@pytest.mark.parametrize(
    "vertices, distance, columns, tolerance",
    [
        pytest.param([1.0, 1.0 + 1e-12], 0.0, 1, 0.0, id="values equal as float32"),
        pytest.param([[0.5, 1.0], [0.5, 1.0 - 1e-12]], 0.0, 1, 0.0, id="a list of Python floats"),
        pytest.param([0.0, TENTH], 0.1, 1, 0.0, id="distance"),
        pytest.param([[0.0, 0.0], [0.0, TENTH]], 0.0, 1, 0.1, id="one tolerance"),
        pytest.param([[0.0, 0.0], [0.0, TENTH]], 0.0, 1, numpy.array([0.1]),
                     id="a tolerance per component"),
    ],
)
def test_values_distance_and_tolerance_are_rounded_to_float32(vertices, distance, columns,
                                                              tolerance):
    """Each case is two vertices that are close only once everything is rounded to float32."""
    unique, index, inverse = vertex_weld.merge_close(
        numpy.array(vertices, numpy.float64), distance, columns=columns, tolerance=tolerance,
        return_index=True)
    assert len(unique) == 1
    numpy.testing.assert_array_equal(inverse, [0, 0])
    numpy.testing.assert_array_equal(bits(numpy.float32(vertices)[index]), bits(unique))


SOUP = clustered(numpy.random.default_rng(23), 20, 10, 5, 0.02)


@pytest.mark.parametrize(
    "keywords",
    [{}, {"return_index": True}, {"return_counts": True},
     {"return_index": True, "return_counts": True}],
    ids=str,
)
def test_results_come_in_numpy_uniques_order(keywords):
    unique, index, inverse, counts = vertex_weld.merge_close(
        SOUP, 0.03, tolerance=0.03, return_index=True, return_counts=True)
    expected = [unique, index, inverse, counts]
    if not keywords.get("return_counts"):
        del expected[3]
    if not keywords.get("return_index"):
        del expected[1]
    results = vertex_weld.merge_close(SOUP, 0.03, tolerance=0.03, **keywords)
    assert_same_results(results, expected)
    assert [result.dtype for result in results] == [result.dtype for result in expected]
    assert (unique.dtype, index.dtype, inverse.dtype, counts.dtype) == (
        numpy.float32, numpy.int64, numpy.int32, numpy.int64)


@pytest.mark.parametrize("tolerance", [[0.03, 0.03], (0.03, 0.03), numpy.float32([0.03, 0.03])],
                         ids=["list", "tuple", "array"])
def test_one_tolerance_stands_for_one_per_component(tolerance):
    assert_same_results(vertex_weld.merge_close(SOUP, 0.03, tolerance=tolerance),
                        vertex_weld.merge_close(SOUP, 0.03, tolerance=0.03))


@pytest.mark.parametrize(
    "vertices, columns, unique_shape",
    [
        (numpy.empty((0, 3), numpy.float32), 3, (0, 3)),
        (numpy.empty((0, 8), numpy.float64), 3, (0, 8)),
        (numpy.empty(0, numpy.float32), 1, (0,)),
    ],
    ids=["float32", "float64", "1-D"],
)
def test_no_vertices_give_empty_results(vertices, columns, unique_shape):
    unique, index, inverse, counts = vertex_weld.merge_close(
        vertices, 0.1, columns=columns, tolerance=0.1, return_index=True, return_counts=True)
    assert unique.shape == unique_shape and unique.dtype == numpy.float32
    assert inverse.shape == (0,) and inverse.dtype == numpy.int32
    assert index.shape == counts.shape == (0,)
    assert index.dtype == counts.dtype == numpy.int64


VERTICES = numpy.zeros((4, 3), numpy.float32)


@pytest.mark.parametrize(
    "vertices, keywords, error, message",
    [
        (numpy.zeros((4, 3), numpy.int32), {}, TypeError,
         r"int32.*merge_close takes floating-point arrays of any width"),
        (numpy.zeros((4, 3), numpy.complex64), {}, TypeError, "complex64"),
        (numpy.zeros((2, 2, 3), numpy.float64), {}, ValueError, r"shape \(2, 2, 3\)"),
        (numpy.zeros((5, 0), numpy.float32), {}, ValueError, "no components"),
        (huge_view((2**30, 3)), {}, ValueError, r"2\*\*31 - 1"),
        (VERTICES, {"distance": -1.0}, ValueError, r"^distance must be 0 or more, not -1\.0$"),
        (VERTICES, {"distance": -1e-50}, ValueError, r"^distance must be 0 or more, not -1e-50$"),
        (VERTICES, {"distance": numpy.nan}, ValueError, r"^distance must be 0 or more, not nan$"),
        (numpy.empty((0, 3)), {"distance": -1.0}, ValueError, "distance must be 0 or more"),
        (VERTICES, {"distance": [0.1, 0.2]}, ValueError,
         r"^distance must be one number, not an array of shape \(2,\)$"),
        (VERTICES, {"distance": "0.1"}, TypeError, r"^distance must be a real number, not <U3$"),
        (VERTICES, {"distance": None}, TypeError, "^distance must be a real number, not object$"),
        (VERTICES, {"columns": 0}, ValueError,
         r"^columns must be between 1 and the vertex size, 3, not 0$"),
        (VERTICES, {"columns": 4}, ValueError, "vertex size, 3, not 4"),
        (VERTICES, {"columns": 2**70}, ValueError, f"vertex size, 3, not {2**70}"),
        (numpy.zeros(4, numpy.float32), {}, ValueError, "vertex size, 1, not 3"),
        (VERTICES, {"columns": 2.0}, TypeError,
         "'float' object cannot be interpreted as an integer"),
        (VERTICES, {"tolerance": -0.5}, ValueError, r"^tolerance must be 0 or more, not -0\.5$"),
        (VERTICES, {"columns": 1, "tolerance": [0.1, numpy.nan]}, ValueError,
         r"^tolerance\[1\] must be 0 or more, not nan$"),
        (VERTICES, {"columns": 1, "tolerance": [0.1]}, ValueError,
         r"^tolerance must hold one number per component after the position, 2 here, not 1, "
         r"or be one number for all of them$"),
        (VERTICES, {"columns": 1, "tolerance": []}, ValueError, "2 here, not 0"),
        (VERTICES, {"tolerance": [0.1]}, ValueError, "0 here, not 1"),
        (VERTICES, {"columns": 1, "tolerance": [[0.1, 0.1]]}, ValueError,
         r"^tolerance must be one number or a sequence of numbers, "
         r"not an array of shape \(1, 2\)$"),
        (VERTICES, {"tolerance": "a"}, TypeError, "^tolerance must be a real number, not <U1$"),
    ],
    ids=lambda case: None if isinstance(case, numpy.ndarray) else str(case),
)
def test_refused_arguments(vertices, keywords, error, message):
    keywords = {"distance": 0.1, **keywords}
    with pytest.raises(error, match=message):
        vertex_weld.merge_close(vertices, **keywords)


OUT_OF_MEMORY = """
import resource, numpy, vertex_weld
vertices = numpy.arange(4_000_000, dtype=numpy.float32)
mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
# Room for the two results, 16 MB each, and for the weld's work array, 16 MB more, but not for
# the merge's, about 49 MB.
limit = mapped + 60_000_000
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    vertex_weld.merge_close(vertices, 0.5, columns=1)
except MemoryError as error:
    print(error)
"""


def test_failed_work_memory_allocation_raises_memory_error():
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                            check=True)
    assert result.stdout == (
        "the merge's work memory of up to 64000048 bytes could not be allocated\n")
