#!/usr/bin/env python3
"""Times vertex_weld.merge_close on a noisy triangle soup beside Open3D's
TriangleMesh.merge_close_vertices on the same positions, and beside vertex_weld.weld on the same
array, which shows what the merge costs over the exact weld it starts with. Rounds are
interleaved, so that load changes fall on all three alike; medians printed. Without Open3D the
script says so and times the two others.

    PYTHONPATH=build/default/python /usr/bin/python3 bench/merge_bench.py [--tiny] [--rounds N]
"""

import argparse
import statistics
import time

import numpy

import vertex_weld
from weld_numpy_bench import grid_soup

try:
    import open3d
except ImportError as error:
    open3d = None
    open3d_missing = str(error)

DISTANCE = 1e-5
NOISE = 1e-6


def noisy(vertices, seed):
    """The vertices with uniform noise of up to NOISE on every component, rounded to float32."""
    noise = numpy.random.default_rng(seed).uniform(-NOISE, NOISE, size=vertices.shape)
    return (vertices + noise).astype(numpy.float32)


def same_groups(inverse, reference_inverse):
    """Whether two inverses group the rows alike, whatever the numbers of the groups."""
    group_count = reference_inverse.max() + 1
    if inverse.max() + 1 != group_count:
        return False
    renumbered = numpy.zeros(group_count, numpy.int64)
    renumbered[reference_inverse] = inverse
    return (numpy.array_equal(renumbered[reference_inverse], inverse)
            and len(numpy.unique(renumbered)) == group_count)


def merge_close(vertices):
    return vertex_weld.merge_close(vertices, DISTANCE, tolerance=DISTANCE)


class Open3DMerge:
    """merge_close_vertices on a mesh of the soup's positions, one triangle per three corners.
    The call changes its mesh, so each call gets a fresh copy, made before the clock starts."""

    def __init__(self, vertices):
        positions = open3d.utility.Vector3dVector(vertices[:, :3].astype(numpy.float64))
        triangles = numpy.arange(len(vertices), dtype=numpy.int32).reshape(-1, 3)
        triangles = open3d.utility.Vector3iVector(triangles)
        self.mesh = open3d.geometry.TriangleMesh(positions, triangles)

    def timed(self):
        mesh = open3d.geometry.TriangleMesh(self.mesh)
        start = time.perf_counter()
        mesh.merge_close_vertices(DISTANCE)
        return time.perf_counter() - start, mesh


def timed(function, vertices):
    start = time.perf_counter()
    function(vertices)
    return time.perf_counter() - start


def median_ms(vertices, rounds, open3d_merge):
    """Each round calls merge_close, weld and, where present, Open3D once each, in turn."""
    times = {"merge_close": [], "weld": [], "open3d": []}
    for _ in range(rounds):
        times["merge_close"].append(timed(merge_close, vertices))
        times["weld"].append(timed(vertex_weld.weld, vertices))
        if open3d_merge:
            times["open3d"].append(open3d_merge.timed()[0])
    return {name: 1000 * statistics.median(values) for name, values in times.items() if values}


def case_cells(name, side, shuffled, rounds):
    """The table's cells for one soup, by column; Open3D's only where it is importable."""
    clean = grid_soup(side, 8, shuffled)
    vertices = noisy(clean, seed=1)
    _, grid_inverse = vertex_weld.weld(clean)
    unique, inverse = merge_close(vertices)
    if len(unique) != side * side or not same_groups(inverse, grid_inverse):
        raise SystemExit(f"{name}: merge_close gave {len(unique)} vertices, not the grid's "
                         f"{side * side} in the noise-free weld's groups")
    cells = {"case": name, "corners": len(vertices), "floats": vertices.shape[1],
             "merge_close vertices": len(unique), "same groups as the noise-free weld": "yes"}
    open3d_merge = Open3DMerge(vertices) if open3d else None
    if open3d_merge:
        _, merged = open3d_merge.timed()
        open3d_inverse = numpy.asarray(merged.triangles).reshape(-1)
        cells["Open3D vertices"] = len(merged.vertices)
        cells["Open3D same groups"] = "yes" if same_groups(open3d_inverse, grid_inverse) else "no"
    ms = median_ms(vertices, rounds, open3d_merge)
    if open3d_merge:
        cells["Open3D ms"] = f"{ms['open3d']:.1f}"
    cells["merge_close ms"] = f"{ms['merge_close']:.2f}"
    cells["weld ms"] = f"{ms['weld']:.2f}"
    if open3d_merge:
        cells["merge_close / Open3D"] = f"{ms['merge_close'] / ms['open3d']:.3f}"
    cells["merge_close / weld"] = f"{ms['merge_close'] / ms['weld']:.2f}"
    return cells


TEXT_COLUMNS = {"case", "same groups as the noise-free weld", "Open3D same groups"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tiny", action="store_true", help="each case once, at a tiny size")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds per case")
    options = parser.parse_args()
    side = 12 if options.tiny else 400
    rounds = 1 if options.tiny else options.rounds
    peer = f"Open3D {open3d.__version__}" if open3d else f"Open3D not importable ({open3d_missing})"
    print(f"vertex_weld {vertex_weld.__version__}, numpy {numpy.__version__}, {peer}; "
          f"{side} x {side} grid, noise up to {NOISE:g} on every component, "
          f"merge_close(v, {DISTANCE:g}, tolerance={DISTANCE:g}); medians of {rounds} "
          "interleaved rounds")
    print()
    for row, shuffled in enumerate((False, True)):
        name = f"grid soup, {'shuffled' if shuffled else 'mesh order'}"
        cells = case_cells(name, side, shuffled, rounds)
        if row == 0:
            print("| " + " | ".join(cells) + " |")
            print("|" + "".join("---|" if column in TEXT_COLUMNS else "--:|" for column in cells))
        print("| " + " | ".join(str(cell) for cell in cells.values()) + " |")


if __name__ == "__main__":
    main()
