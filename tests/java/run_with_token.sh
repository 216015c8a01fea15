#!/usr/bin/env bash
# run_with_token.sh KVTOKEN -- COMMAND...: runs COMMAND with a fresh virtual
# token listening on $KVTOKEN_SOCKET, a private socket, then stops the token.
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
kvtoken=$1; shift; [ "$1" = "--" ] && shift
dir=$(mktemp -d /tmp/kvjava-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
export KVTOKEN_SOCKET=$dir/token.sock
# A serial of its own keeps the module's phone-side cache apart from other runs.
export KVTOKEN_SERIAL=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
"$kvtoken" personalise --state "$dir/token.state" --sm off --serial "$KVTOKEN_SERIAL" >/dev/null
serve_token "$kvtoken" "$dir/token.state" "$KVTOKEN_SOCKET"
"$@"
