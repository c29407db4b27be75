"""weld, weld_indexed and merge_close as Python functions: pickled by name into process pools,
with real signatures and Python's own errors for wrong arguments."""

import concurrent.futures
import functools
import inspect
import multiprocessing
import pickle
import pydoc

import numpy
import pytest

import vertex_weld
from vertex_data import assert_same_results, grid_soup

RNG = numpy.random.default_rng(11)
MESHES = [grid_soup(2000, floats, RNG) for floats in (1, 3, 8, 3)]
FACES = [RNG.integers(0, len(vertices), size=(500, 3)) for vertices in MESHES]


@pytest.mark.parametrize("function",
                         [vertex_weld.weld, vertex_weld.weld_indexed, vertex_weld.merge_close])
def test_functions_pickle_by_name(function):
    assert pickle.loads(pickle.dumps(function)) is function


def test_a_spawned_pool_maps_as_serial_calls_do():
    # Spawned workers import the package afresh: nothing is inherited from this process.
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        welded = pool.map(vertex_weld.weld, MESHES)
        welded_indexed = pool.starmap(vertex_weld.weld_indexed, zip(MESHES, FACES))
    for vertices, faces, result, indexed_result in zip(MESHES, FACES, welded, welded_indexed):
        assert_same_results(result, vertex_weld.weld(vertices))
        assert_same_results(indexed_result, vertex_weld.weld_indexed(vertices, faces))


@pytest.mark.parametrize(
    "weld",
    [functools.partial(vertex_weld.weld, return_index=True, return_counts=True),
     functools.partial(vertex_weld.merge_close, distance=0.4, columns=1, tolerance=0.1,
                       return_index=True, return_counts=True)],
    ids=["weld", "merge_close"],
)
def test_a_process_pool_executor_maps_with_keywords(weld):
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        results = list(executor.map(weld, MESHES))
    for vertices, result in zip(MESHES, results):
        assert_same_results(result, weld(vertices))


def parameters(function):
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


def test_signatures_name_the_parameters():
    empty = inspect.Parameter.empty
    assert parameters(vertex_weld.weld) == [
        ("vertices", inspect.Parameter.POSITIONAL_OR_KEYWORD, empty),
        ("return_index", inspect.Parameter.KEYWORD_ONLY, False),
        ("return_counts", inspect.Parameter.KEYWORD_ONLY, False),
    ]
    assert parameters(vertex_weld.weld_indexed) == [
        ("vertices", inspect.Parameter.POSITIONAL_OR_KEYWORD, empty),
        ("indices", inspect.Parameter.POSITIONAL_OR_KEYWORD, empty),
    ]
    assert parameters(vertex_weld.merge_close) == [
        ("vertices", inspect.Parameter.POSITIONAL_OR_KEYWORD, empty),
        ("distance", inspect.Parameter.POSITIONAL_OR_KEYWORD, empty),
        ("columns", inspect.Parameter.KEYWORD_ONLY, 3),
        ("tolerance", inspect.Parameter.KEYWORD_ONLY, 0.0),
        ("return_index", inspect.Parameter.KEYWORD_ONLY, False),
        ("return_counts", inspect.Parameter.KEYWORD_ONLY, False),
    ]


@pytest.mark.parametrize(
    "function, opening, summary",
    [
        (vertex_weld.weld,
         "weld(vertices: 'ArrayLike', *, return_index: 'bool' = False, "
         "return_counts: 'bool' = False)",
         "Remove exact duplicate vertices."),
        (vertex_weld.weld_indexed, "weld_indexed(vertices: 'ArrayLike', indices: 'ArrayLike')",
         "Weld the vertices of an indexed mesh and remap its indices."),
        (vertex_weld.merge_close,
         "merge_close(vertices: 'ArrayLike', distance: 'float', *, columns: 'int' = 3, "
         "tolerance: 'float | typing.Sequence[float]' = 0.0, return_index: 'bool' = False, "
         "return_counts: 'bool' = False)",
         "Merge vertices that lie within a distance of each other."),
    ],
)
def test_help_opens_with_the_signature_of_a_function_of_the_package(function, opening, summary):
    text = pydoc.render_doc(function, renderer=pydoc.plaintext)
    assert text.startswith(f"Python Library Documentation: function {function.__name__} in module "
                           f"vertex_weld\n\n{opening}")
    assert f"\n    {summary}\n" in text


VERTICES = numpy.zeros((3, 2), numpy.float32)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vertex_weld.weld(VERTICES, return_inverse=True),
         r"^weld\(\) got an unexpected keyword argument 'return_inverse'$"),
        (lambda: vertex_weld.weld(VERTICES, True),
         r"^weld\(\) takes 1 positional argument but 2 were given$"),
        (lambda: vertex_weld.weld(),
         r"^weld\(\) missing 1 required positional argument: 'vertices'$"),
        (lambda: vertex_weld.weld_indexed(VERTICES, [0], axis=0),
         r"^weld_indexed\(\) got an unexpected keyword argument 'axis'$"),
        (lambda: vertex_weld.merge_close(VERTICES, 0.1, 2),
         r"^merge_close\(\) takes 2 positional arguments but 3 were given$"),
        (lambda: vertex_weld.merge_close(VERTICES),
         r"^merge_close\(\) missing 1 required positional argument: 'distance'$"),
    ],
    ids=["unknown keyword", "flag given by position", "no vertices", "weld_indexed keyword",
         "merge_close columns given by position", "merge_close without a distance"],
)
def test_wrong_arguments_raise_pythons_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()
