import functools
import subprocess
import sys
import threading
import tracemalloc

import numpy
import pytest

import vertex_weld
from vertex_data import assert_same_results, bits, first_rows_with_bits, grid_soup, huge_view


@pytest.mark.parametrize("floats", [1, 3, 8])
@pytest.mark.parametrize("seed", [1, 2])
def test_same_result_as_numpy_unique(floats, seed):
    vertices = grid_soup(5000, floats, numpy.random.default_rng(seed))
    vertices[::7] = -vertices[::7]
    unique, inverse = vertex_weld.weld(vertices)
    expected_unique, expected_inverse = numpy.unique(vertices, axis=0, return_inverse=True)
    assert unique.dtype == numpy.float32 and inverse.dtype == numpy.int32
    numpy.testing.assert_array_equal(bits(unique), bits(expected_unique))
    numpy.testing.assert_array_equal(inverse, expected_inverse.reshape(-1))


def test_one_dimensional_input_is_vertices_of_one_value():
    values = numpy.array([3, 1, 3, 2, 1], numpy.float32)
    unique, inverse = vertex_weld.weld(values)
    assert unique.shape == (3,)
    numpy.testing.assert_array_equal(unique, [1, 2, 3])
    numpy.testing.assert_array_equal(inverse, [2, 0, 2, 1, 0])


def test_signed_zeros_are_equal_and_one_of_them_represents_the_group():
    vertices = numpy.array([[2, -0.0], [4, -0.0], [0, 0.0], [0, -0.0]], numpy.float32)
    unique, inverse = vertex_weld.weld(vertices)
    expected = numpy.array([[0, -0.0], [2, -0.0], [4, -0.0]], numpy.float32)
    numpy.testing.assert_array_equal(bits(unique), bits(expected))
    numpy.testing.assert_array_equal(inverse, [1, 2, 0, 0])


def test_nan_vertices_are_never_merged():
    nan = numpy.float32("nan")
    vertices = numpy.array([[nan, 1], [nan, 1], [2, 2], [2, 2], [2, nan]], numpy.float32)
    unique, inverse = vertex_weld.weld(vertices)
    assert len(unique) == 4
    assert len(set(inverse[[0, 1, 4]])) == 3 and inverse[2] == inverse[3]
    numpy.testing.assert_array_equal(bits(unique[inverse]), bits(vertices))


RNG = numpy.random.default_rng(8)
SHAPES = [
    pytest.param(grid_soup(3000, 1, RNG).reshape(-1), id="1-D"),
    pytest.param(grid_soup(3000, 1, RNG), id="one column"),
    pytest.param(grid_soup(3000, 3, RNG) * numpy.float32(-1), id="3 floats, negative"),
    pytest.param(grid_soup(3000, 8, RNG), id="8 floats"),
    pytest.param(numpy.ones((50, 3), numpy.float32), id="one vertex repeated"),
    pytest.param(numpy.arange(600, dtype=numpy.float32)[::-1].reshape(-1, 3), id="all distinct"),
    pytest.param(grid_soup(3000, 3, RNG).astype(numpy.float16), id="float16"),
    pytest.param(grid_soup(6000, 4, RNG)[::2, 1:], id="strided view"),
    pytest.param(numpy.empty((0, 3), numpy.float32), id="empty"),
]


@pytest.mark.parametrize("vertices", SHAPES)
def test_index_and_counts_are_those_of_numpy_unique(vertices):
    results = vertex_weld.weld(vertices, return_index=True, return_counts=True)
    expected = numpy.unique(numpy.asarray(vertices, numpy.float32), axis=0, return_index=True,
                            return_inverse=True, return_counts=True)
    assert_same_results(results, expected)
    _, index, _, counts = results
    assert index.dtype == numpy.int64 and counts.dtype == numpy.int64


@pytest.mark.parametrize(
    "keywords",
    [{}, {"return_index": True}, {"return_counts": True},
     {"return_index": True, "return_counts": True}, {"return_index": False, "return_counts": 1}],
    ids=str,
)
def test_results_come_in_numpy_uniques_order(keywords):
    vertices = grid_soup(500, 3, numpy.random.default_rng(9))
    expected = numpy.unique(vertices, axis=0, return_inverse=True, **keywords)
    assert_same_results(vertex_weld.weld(vertices, **keywords), expected)


NAN = numpy.float32("nan")


@pytest.mark.parametrize(
    "vertices",
    [
        pytest.param(numpy.random.default_rng(10).choice(numpy.array([0.0, -0.0, 1.0], numpy.float32),
                                                         size=(2000, 3)), id="mixed signed zeros"),
        pytest.param(numpy.array([[NAN, 1], [NAN, 1], [2, 2], [2, 2], [2, NAN]], numpy.float32),
                     id="NaNs"),
        pytest.param(numpy.array([[numpy.inf, 0.0], [-numpy.inf, -0.0], [numpy.inf, -0.0]] * 3,
                                 numpy.float32), id="infinities and signed zeros"),
    ],
)
def test_index_is_the_first_row_with_the_bits_of_its_unique_row(vertices):
    unique, index, inverse, counts = vertex_weld.weld(vertices, return_index=True,
                                                      return_counts=True)
    numpy.testing.assert_array_equal(index, first_rows_with_bits(vertices, unique, inverse))
    numpy.testing.assert_array_equal(bits(vertices[index]), bits(unique))
    numpy.testing.assert_array_equal(counts, numpy.bincount(inverse, minlength=len(unique)))


def test_index_skips_a_first_row_whose_zero_has_the_other_sign():
    # Rows 2 and 3 are one vertex, represented by row 3's -0: numpy.unique would name row 2.
    vertices = numpy.array([[2, -0.0], [4, -0.0], [0, 0.0], [0, -0.0]], numpy.float32)
    unique, index, inverse, counts = vertex_weld.weld(vertices, return_index=True,
                                                      return_counts=True)
    numpy.testing.assert_array_equal(bits(unique[:1]), bits([[0, -0.0]]))
    numpy.testing.assert_array_equal(index, [3, 0, 1])
    numpy.testing.assert_array_equal(counts, [2, 1, 1])


@pytest.mark.parametrize("floats", [0, 1, 3])
def test_no_vertices_give_empty_results(floats):
    unique, inverse = vertex_weld.weld(numpy.empty((0, floats), numpy.float32))
    assert unique.shape == (0, floats) and unique.dtype == numpy.float32
    assert inverse.shape == (0,) and inverse.dtype == numpy.int32
    unique, inverse = vertex_weld.weld(numpy.empty(0, numpy.float16))
    assert unique.shape == (0,) and inverse.shape == (0,)


SOUP = grid_soup(300, 3, numpy.random.default_rng(7))


@pytest.mark.parametrize(
    "vertices",
    [
        pytest.param(SOUP.astype(numpy.float16), id="float16"),
        pytest.param(SOUP[::2], id="every other row"),
        pytest.param(numpy.asfortranarray(SOUP), id="Fortran order"),
        pytest.param(SOUP.astype(">f4"), id="big-endian float32"),
        pytest.param(
            numpy.frombuffer(b"\0" + SOUP.tobytes(), numpy.float32, offset=1).reshape(-1, 3),
            id="unaligned",
        ),
        pytest.param((SOUP * 4).astype(numpy.int16), id="int16"),
        pytest.param((SOUP * 4).astype(numpy.uint8), id="uint8"),
        pytest.param(SOUP > 2, id="bool"),
        pytest.param(SOUP.astype(numpy.float16).tolist(), id="list of float16 values"),
    ],
)
def test_inputs_that_convert_to_float32_without_loss(vertices):
    # A list of Python floats is float64: it is taken here only through numpy.float16 values.
    if isinstance(vertices, list):
        vertices = numpy.array(vertices, numpy.float16)
    as_float32 = numpy.array(vertices, numpy.float32)
    unique, inverse = vertex_weld.weld(vertices)
    expected_unique, expected_inverse = vertex_weld.weld(as_float32)
    numpy.testing.assert_array_equal(bits(unique), bits(expected_unique))
    numpy.testing.assert_array_equal(inverse, expected_inverse)


@pytest.mark.parametrize(
    "vertices, error, message",
    [
        (numpy.zeros((4, 3)), TypeError, r"float64.*vertices\.astype\(numpy\.float32\)"),
        ([[0.5, 1.0], [0.5, 1.0]], TypeError, "float64"),
        (numpy.zeros((4, 3), numpy.int32), TypeError, "int32"),
        (numpy.zeros((4, 3), numpy.int64), TypeError, "int64"),
        (numpy.zeros((4, 3), numpy.complex64), TypeError, "complex64"),
        (numpy.array([["a", "b"]]), TypeError, "<U1"),
        (numpy.float32(1), ValueError, r"1-D .* 2-D .* shape \(\)"),
        (numpy.zeros((2, 2, 3), numpy.float32), ValueError, r"shape \(2, 2, 3\)"),
        (numpy.zeros((5, 0), numpy.float32), ValueError, "no components"),
        (huge_view((2**31, 1)), ValueError, r"2\*\*31 - 1"),
        (huge_view((2**31,)), ValueError, r"2\*\*31 - 1"),
        (huge_view((2**30, 2)), ValueError, r"2\*\*31 - 1"),
        (huge_view((3, 2**31)), ValueError, r"2\*\*31 - 1"),
        (huge_view((2**20, 2**11 + 1)), ValueError, r"2\*\*31 - 1"),
    ],
    ids=lambda case: None if isinstance(case, (numpy.ndarray, list)) else str(case),
)
def test_refused_vertices(vertices, error, message):
    with pytest.raises(error, match=message):
        vertex_weld.weld(vertices)
    with pytest.raises(error, match=message):
        vertex_weld.weld_indexed(vertices, [0])


OUT_OF_MEMORY = """
import resource, numpy, vertex_weld
vertices = numpy.arange(4_000_000, dtype=numpy.float32)
mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
# Room for the two results, 16 MB each, but not for the weld's work array, 16 MB more.
limit = mapped + 40_000_000
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    vertex_weld.weld(vertices)
except MemoryError as error:
    print(error)
"""


def test_failed_work_array_allocation_raises_memory_error():
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                            check=True)
    assert result.stdout == "the weld's work array of 16000000 bytes could not be allocated\n"


def peak_allocation(call):
    """Peak bytes numpy and Python allocated during call (numpy reports its data buffers)."""
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_contiguous_float32_is_used_without_a_copy():
    vertices = grid_soup(200_000, 8, numpy.random.default_rng(3))
    results_bytes = vertices.nbytes + 4 * len(vertices)
    contiguous_peak = peak_allocation(lambda: vertex_weld.weld(vertices))
    # The same data in Fortran order must be copied: this shows that the measure sees a copy.
    copied_peak = peak_allocation(lambda: vertex_weld.weld(numpy.asfortranarray(vertices)))
    assert contiguous_peak < results_bytes + vertices.nbytes // 10
    assert copied_peak > results_bytes + vertices.nbytes


@pytest.mark.parametrize(
    "weld",
    [vertex_weld.weld, functools.partial(vertex_weld.merge_close, distance=0.1)],
    ids=["weld", "merge_close"],
)
def test_other_threads_run_while_a_weld_runs(weld):
    # With a switch interval this long the GIL changes hands only where a thread releases it.
    # The welder releases it nowhere but in the weld, so if the main thread runs before the welder
    # has finished, it runs while a weld is in progress. The welder welds until it is seen, to
    # give the main thread, woken when the GIL is released, time to take it.
    state = {"phase": "starting", "seen": False}
    vertices = grid_soup(10_000, 3, numpy.random.default_rng(4))

    def welder():
        state["phase"] = "welding"
        for _ in range(2000):
            weld(vertices)
            if state["seen"]:
                break
        state["phase"] = "finished"

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        thread = threading.Thread(target=welder)
        thread.start()
        phase_seen = state["phase"]
        state["seen"] = True
        thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert phase_seen == "welding"


def test_threads_weld_concurrently_with_the_results_of_one_thread():
    rng = numpy.random.default_rng(5)
    inputs = [grid_soup(100_000, floats, rng) for floats in (3, 8, 3, 8)]
    expected = [vertex_weld.weld(vertices) for vertices in inputs]
    results = [None] * len(inputs)
    start = threading.Barrier(len(inputs))

    def weld_repeatedly(slot):
        start.wait()
        for _ in range(3):
            results[slot] = vertex_weld.weld(inputs[slot])

    threads = [threading.Thread(target=weld_repeatedly, args=(slot,)) for slot in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for (unique, inverse), (expected_unique, expected_inverse) in zip(results, expected):
        numpy.testing.assert_array_equal(bits(unique), bits(expected_unique))
        numpy.testing.assert_array_equal(inverse, expected_inverse)


INTEGER_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", ">i4", "<u8"]


@pytest.mark.parametrize("dtype", INTEGER_DTYPES)
def test_weld_indexed_remaps_every_integer_dtype(dtype):
    rng = numpy.random.default_rng(6)
    vertices = grid_soup(100, 3, rng)
    faces = rng.integers(0, 100, size=(60, 3)).astype(dtype)
    unique, new_faces = vertex_weld.weld_indexed(vertices, faces)
    expected_unique, inverse = vertex_weld.weld(vertices)
    numpy.testing.assert_array_equal(bits(unique), bits(expected_unique))
    assert new_faces.dtype == numpy.int32 and new_faces.shape == faces.shape
    numpy.testing.assert_array_equal(new_faces, inverse[faces.astype(numpy.int64)])
    numpy.testing.assert_array_equal(unique[new_faces], vertices[faces.astype(numpy.int64)])


def test_weld_indexed_takes_strided_and_empty_indices():
    vertices = numpy.array([[0, 0], [1, 1], [0, 0]], numpy.float32)
    indices = numpy.array([[0, 9, 1], [2, 9, 2]], numpy.int64)[:, ::2]
    _, new_indices = vertex_weld.weld_indexed(vertices, indices)
    numpy.testing.assert_array_equal(new_indices, [[0, 1], [0, 0]])
    no_vertices = numpy.empty((0, 3), numpy.float32)
    unique, new_indices = vertex_weld.weld_indexed(no_vertices, numpy.empty(0, numpy.uint8))
    assert unique.shape == (0, 3) and new_indices.shape == (0,)


@pytest.mark.parametrize(
    "indices, error, message",
    [
        ([0, 1, 3], IndexError, "indices hold 3 at flat position 2, out of range for 3 vertices"),
        ([[0, 1], [-1, 2]], IndexError, "indices hold -1 at flat position 2"),
        (numpy.array([2**64 - 1], numpy.uint64), IndexError, "indices hold 18446744073709551615"),
        (numpy.array([2**32 + 1], numpy.int64), IndexError, "indices hold 4294967297"),
        ([0.0, 1.0], TypeError, "indices must be integers, not float64"),
        ([True, False], TypeError, "indices must be integers, not bool"),
    ],
)
def test_refused_indices(indices, error, message):
    vertices = numpy.zeros((3, 2), numpy.float32)
    with pytest.raises(error, match=message):
        vertex_weld.weld_indexed(vertices, indices)


def test_indices_into_no_vertices_are_out_of_range():
    with pytest.raises(IndexError, match="out of range for 0 vertices"):
        vertex_weld.weld_indexed(numpy.empty((0, 3), numpy.float32), [0])
