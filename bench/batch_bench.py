#!/usr/bin/env python3
"""Times weldmesh's batch mode on a tree of models against a shell loop of single calls.

    bench/batch_bench.py [--build build/default] [--copies 4] [--runs 3]

The tree holds --copies copies of a few generated grid soups (make_grid_glb) and of
assimp-testmodels' glTF 2 files, enough that start-up does not dominate. Each round runs the
loop, `-j 1` and `-j 2` once each, one after the other; the table gives the median wall times
and each one's time over the loop's.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def wall(command, shell=False):
    start = time.perf_counter()
    subprocess.run(command, shell=shell, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', default='build/default')
    parser.add_argument('--models', default='/usr/share/assimp/models')
    parser.add_argument('--copies', type=int, default=4)
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    weldmesh = os.path.realpath(os.path.join(args.build, 'tools', 'weldmesh'))
    with tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, 'tree')
        for copy in range(args.copies):
            folder = os.path.join(tree, f'copy{copy}')
            shutil.copytree(os.path.join(args.models, 'glTF2'), os.path.join(folder, 'glTF2'))
            for side in (200, 300, 400):
                subprocess.run([os.path.join(args.build, 'bench', 'make_grid_glb'), str(side),
                                os.path.join(folder, f'grid{side}.glb')],
                               check=True, stdout=subprocess.DEVNULL)
        files = sorted(os.path.join(root, name) for root, _, names in os.walk(tree)
                       for name in names if name.endswith(('.gltf', '.glb')))
        size = sum(os.path.getsize(f) for f in files)
        out = os.path.join(work, 'out')
        listing = os.path.join(work, 'files.txt')
        with open(listing, 'w') as file_list:
            file_list.write('\n'.join(files) + '\n')
        # The loop writes each file under a name of its own in one folder, as a script would.
        loop = (f'mkdir -p {out}/loop; n=0; while read -r f; do n=$((n+1)); '
                f'"{weldmesh}" -q "$f" "{out}/loop/$n.${{f##*.}}"; done < {listing}')
        commands = {
            'shell loop of single calls': (loop, True),
            'weldmesh -j 1': ([weldmesh, '-q', '-j', '1', tree, '-o', out + '/j1'], False),
            'weldmesh -j 2': ([weldmesh, '-q', '-j', '2', tree, '-o', out + '/j2'], False),
        }
        times = {name: [] for name in commands}
        for _ in range(args.runs):
            for name, (command, shell) in commands.items():
                shutil.rmtree(out, ignore_errors=True)
                times[name].append(wall(command, shell))
        loop_time = statistics.median(times['shell loop of single calls'])
        print(f'{len(files)} files, {size / 2**20:.1f} MiB; medians of {args.runs} rounds')
        print()
        print('| run | median s | / loop |')
        print('|---|--:|--:|')
        for name, measured in times.items():
            median = statistics.median(measured)
            print(f'| {name} | {median:.2f} | {median / loop_time:.2f} |')


if __name__ == '__main__':
    sys.exit(main())
