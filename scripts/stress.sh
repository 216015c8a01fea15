#!/usr/bin/env bash
# stress.sh MINUTES PROCESSES: the multi-process stress test (label "stress",
# tests/stress/) for longer than the two minutes scripts/test.sh gives it:
# PROCESSES application processes at a time on one virtual token while
# faults are injected and processes killed, then a fresh process checks the
# token against what each was told. Builds build/test first if needed
# (KV_STRESS_BUILD names another build folder), prints the figures and every
# violation, keeps the journals, and exits non-zero on any violation.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-}
processes=${2:-}
if ! [[ "$minutes" =~ ^[1-9][0-9]*$ && "$processes" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 MINUTES PROCESSES" >&2
  exit 2
fi
build=${KV_STRESS_BUILD:-$root/build/test}
if [ -f "$build/build.ninja" ]; then
  cmake --build "$build" --target stress_test stress_worker kvtoken
else
  "$root/scripts/build.sh" "$build" -DKV_WERROR=ON
fi
keep="$build/stress-journals/$(date +%Y%m%d-%H%M%S)"
echo "== stress: $minutes min, $processes processes; journals go to $keep"
status=0
KV_STRESS_SECONDS=$((minutes * 60)) KV_STRESS_PROCESSES=$processes KV_STRESS_KEEP=$keep \
  KVP11_SOCKET="$build/unserved/kvtoken.sock" "$build/tests/stress/stress_test" || status=$?
echo "== stress: journals in $keep"
exit $status
