#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan+UBSan into build-fuzz/
# and runs each for SECONDS (default 30) from its seed corpus
# (tests/fuzz/corpus/<name without "fuzz_">/). Fails on a crash, a leak,
# a sanitizer report or a hang (one input running longer than 10 s).
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

bash scripts/deps.sh

build=build-fuzz
# Only the fuzz targets are built; the tests (and their dependencies) are
# left out of this configuration.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTMX_FUZZ=ON -DTMX_SANITIZE=address -DTMX_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j "$(nproc 2>/dev/null || echo 2)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

work="$build/fuzz-work"
rm -rf "$work"
mkdir -p "$work"
status=0
found=0
for target in "$build"/bin/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name="$(basename "$target")"
  seeds="tests/fuzz/corpus/${name#fuzz_}"
  corpus="$work/$name-corpus"
  mkdir -p "$corpus"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  echo "== $name: ${seconds}s"
  # New inputs go to the scratch corpus (first directory), never into the
  # seeds; crash reproducers go to $work.
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$work/$name-" "${args[@]}" >"$work/$name.log" 2>&1; then
    echo "!! $name failed; last lines of $work/$name.log:" >&2
    tail -n 40 "$work/$name.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done ' "$work/$name.log" || true
  fi
done
if [ "$found" -eq 0 ]; then
  echo "no fuzz targets were built" >&2
  exit 1
fi
exit "$status"
