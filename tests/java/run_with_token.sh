#!/usr/bin/env bash
# run_with_token.sh KVTOKEN -- COMMAND...: runs COMMAND with a fresh virtual
# token listening on $KVTOKEN_SOCKET, a private socket, then stops the token.
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
kvtoken=$1; shift; [ "$1" = "--" ] && shift
dir=$(mktemp -d /tmp/kvjava-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
export KVTOKEN_SOCKET=$dir/token.sock
"$kvtoken" personalise --state "$dir/token.state" --sm off >/dev/null
serve_token "$kvtoken" "$dir/token.state" "$KVTOKEN_SOCKET"
"$@"
