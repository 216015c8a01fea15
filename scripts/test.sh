#!/usr/bin/env bash
# The test command: a normal build and an ASan+UBSan build, warnings as
# errors, and the whole CTest suite in both.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  "$root/scripts/build.sh" "$dir" -DKV_WERROR=ON "$@"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

run_suite "$root/build/test" 
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$root/build/sanitize" -DKV_SANITIZE=ON
