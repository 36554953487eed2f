#!/usr/bin/env bash
# Baseline image quality of 4-D reconstructions of the breathing thorax.
#
#   bench/thorax4d.sh [centred|offset|both] [-- EXTRA RECON ARGS...]
#
# Simulates (once; kept in $DATA/<layout>, reused while its options are
# unchanged) a full turn of 680 views, 1024 x 768, counting noise on, the
# thorax phantom breathing every 4 s (17 breaths in the 68 s of the scan),
# with its respiratory file and the ground truth of every phase bin.  Then
# reconstructs the 3-D full scan and --all-phases, and measures every bin
# with tools/quality4d.py, then the prior-image bins (--all-phases --mkb,
# with its wall time against the 3-D run's), then the iterative bins
# (--all-phases --iterative, wall time against the 3-D run's, peak memory);
# the 3-D volume is also measured against each bin's truth (the prior alone).  Arguments after "--" go to every
# reconstruction, so a new option can be measured against this baseline.
#
# Layouts: centred  detector centred, -p 256 -fov 250 -pz 2.5
#          offset   detector offset -148 mm (it covers a radius of about 231 mm
#                   at the axis), -p 410 -fov 400 -pz 2.5 (the same voxel size)
#                   -sc 20: the half-fan weights give a ray and its opposite
#                   the weight of one ray together, so a full turn reads half
#                   the centred values at the default -sc 10; -sc 20 puts
#                   water at 2000 again, as the truth's words assume
# Environment: BUILD (build), DATA (bench-data/thorax4d), PYTHON
# (/usr/bin/python3 with numpy), THREADS (0: every core).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
DATA=${DATA:-bench-data/thorax4d}
PYTHON=${PYTHON:-/usr/bin/python3}
THREADS=${THREADS:-0}
which=${1:-both}
[ $# -gt 0 ] && shift
if [ "${1:-}" = "--" ]; then shift; fi
extra=("$@")

now() { date +%s.%N; }
# The program ends a finished reconstruction with status 1.
recon() {
  local rc=0
  "$@" || rc=$?
  if [ $rc -gt 1 ]; then echo "reconstruction failed with status $rc" >&2; exit $rc; fi
}
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

run_layout() {
  local name=$1 xoff=$2 fov=$3 npxls=$4
  shift 4
  local own=("$@")
  local dir=$DATA/$name pxlz=2.5
  local sim=(--phantom thorax --views 680 --cols 1024 --rows 768 --noise
             --breath-period 4 --xoff "$xoff" --prefix "$dir/PROJ_" --vxp "$dir/breath.vxp"
             --truth-bins "$dir/truth" --npxls $npxls --fov "$fov" --pxlz $pxlz --threads "$THREADS")
  mkdir -p "$dir"
  if [ ! -f "$dir/sim.done" ] || [ "$(cat "$dir/sim.done")" != "${sim[*]}" ]; then
    rm -f "$dir"/*.hnd "$dir"/*.raw "$dir/sim.done"
    echo "== $name: $BUILD/cbrecon-sim ${sim[*]}"
    local t=$(now)
    "$BUILD/cbrecon-sim" "${sim[@]}"
    echo "   simulation $(since "$t") s"
    echo "${sim[*]}" > "$dir/sim.done"
  fi
  local common=(-p $npxls -fov "$fov" -pz $pxlz -xoff "$xoff" ${own[@]+"${own[@]}"} ${extra[@]+"${extra[@]}"})
  rm -f "$dir"/PROJ__*.seq
  local t bin
  bin=$(cd "$BUILD" && pwd)/cbrecon
  local t3 t4 tm ti
  echo "== $name 3-D: $BUILD/cbrecon $dir/PROJ_ $dir/NormImage.hnd 0 ${common[*]} --timings"
  t=$(now)
  (cd "$dir" && recon "$bin" PROJ_ NormImage.hnd 0 "${common[@]}" --timings > recon3d.log 2> timings3d.log)
  t3=$(since "$t")
  echo "   wall $t3 s; $(grep -o 'peak memory [0-9]* MiB' "$dir/timings3d.log")"
  echo "== $name 4-D: $BUILD/cbrecon $dir/PROJ_ $dir/NormImage.hnd $dir/breath.vxp ${common[*]} --all-phases"
  t=$(now)
  (cd "$dir" && recon "$bin" PROJ_ NormImage.hnd breath.vxp "${common[@]}" --all-phases > recon4d.log)
  t4=$(since "$t")
  echo "   wall $t4 s"
  echo "== $name prior-image 4-D: $BUILD/cbrecon $dir/PROJ_ $dir/NormImage.hnd $dir/breath.vxp ${common[*]} --all-phases --mkb --timings"
  t=$(now)
  (cd "$dir" && recon "$bin" PROJ_ NormImage.hnd breath.vxp "${common[@]}" --all-phases --mkb --timings \
     > reconmkb.log 2> timingsmkb.log)
  tm=$(since "$t")
  echo "   wall $tm s; $(grep -o 'peak memory [0-9]* MiB' "$dir/timingsmkb.log"); $(grep -o 'forward projection [0-9.]* s' "$dir/timingsmkb.log")"
  echo "   --all-phases --mkb takes $(awk -v a="$tm" -v b="$t3" 'BEGIN { printf "%.2f", a / b }') x the 3-D wall time"
  echo "== $name iterative 4-D: $BUILD/cbrecon $dir/PROJ_ $dir/NormImage.hnd $dir/breath.vxp ${common[*]} --all-phases --iterative --timings"
  t=$(now)
  (cd "$dir" && recon "$bin" PROJ_ NormImage.hnd breath.vxp "${common[@]}" --all-phases --iterative --timings \
     > reconiter.log 2> timingsiter.log)
  ti=$(since "$t")
  echo "   wall $ti s; $(grep -o 'peak memory [0-9]* MiB' "$dir/timingsiter.log")"
  grep 'timings: iterative' "$dir/timingsiter.log" | sed 's/^/   /'
  echo "   --all-phases --iterative takes $(awk -v a="$ti" -v b="$t3" 'BEGIN { printf "%.2f", a / b }') x the 3-D wall time"
  local q=("$PYTHON" tools/quality4d.py summary --npxls $npxls --fov "$fov" --pxlz $pxlz)
  local vol3d
  vol3d=$(ls "$dir"/PROJ__*.seq | grep -v '_4d_ph' | head -1)
  echo "== $name: every bin against its truth"
  "${q[@]}" "$dir/PROJ__4d_ph{bin}.seq" "$dir/truth"
  echo "== $name: every prior-image bin against its truth"
  "${q[@]}" "$dir/PROJ__4d_ph{bin}_mkb.seq" "$dir/truth"
  echo "== $name: every iterative bin against its truth"
  "${q[@]}" "$dir/PROJ__4d_ph{bin}_iter.seq" "$dir/truth"
  echo "== $name: the 3-D volume ($(basename "$vol3d")) against every bin's truth"
  "${q[@]}" "$vol3d" "$dir/truth"
}

case $which in
  centred) run_layout centred 0 250 256 ;;
  offset) run_layout offset -148 400 410 -sc 20 ;;
  both) run_layout centred 0 250 256; run_layout offset -148 400 410 -sc 20 ;;
  *) echo "usage: $0 [centred|offset|both] [-- EXTRA RECON ARGS...]" >&2; exit 2 ;;
esac
