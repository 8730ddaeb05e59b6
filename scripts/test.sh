#!/usr/bin/env bash
# Installs what the build needs (Debian packages), builds and runs every
# test through CTest. Exits non-zero on any failure.
#   scripts/test.sh                      build/ and the whole suite
#   scripts/test.sh --sanitize address   build-asan/ under ASan+UBSan
#   scripts/test.sh --sanitize thread    build-tsan/ under TSan
#   scripts/test.sh -- -L e2e            extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="${2:?--sanitize needs address or thread}"; shift 2 ;;
    --sanitize=*) sanitize="${1#*=}"; shift ;;
    --) shift; ctest_args=("$@"); break ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh

case "$sanitize" in
  "") build=build ;;
  address) build=build-asan ;;
  thread) build=build-tsan ;;
  *) echo "--sanitize takes address or thread" >&2; exit 2 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
# ccache (scripts/deps.sh) makes a rebuild in another clone of the tree
# cheap: paths are taken relative to the tree, so clones share the cache.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTMX_SANITIZE="$sanitize" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}"
cd "$build"
ctest --output-on-failure --timeout 600 -j "$jobs" "${ctest_args[@]}"
