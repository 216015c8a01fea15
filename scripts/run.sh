#!/usr/bin/env bash
# Main job: set up, build the module and show its exported surface.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/run"
echo "module: $root/build/run/libkvp11.so"
"$root/tests/check_exports.sh" "$root/build/run/libkvp11.so"
