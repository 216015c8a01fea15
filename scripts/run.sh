#!/usr/bin/env bash
# Main job: set up, build, personalise a fresh virtual token, start it, and
# run a real PKCS#11 client (pkcs11-tool) against the module.
#
# The token is served at the default socket, /tmp/kvtoken.sock, under its
# lock. When another run holds the lock or a token already answers there, the
# token goes to a private socket instead (KVP11_SOCKET tells the module), and
# the other token is left alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/token_daemon.sh"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/run"
module="$root/build/run/libkvp11.so"
kvtoken="$root/build/run/sim/kvtoken"

state=$(mktemp -d /tmp/kvrun-XXXXXX)
trap 'stop_token; rm -rf "$state"' EXIT
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
"$kvtoken" personalise --state "$state/token.state" --serial "$serial" --label "Demo Token" \
    --user-pin 12345678 --so-pin 87654321
socket=/tmp/kvtoken.sock
if ! { exec 9>>"$socket.lock"; } 2>/dev/null || ! flock -n 9 || token_answers "$socket"; then
  echo "$socket is in use: this token is served on a private socket"
  socket=$state/token.sock
  export KVP11_SOCKET=$socket
fi
serve_token "$kvtoken" "$state/token.state" "$socket"

run() { echo; echo "\$ pkcs11-tool --module libkvp11.so $*"; pkcs11-tool --module "$module" "$@"; }
run --show-info
run --list-slots
run --list-token-slots
run --list-mechanisms
run --login --pin 12345678 --show-info
echo
echo "module exports:"
"$root/tests/check_exports.sh" "$module"
