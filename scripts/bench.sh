#!/usr/bin/env bash
# Builds and runs the benchmarks (release build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/bench" -DCMAKE_BUILD_TYPE=Release
"$root/build/bench/bench/digest_bench" "$@"
"$root/build/bench/bench/cipher_bench" "$@"
"$root/build/bench/bench/fs_load_bench"
"$root/build/bench/bench/p11_login_bench"
"$root/build/bench/bench/token_sign_bench"
