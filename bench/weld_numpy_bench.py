#!/usr/bin/env python3
"""Times vertex_weld.weld beside numpy.unique(axis=0, return_inverse=True), the exact sorted weld
numpy offers, and beside WeldMesh called through ctypes, which shows what the module adds to the C
call. Repetitions are interleaved, so that load changes fall on all three alike; medians printed.

    PYTHONPATH=build/default/python /usr/bin/python3 bench/weld_numpy_bench.py [--tiny] [--repetitions N]
"""

import argparse
import ctypes
import json
import statistics
import struct
import time
from pathlib import Path

import numpy

import vertex_weld

MODEL_DIR = Path("/usr/share/assimp/models")


def surface_vertices(side):
    """Position, normal and texture coordinate of a wavy height field over the unit square."""
    v, u = numpy.meshgrid(numpy.linspace(0, 1, side), numpy.linspace(0, 1, side), indexing="ij")
    height = 0.2 * numpy.sin(3 * u) * numpy.cos(4 * v)
    slope_u = 0.6 * numpy.cos(3 * u) * numpy.cos(4 * v)
    slope_v = -0.8 * numpy.sin(3 * u) * numpy.sin(4 * v)
    length = numpy.sqrt(slope_u**2 + slope_v**2 + 1)
    channels = [u, v, height, -slope_u / length, -slope_v / length, 1 / length, u, v]
    return numpy.stack(channels, axis=-1).reshape(-1, 8).astype(numpy.float32)


def grid_soup(side, floats, shuffled):
    """Two triangles per grid cell, each triangle's three vertices written out in full."""
    corner = (numpy.arange(side - 1)[:, None] * side + numpy.arange(side - 1)[None, :]).reshape(-1)
    first = numpy.stack([corner, corner + 1, corner + side], axis=-1)
    second = numpy.stack([corner + side, corner + 1, corner + side + 1], axis=-1)
    triangles = numpy.stack([first, second], axis=1).reshape(-1, 3)
    if shuffled:
        triangles = triangles[numpy.random.default_rng(1).permutation(len(triangles))]
    return numpy.ascontiguousarray(surface_vertices(side)[triangles.reshape(-1), :floats])


GLTF_COMPONENTS = {5121: numpy.uint8, 5123: numpy.uint16, 5125: numpy.uint32, 5126: numpy.float32}
GLTF_WIDTHS = {"SCALAR": 1, "VEC2": 2, "VEC3": 3}


def gltf_accessor(document, binary, index):
    accessor = document["accessors"][index]
    view = document["bufferViews"][accessor["bufferView"]]
    dtype = numpy.dtype(GLTF_COMPONENTS[accessor["componentType"]])
    width = GLTF_WIDTHS[accessor["type"]]
    stride = view.get("byteStride", dtype.itemsize * width)
    start = view.get("byteOffset", 0) + accessor.get("byteOffset", 0)
    elements = (accessor["count"] - 1) * stride // dtype.itemsize + width
    flat = numpy.frombuffer(binary, dtype, offset=start, count=elements)
    rows = numpy.lib.stride_tricks.as_strided(flat, (accessor["count"], width), (stride, dtype.itemsize))
    return rows.reshape(-1) if width == 1 else rows


def glb_soup(path):
    """Position and normal of every triangle corner of every mesh of a binary glTF file."""
    data = path.read_bytes()
    json_length = struct.unpack_from("<I", data, 12)[0]
    document = json.loads(data[20:20 + json_length])
    binary = data[20 + json_length + 8:]
    corners = []
    for mesh in document["meshes"]:
        for primitive in mesh["primitives"]:
            if primitive.get("mode", 4) != 4 or "NORMAL" not in primitive["attributes"]:
                continue
            attributes = primitive["attributes"]
            vertices = numpy.hstack([gltf_accessor(document, binary, attributes["POSITION"]),
                                     gltf_accessor(document, binary, attributes["NORMAL"])])
            corners.append(vertices[gltf_accessor(document, binary, primitive["indices"])])
    return numpy.ascontiguousarray(numpy.vstack(corners), numpy.float32)


def stl_positions(path):
    """The corner positions of a binary STL file, three per triangle."""
    data = path.read_bytes()
    count = struct.unpack_from("<I", data, 80)[0]
    record = numpy.dtype([("normal", "<f4", 3), ("corners", "<f4", (3, 3)), ("attribute", "<u2")])
    triangles = numpy.frombuffer(data, record, count=count, offset=84)
    return numpy.ascontiguousarray(triangles["corners"].reshape(-1, 3), numpy.float32)


def cases(tiny):
    side = 12 if tiny else 400
    for floats in (3, 8):
        for shuffled in (False, True):
            order = "shuffled" if shuffled else "mesh order"
            yield f"grid, {floats} floats, {order}", grid_soup(side, floats, shuffled)
    glb = MODEL_DIR / "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb"
    if glb.exists():
        yield f"model {glb.name}", glb_soup(glb)[: 1000 if tiny else None]
    stl = MODEL_DIR / "STL/Wuson.stl"
    if stl.exists():
        yield f"model {stl.name}, positions", stl_positions(stl)[: 1000 if tiny else None]


def weld_mesh_through_ctypes():
    # The module links the library's archive whole: its WeldMesh is the very code weld() calls.
    library = ctypes.CDLL(vertex_weld._vertex_weld.__file__)
    function = library.WeldMesh
    function.argtypes = [ctypes.c_void_p] * 3 + [ctypes.c_int] * 2
    function.restype = ctypes.c_int

    def weld(vertices):
        count, floats = vertices.shape
        remap = numpy.empty(count, numpy.int32)
        unique = numpy.empty((count, floats), numpy.float32)
        unique_count = function(remap.ctypes.data, unique.ctypes.data, vertices.ctypes.data,
                                count, floats)
        return unique[:unique_count], remap

    return weld


def numpy_unique(vertices):
    return numpy.unique(vertices, axis=0, return_inverse=True)


def same_result(first, second):
    return (numpy.array_equal(first[0].view(numpy.uint32), second[0].view(numpy.uint32))
            and numpy.array_equal(first[1].reshape(-1), second[1].reshape(-1)))


def median_ms(welders, vertices, rounds, calls_per_round):
    """Each round calls every welder calls_per_round[name] times, the welders taking turns."""
    times = {name: [] for name in welders}
    for _ in range(rounds):
        for turn in range(max(calls_per_round.values())):
            for name, welder in welders.items():
                if turn < calls_per_round[name]:
                    start = time.perf_counter()
                    welder(vertices)
                    times[name].append(time.perf_counter() - start)
    return {name: 1000 * statistics.median(values) for name, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tiny", action="store_true", help="every case once, at a tiny size")
    parser.add_argument("--repetitions", type=int, default=7, help="numpy.unique calls per case")
    parser.add_argument("--weld-repetitions", type=int, default=5,
                        help="calls of vertex_weld.weld and of WeldMesh per numpy.unique call")
    options = parser.parse_args()
    repetitions = 1 if options.tiny else options.repetitions
    welders = {"numpy": numpy_unique, "module": vertex_weld.weld,
               "ctypes": weld_mesh_through_ctypes()}
    calls_per_round = {"numpy": 1, "module": options.weld_repetitions,
                       "ctypes": options.weld_repetitions}
    print(f"vertex_weld {vertex_weld.__version__}, numpy {numpy.__version__}; medians of "
          f"{repetitions} numpy.unique calls and {repetitions * options.weld_repetitions} calls of "
          "the others, interleaved")
    print()
    print("| case | corners | floats | unique | numpy.unique ms | vertex_weld.weld ms "
          "| WeldMesh via ctypes ms | weld / numpy.unique | weld / ctypes "
          "| same result as numpy.unique |")
    print("|---|--:|--:|--:|--:|--:|--:|--:|--:|---|")
    for name, vertices in cases(options.tiny):
        results = {welder_name: welder(vertices) for welder_name, welder in welders.items()}
        if not same_result(results["module"], results["ctypes"]):
            raise SystemExit(f"{name}: vertex_weld.weld and WeldMesh disagree")
        ms = median_ms(welders, vertices, repetitions, calls_per_round)
        same = "yes" if same_result(results["module"], results["numpy"]) else "no"
        print(f"| {name} | {len(vertices)} | {vertices.shape[1]} | {len(results['module'][0])} "
              f"| {ms['numpy']:.1f} | {ms['module']:.2f} | {ms['ctypes']:.2f} "
              f"| {ms['module'] / ms['numpy']:.3f} | {ms['module'] / ms['ctypes']:.3f} | {same} |")


if __name__ == "__main__":
    main()
