#!/usr/bin/env bash
# run_with_token.sh KVTOKEN -- COMMAND...: runs COMMAND with a fresh virtual
# token listening on $KVTOKEN_SOCKET, then stops the token.
set -euo pipefail
kvtoken=$1; shift; [ "$1" = "--" ] && shift
dir=$(mktemp -d /tmp/kvjava-XXXXXX)
export KVTOKEN_SOCKET=$dir/token.sock
"$kvtoken" personalise --state "$dir/token.state" --sm off >/dev/null
"$kvtoken" serve --state "$dir/token.state" --socket "$KVTOKEN_SOCKET" &
pid=$!
cleanup() { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT
for _ in $(seq 200); do [ -S "$KVTOKEN_SOCKET" ] && break; sleep 0.02; done
status=0
"$@" || status=$?
exit $status
