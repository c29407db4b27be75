#!/usr/bin/env python3
"""Times weldmesh on glTF beside gltfpack -noq and gltf-transform weld, interleaved in one run.

    bench/gltf_bench.py [--build build/default] [--models /usr/share/assimp/models] [--runs 3]

Needs `npm install -g @gltf-transform/cli gltfpack` and GNU time (/usr/bin/time). Each round runs
every tool once, one after the other, so that the machine's load falls on all of them alike.
A run's peak memory is that of the whole run, as `/usr/bin/time -f %M` gives it. The table gives
the medians over the rounds of the wall time and the peak, weldmesh's time over each tool's, and
the peak over the input's size. For the sample models, each tool runs once per file, one file
after another: the time is the sum, the peak the largest of any file's run.
"""
import argparse
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time


def timed(command):
    """Runs `command`, returning its wall time in seconds and peak memory in KiB. GNU time's %e
    counts hundredths, too coarse for a small file: the wall time is taken around it."""
    start = time.perf_counter()
    result = subprocess.run(['/usr/bin/time', '-f', '%M', '--'] + command,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError(f'{command} failed: {result.stderr.strip()}')
    return seconds, int(result.stderr.strip().splitlines()[-1])


def tools(weldmesh, output):
    return {
        'weldmesh': lambda f: [weldmesh, '-q', f, output + '.w.glb'],
        'gltfpack': lambda f: ['gltfpack', '-noq', '-i', f, '-o', output + '.p.glb'],
        'gltf-transform': lambda f: ['gltf-transform', 'weld', f, output + '.t.glb'],
    }


def measure(commands, files, runs):
    """Medians over `runs` interleaved rounds of each tool's summed time and largest peak."""
    rounds = {tool: [] for tool in commands}
    for _ in range(runs):
        for tool, command in commands.items():
            times, peaks = zip(*(timed(command(f)) for f in files))
            rounds[tool].append((sum(times), max(peaks)))
    return {tool: (statistics.median(t for t, _ in r), statistics.median(p for _, p in r))
            for tool, r in rounds.items()}


def print_case(name, size, results, per_input):
    ours = results['weldmesh'][0]
    for tool, (seconds, kib) in results.items():
        ratio = f'{kib * 1024 / size:.2f}' if per_input else '-'
        print(f'| {name} | {size / 2**20:.1f} MiB | {tool} | {seconds:.3f} | '
              f'{ours / seconds:.2f} | {kib / 1024:.0f} | {ratio} |')


def glb_with_extras(source, extras, path):
    """`source` with a member "extras" of the given JSON text added to its document."""
    data = open(source, 'rb').read()
    length = struct.unpack('<I', data[12:16])[0]
    text = data[20:20 + length].rstrip(b' ')
    text = text[:-1] + b',"extras":' + extras + b'}'
    text += b' ' * (-len(text) % 4)
    rest = data[20 + length:]
    out = struct.pack('<IIIII', 0x46546C67, 2, 20 + len(text) + len(rest), len(text),
                      0x4E4F534A) + text + rest
    open(path, 'wb').write(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', default='build/default')
    parser.add_argument('--models', default='/usr/share/assimp/models')
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--grid', type=int, default=1000, help='vertices per side of the soup')
    args = parser.parse_args()
    weldmesh = os.path.realpath(os.path.join(args.build, 'tools', 'weldmesh'))
    with tempfile.TemporaryDirectory() as work:
        output = os.path.join(work, 'out')
        grid = os.path.join(work, 'grid.glb')
        subprocess.run([os.path.join(args.build, 'bench', 'make_grid_glb'), str(args.grid), grid],
                       check=True, stdout=subprocess.DEVNULL)
        commands = tools(weldmesh, output)
        # The sample models every tool reads.
        models = []
        for root, _, names in os.walk(os.path.join(args.models, 'glTF2')):
            for name in sorted(names):
                path = os.path.join(root, name)
                if name.endswith(('.gltf', '.glb')):
                    try:
                        for command in commands.values():
                            timed(command(path))
                        models.append(path)
                    except RuntimeError:
                        pass
        models.sort()

        print('| case | input | tool | median s | weldmesh / tool | peak RSS MiB | '
              'peak RSS / input |')
        print('|---|--:|---|--:|--:|--:|--:|')
        print_case(f'grid soup, {(args.grid - 1) ** 2 * 6} corners', os.path.getsize(grid),
                   measure(commands, [grid], args.runs), True)
        print_case(f'assimp-testmodels glTF 2 ({len(models)} files, in turn)',
                   sum(os.path.getsize(m) for m in models),
                   measure(commands, models, args.runs), False)

        # Documents made to be slow to read: weldmesh alone, on the smallest sample model.
        small = min((m for m in models if m.endswith('.glb')), key=os.path.getsize)
        members = b'{' + b','.join(b'"k%d":%d' % (i, i) for i in range(200000)) + b'}'
        hostile = {
            'an object of 200,000 members': members,
            'arrays nested 100,000 deep': b'[' * 100000 + b']' * 100000,
        }
        only_weldmesh = {'weldmesh': commands['weldmesh']}
        for name, extras in hostile.items():
            path = os.path.join(work, 'hostile.glb')
            glb_with_extras(small, extras, path)
            print_case(name, os.path.getsize(path), measure(only_weldmesh, [path], args.runs),
                       True)


if __name__ == '__main__':
    sys.exit(main())
