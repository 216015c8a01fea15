#!/usr/bin/env bash
# Main job: set up, build, personalise a fresh virtual token, start it, and
# run a real PKCS#11 client (pkcs11-tool) against the module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/run"
module="$root/build/run/libkvp11.so"
kvtoken="$root/build/run/sim/kvtoken"

state=$(mktemp -d /tmp/kvrun-XXXXXX)
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
"$kvtoken" personalise --state "$state/token.state" --serial "$serial" --label "Demo Token" \
    --user-pin 12345678 --so-pin 87654321
exec 9>/tmp/kvtoken.sock.lock
flock 9
"$kvtoken" serve --state "$state/token.state" --socket /tmp/kvtoken.sock &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -rf "$state"' EXIT
for _ in $(seq 200); do [ -S /tmp/kvtoken.sock ] && break; sleep 0.02; done

run() { echo; echo "\$ pkcs11-tool --module libkvp11.so $*"; pkcs11-tool --module "$module" "$@"; }
run --show-info
run --list-slots
run --list-token-slots
run --list-mechanisms
run --login --pin 12345678 --show-info
echo
echo "module exports:"
"$root/tests/check_exports.sh" "$module"
