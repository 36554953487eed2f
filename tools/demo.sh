#!/usr/bin/env bash
# Generates the demo scan into demo-data/ at the repository root (once) and
# runs the reconstruction's no-argument mode on it.
#
#   tools/demo.sh [BUILD_DIR]      (default: build)
#
# The scan: 180 views of a 1024 x 768 detector over a full turn, Shepp-Logan
# head of about 200 mm inside the no-argument mode's 240 mm field of view.
# That mode reverses the view order after listing, so the angles are written
# decreasing (0, -2, ..., -358): processed in reverse they increase, as a
# full scan's angular weights expect.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-build}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
sim="$build/cbrecon-sim"
recon="$build/cbrecon"
for exe in "$sim" "$recon"; do
  if [[ ! -x "$exe" ]]; then
    echo "demo.sh: $exe not found; build first (cmake --build $build)" >&2
    exit 2
  fi
done

data="$root/demo-data"
views=180
last=$(printf '%s/PROJ_%05d.hnd' "$data" $((views - 1)))
if [[ -f "$data/NormImage.hnd" && -f "$data/PROJ_00000.hnd" && -f "$last" ]]; then
  echo "demo.sh: using the scan in $data"
else
  echo "demo.sh: simulating the demo scan into $data"
  "$sim" --cols 1024 --rows 768 --views "$views" --start 0 --step -2 --phantom shepp \
         --prefix "$data/PROJ_" --mask "$data/NormImage.hnd"
fi

cd "$root"
status=0
"$recon" || status=$?
# A completed reconstruction ends with status 1, as the classic program does.
if [[ $status -ne 0 && $status -ne 1 ]]; then
  echo "demo.sh: cbrecon ended with status $status" >&2
  exit "$status"
fi
echo "demo.sh: done (cbrecon status $status)"
