#!/usr/bin/env bash
# The sync check of respiratory files against the images' breathing signal on
# simulated thorax scans with irregular breathing (each its own seed and
# period): the scan's own file must pass, and files shifted by 3 or 5
# triggers either way, cut short by 5 % or taken from another scan must be
# flagged.  Prints one line per scan and the counts.
#
#   bench/breathing_sync.sh [SCANS (20)]
# Environment: BUILD (build), DATA (bench-data/breathing_sync), VIEWS (340).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
DATA=${DATA:-bench-data/breathing_sync}
VIEWS=${VIEWS:-340}
scans=${1:-20}
mkdir -p "$DATA"
false_alarms=0; missed=0; flagged=0
for s in $(seq 1 "$scans"); do
  dir=$DATA/s$s
  period=$(awk -v s="$s" 'BEGIN { printf "%.2f", 3.0 + (s * 0.37) % 2.5 }')
  sim=(--phantom thorax --scale 0.25 --cols 256 --rows 192 --views "$VIEWS" --noise --quiet
       --breath-period "$period" --breath-period-var 0.15 --breath-amp-var 0.2 --breath-drift 0.1
       --breath-seed "$s" --prefix "$dir/PROJ_")
  rm -rf "$dir"; mkdir -p "$dir"
  "$BUILD/cbrecon-sim" "${sim[@]}" --vxp "$dir/own.vxp"
  for k in 3 -3 5 -5; do "$BUILD/cbrecon-sim" "${sim[@]}" --vxp-only --vxp "$dir/shift$k.vxp" --vxp-shift "$k"; done
  "$BUILD/cbrecon-sim" "${sim[@]}" --vxp-only --vxp "$dir/cut.vxp" --vxp-cut 0.05
  "$BUILD/cbrecon-sim" "${sim[@]}" --vxp-only --vxp "$dir/other.vxp" --breath-seed $((s + 100)) \
      --breath-period "$(awk -v p="$period" 'BEGIN { printf "%.2f", p * 1.1 }')"
  line="scan $s (period $period s):"
  for f in own shift3 shift-3 shift5 shift-5 cut other; do
    err=$("$BUILD/cbrecon" "$dir/PROJ_" "$dir/NormImage.hnd" "$dir/$f.vxp" -d 256 -z 192 -s "$VIEWS" -p 16 -fov 60 \
          -pz 5 -ph 1 --sync-check --quiet --trace-file "$dir/trace.out" 2>&1 >/dev/null || true)
    corr=$(grep -o 'correlation [-0-9.]*, best lag [-+0-9]*' <<<"$err" | head -1 | sed 's/correlation //; s/, best lag /@/')
    if grep -q 'does not match' <<<"$err"; then verdict=flag; else verdict=ok; fi
    line="$line $f=$verdict($corr)"
    if [ $f = own ]; then [ $verdict = flag ] && false_alarms=$((false_alarms + 1)); true
    else if [ $verdict = flag ]; then flagged=$((flagged + 1)); else missed=$((missed + 1)); fi; fi
  done
  echo "$line"
  rm -f "$dir"/*.hnd
done
echo "false alarms on the scans' own files: $false_alarms of $scans; out-of-step files flagged: $flagged of $((6 * scans)), missed $missed"
