#!/usr/bin/env bash
# Whole-run benchmark on the default workload: a simulated 1024 x 768 scan of
# 360 views over 360 degrees with counting noise, reconstructed with
# -p 512 -fov 250 -pz 2.5
# (512 x 512 x 72 voxels).  Runs the scalar single-thread configuration and
# the default one (all cores, widest kernels) REPEAT times each and prints
# the median of every stage, the throughput and the ratio.
#
#   bench/run.sh [BUILD_DIR] [REPEAT]     (defaults: build, 3)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-build}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
repeat="${2:-3}"
data="$root/bench-data"
# Counting noise as in real scans (it changes which codes the files use and
# where the logarithm table is read).  The simulator's arguments are kept
# beside the data; other data is simulated again.
sim_args=(--views 360 --phantom shepp --noise --quiet)
if [[ ! -f "$data/PROJ_00359.hnd" || "$(cat "$data/workload" 2>/dev/null)" != "${sim_args[*]}" ]]; then
  echo "bench: simulating the workload into $data"
  mkdir -p "$data"
  "$build/cbrecon-sim" "${sim_args[@]}" --prefix "$data/PROJ_"
  echo "${sim_args[*]}" > "$data/workload"
fi
run() {  # label, extra options...
  local label="$1"; shift
  for i in $(seq "$repeat"); do
    # A completed run exits with status 1.
    { "$build/cbrecon" "$data/PROJ_" "$data/NormImage.hnd" 0 -p 512 -fov 250 -pz 2.5 --timings "$@" \
        || [ $? -eq 1 ]; } \
      2>&1 >/dev/null | sed -n 's/^timings: //p' | tr '\n' ' '
    echo
  done | python3 -c '
import re, statistics, sys
label = sys.argv[1]
rows = [l for l in sys.stdin.read().splitlines() if l.strip()]
def med(key):
    vals = [float(re.search(key + r" ([0-9.e+]+)", r).group(1)) for r in rows]
    return statistics.median(vals)
stages = ["read", "decode", "preprocess\\+filter", "backproject", "write", "total"]
out = {s: med(s) for s in stages}
ups = statistics.median([float(re.search(r"([0-9.e+]+) voxel updates/s", r).group(1)) for r in rows])
mem = statistics.median([float(re.search(r"peak memory ([0-9]+) MiB", r).group(1)) for r in rows])
tot = out["total"]
print(f"{label:>18}: " + ", ".join(f"{s.replace(chr(92), str())} {out[s]:.2f} s" for s in stages)
      + f"; {tot / 360 * 1000:.1f} ms/view; {ups:.3g} voxel updates/s; peak {mem:.0f} MiB")
print(f"TOTAL {label} {tot}", file=sys.stderr)
' "$label"
}
echo "bench: median of $repeat runs, 360 views, 512 x 512 x 72 voxels, $(nproc) cores"
{ run scalar-1-thread --threads 1 --isa scalar; run 1-thread --threads 1; run default; } 2> "$data/totals.txt"
python3 - "$data/totals.txt" <<'PY'
import sys
t = {l.split()[1]: float(l.split()[2]) for l in open(sys.argv[1]) if l.startswith("TOTAL ")}
s, one, d = t["scalar-1-thread"], t["1-thread"], t["default"]
print(f"bench: default is {s / d:.2f}x the scalar single thread; threads scale {one / d:.2f}x")
PY
