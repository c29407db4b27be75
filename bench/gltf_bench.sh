#!/usr/bin/env bash
# Times weldmesh on glTF beside the two npm glTF tools, in one run on one machine:
#   bench/gltf_bench.sh [BUILD_DIR] [MODELS_DIR]
# needs hyperfine, /usr/bin/time and `npm install -g @gltf-transform/cli gltfpack`.
# Prints a Markdown table: median wall time, weldmesh's time over each peer's, peak RSS (for the
# sample models, the largest of any one file's run).
set -euo pipefail
build=${1:-build/default}
models=${2:-/usr/share/assimp/models}
weldmesh=$(realpath "$build/tools/weldmesh")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bench/make_grid_glb" 1000 "$work/grid.glb" >/dev/null

# The sample models every tool reads: each tool once on each glTF 2 file.
: >"$work/models.txt"
while read -r file; do
    "$weldmesh" -q "$file" "$work/w.glb" 2>/dev/null &&
        gltfpack -noq -i "$file" -o "$work/p.glb" >/dev/null 2>&1 &&
        gltf-transform weld "$file" "$work/t.glb" >/dev/null 2>&1 &&
        echo "$file" >>"$work/models.txt"
done < <(find "$models/glTF2" \( -name '*.gltf' -o -name '*.glb' \) | sort)
models_count=$(wc -l <"$work/models.txt")
models_bytes=$(xargs -d '\n' cat <"$work/models.txt" | wc -c)

# One command per tool over a whole case; the sample models run one after the other.
each() { echo "while read -r f; do $1; done <'$work/models.txt'"; }
declare -A grid=(
    [weldmesh]="'$weldmesh' -q '$work/grid.glb' '$work/w.glb'"
    [gltfpack]="gltfpack -noq -i '$work/grid.glb' -o '$work/p.glb' >/dev/null"
    [gltf-transform]="gltf-transform weld '$work/grid.glb' '$work/t.glb' >/dev/null"
)
declare -A samples=(
    [weldmesh]=$(each "'$weldmesh' -q \"\$f\" '$work/w.glb'")
    [gltfpack]=$(each "gltfpack -noq -i \"\$f\" -o '$work/p.glb' >/dev/null")
    [gltf-transform]=$(each "gltf-transform weld \"\$f\" '$work/t.glb' >/dev/null")
)
tools=(weldmesh gltfpack gltf-transform)

median() { # hyperfine's median for one command, in seconds
    python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$1"
}
peak_kib() { # the peak RSS of one run
    /usr/bin/time -v bash -c "$1" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'
}

echo "| case | input | tool | median s | weldmesh / tool | peak RSS MiB | peak RSS / input |"
echo "|---|--:|---|--:|--:|--:|--:|"
run_case() { # name, input bytes, runs, associative array name, 1 for RSS over the input
    local name=$1 bytes=$2 runs=$3
    local -n commands=$4
    local -A time
    for tool in "${tools[@]}"; do
        hyperfine --style none --warmup 1 --runs "$runs" --export-json "$work/h.json" \
            "${commands[$tool]}" >/dev/null
        time[$tool]=$(median "$work/h.json")
    done
    for tool in "${tools[@]}"; do
        local kib
        kib=$(peak_kib "${commands[$tool]}")
        python3 -c 'import sys
name, size, tool, t, ours, kib = sys.argv[1:7]
size, t, ours, kib = int(size), float(t), float(ours), int(kib)
ratio = f"{kib * 1024 / size:.2f}" if sys.argv[7] == "1" else "-"
print(f"| {name} | {size / 2**20:.1f} MiB | {tool} | {t:.3f} | {ours / t:.2f} | "
      f"{kib / 1024:.0f} | {ratio} |")' "$name" "$bytes" "$tool" "${time[$tool]}" \
            "${time[weldmesh]}" "$kib" "$5"
    done
}
run_case "grid soup, 5988006 corners" "$(stat -c %s "$work/grid.glb")" 5 grid 1
run_case "assimp-testmodels glTF 2 ($models_count files, in turn)" "$models_bytes" 3 samples 0
