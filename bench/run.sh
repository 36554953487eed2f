#!/usr/bin/env bash
# Whole-run benchmark on the default workload: a simulated 1024 x 768 scan of
# 360 views over 360 degrees with counting noise, reconstructed with
# -p 512 -fov 250 -pz 2.5 (512 x 512 x 72 voxels).
#
# Runs, REPEAT times each, interleaved so that a slow spell of the machine
# touches every configuration alike, and prints the median of every stage:
#   full scan: the literal baseline (bench/cbrecon-literal: one thread, the
#              scalar arithmetic, one view at a time through the whole
#              volume), widest kernels on 1 thread, the default (every core,
#              widest kernels) and the default with --isa avx2 (where the
#              CPU runs both AVX2 and AVX-512);
#   60 views:  the literal baseline and the default (-s 60), with the run's
#              fixed costs: its total less the time spent reading, decoding,
#              preprocessing, filtering and backprojecting views;
# then the ratios, every one against the literal baseline (the same program
# on every machine, whatever the scalar path of this build gains), and the
# forward projector's rays per second per kernel from bench/project_bench,
# beside the backprojection's voxel updates.  BENCH_SCALAR=1 adds the
# scalar single thread of this build (`--isa scalar --threads 1`, the
# baseline's bytes) on both workloads.
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

configs=("literal:" "1-thread:--threads 1" "default:" "60v-literal:-s 60" "60v-default:-s 60")
if [[ "${BENCH_SCALAR:-0}" == 1 ]]; then
  configs+=("scalar-1-thread:--threads 1 --isa scalar" "60v-scalar-1-thread:-s 60 --threads 1 --isa scalar")
fi
# --isa avx2 only where the CPU runs both kernels.
if "$build/cbrecon" "$data/PROJ_" "$data/NormImage.hnd" 0 -p 8 -s 1 --isa avx512 >/dev/null 2>&1 || [ $? -eq 1 ]; then
  if "$build/cbrecon" "$data/PROJ_" "$data/NormImage.hnd" 0 -p 8 -s 1 --isa avx2 >/dev/null 2>&1 || [ $? -eq 1 ]; then
    configs+=("avx2:--isa avx2")
  fi
fi
rm -f "$data/PROJ__bp4d.seq"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "bench: $cpu, $(nproc) cores; median of $repeat runs; 360 views, 512 x 512 x 72 voxels"
out="$data/timings.txt"
: > "$out"
for i in $(seq "$repeat"); do
  for c in "${configs[@]}"; do
    label=${c%%:*}
    read -r -a opts <<< "${c#*:}"
    program="$build/cbrecon"
    [[ "$label" == *literal ]] && program="$build/bench/cbrecon-literal"
    # A completed run exits with status 1.
    line=$({ "$program" "$data/PROJ_" "$data/NormImage.hnd" 0 -p 512 -fov 250 -pz 2.5 --timings \
               ${opts[@]+"${opts[@]}"} || [ $? -eq 1 ]; } 2>&1 >/dev/null | sed -n 's/^timings: //p' | tr '\n' ' ')
    echo "$label $line" >> "$out"
  done
done

projector=$("$build/bench/project_bench" --benchmark_filter='BM_Project/.*/4/4' --benchmark_min_time=0.3s \
              --benchmark_format=csv 2>/dev/null || true)

python3 - "$out" "$projector" <<'PY'
import re, statistics, sys
rows = {}
for line in open(sys.argv[1]):
    label, _, rest = line.partition(" ")
    rows.setdefault(label, []).append(rest)
stages = ["read", "decode", "preprocess\\+filter", "backproject", "write", "total"]
def med(label, pattern):
    return statistics.median(float(re.search(pattern, r).group(1)) for r in rows[label])
m = {}
for label in rows:
    s = {st: med(label, st + r" ([0-9.e+]+) s") for st in stages}
    s["ups"] = med(label, r"([0-9.e+]+) voxel updates/s")
    s["mem"] = med(label, r"peak memory ([0-9]+) MiB")
    views = 60 if label.startswith("60v") else 360
    fixed = s["total"] - s["read"] - s["decode"] - s["preprocess\\+filter"] - s["backproject"]
    s["fixed"] = fixed
    print(f"{label:>20}: " + ", ".join(f"{st.replace(chr(92), '')} {s[st]:.3f} s" for st in stages)
          + f"; {s['total'] / views * 1000:.1f} ms/view; {s['ups']:.3g} voxel updates/s; peak {s['mem']:.0f} MiB")
    m[label] = s
def ratio(a, b):
    return m[a]["total"] / m[b]["total"]
print(f"bench: full scan, default {ratio('literal', 'default'):.2f}x the literal baseline "
      f"(target 12), 1 thread {ratio('literal', '1-thread'):.2f}x; 2 threads {ratio('1-thread', 'default'):.2f}x "
      f"1 thread (target 1.9)")
d60 = m["60v-default"]
if "scalar-1-thread" in m:
    print(f"bench: scalar single thread {ratio('literal', 'scalar-1-thread'):.2f}x the literal baseline "
          f"(full scan), {ratio('60v-literal', '60v-scalar-1-thread'):.2f}x (60 views)")
print(f"bench: 60 views, default {ratio('60v-literal', '60v-default'):.2f}x the literal baseline "
      f"(target 10); fixed costs {d60['fixed']:.3f} s = {100 * d60['fixed'] / d60['total']:.1f} % of the run, "
      f"of which writing the volume {d60['write']:.3f} s; without the write "
      f"{100 * (d60['fixed'] - d60['write']) / d60['total']:.1f} % (target 5)")
# The backprojection plan of each run of the default configurations
# (timed on its first batches unless a plan file is given).
for label in ("default", "60v-default"):
    plans = [re.search(r"backprojection plan (\S+) \((\w+)", r) for r in rows.get(label, [])]
    picks = [p.group(1) for p in plans if p]
    if picks:
        counts = {p: picks.count(p) for p in picks}
        print(f"bench: {label} backprojection plans: " + ", ".join(f"{p} in {n} of {len(picks)}" for p, n in counts.items())
              + (f" ({plans[0].group(2)})" if plans[0] else ""))
if "avx2" in m:
    print(f"bench: --isa avx2 backprojects {m['avx2']['ups'] / m['default']['ups'] * 100:.0f} % of the AVX-512 "
          f"voxel updates/s (target 60); whole run {ratio('default', 'avx2') * 100:.0f} % as fast")
lines = [l for l in sys.argv[2].splitlines() if l.startswith('"BM_Project/')]
if lines:
    parts = []
    for l in lines:
        f = l.split(",")
        kernel = f[0].strip('"').split("/")[1]
        rays = float(f[-1]) if f[-1] else float("nan")
        parts.append(f"{kernel} {rays:.3g}")
    print("bench: forward projector, one thread, 4 x 4 detector step, rays/s: " + ", ".join(parts)
          + f"; backprojection, one thread: {m['1-thread']['ups']:.3g} voxel updates/s")
PY
