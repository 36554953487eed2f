#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (in build-fuzz, or $CBRECON_FUZZ_BUILD)
# and runs each for SECONDS seconds (default 60) on one core, starting from a
# temporary copy of its seed corpus so that the repository stays clean.
# Inputs that crash are kept under tests/fuzz/crashes/<target>/, where the
# ordinary test suite replays them; the script then fails.
#
#   tests/fuzz/run.sh [SECONDS] [TARGET...]      targets: projection mask rpm cli
set -euo pipefail

seconds=${1:-60}
shift || true
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CBRECON_FUZZ_BUILD:-$root/build-fuzz}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(projection mask rpm cli)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Quiet unless the build fails.
if ! { cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCBRECON_FUZZ=ON -DCBRECON_TESTS=OFF -DCBRECON_BENCH=OFF &&
       cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]/%/_fuzz}"; } >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  echo "fuzz: the targets do not build" >&2
  exit 1
fi
failed=()
for t in "${targets[@]}"; do
  corpus="$work/corpus-$t"
  crashes="$here/crashes/$t"
  mkdir -p "$corpus" "$crashes"
  cp -r "$here/corpus/$t/." "$corpus/" 2>/dev/null || true
  extra=()
  case $t in
    mask) extra+=(-max_len=12000) ;;   # a 48 x 48 mask is 1024 + 9216 bytes
    cli) extra+=(-dict="$here/cli.dict") ;;
  esac
  log="$work/$t.log"
  echo "fuzz $t: ${seconds}s"
  # -timeout: an input that takes seconds is a hang worth keeping.
  if "$build/tests/fuzz/${t}_fuzz" "$corpus" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" \
       ${extra[@]+"${extra[@]}"} >"$log" 2>&1; then
    grep -E '^Done' "$log" | sed "s/^/  $t: /"
  else
    tail -40 "$log"
    echo "fuzz $t: FAILED; the input is under tests/fuzz/crashes/$t/" >&2
    failed+=("$t")
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz targets failed: ${failed[*]}" >&2; exit 1; }
