#!/usr/bin/env bash
# fuzz.sh TARGET SECONDS [libFuzzer options...]: builds the fuzz target with
# clang (libFuzzer, ASan, UBSan) in build/fuzz and runs it for SECONDS over
# its seed corpus tests/fuzz/corpus/TARGET. New inputs go to
# build/fuzz/work/TARGET, crashing inputs to build/fuzz/crashes/TARGET; the
# repository's corpus is only read.
# fuzz.sh list: the targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/fuzz
corpora=$root/tests/fuzz/corpus

usage() {
  echo "usage: $0 TARGET SECONDS [libFuzzer options...] | $0 list" >&2
  exit 2
}

[ $# -ge 1 ] || usage
if [ "$1" = list ]; then
  ls "$corpora"
  exit 0
fi
[ $# -ge 2 ] || usage
target=$1 seconds=$2
shift 2
[ -d "$corpora/$target" ] || { echo "fuzz: no target $target (see $0 list)" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+$ ]] || usage

"$root/scripts/setup.sh" clang libclang-rt-14-dev

# One build at a time when several runs start together.
mkdir -p "$dir"
(
  flock 9
  if [ ! -f "$dir/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON
  fi
  cmake --build "$dir" --target "${target}_fuzz"
) 9>"$dir/.build.lock"

mkdir -p "$dir/work/$target" "$dir/crashes/$target"
exec "$dir/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=25 -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$dir/crashes/$target/" "$@" \
  "$dir/work/$target" "$corpora/$target"
