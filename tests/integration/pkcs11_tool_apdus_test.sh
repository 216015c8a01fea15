#!/usr/bin/env bash
# pkcs11_tool_apdus_test.sh KVTOKEN MODULE: what listing the token's objects
# costs once the phone mirror is filled: `pkcs11-tool --login -O` sends at
# most 16 APDUs, as many for 40 objects as for 4 (the virtual token counts).
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
kvtoken=$1
module=$2
dir=$(mktemp -d /tmp/kvapdus-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
export HOME=$dir
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
"$kvtoken" personalise --state "$dir/state" --serial "$serial" >/dev/null
export KVP11_SOCKET=$dir/token.sock
serve_token "$kvtoken" "$dir/state" "$KVP11_SOCKET"
tool=(pkcs11-tool --module "$module" --login --pin 12345678)

warm_listing() {  # warm_listing OBJECTS: prints the APDUs of a warm listing
  "${tool[@]}" -O >/dev/null 2>&1  # fills the mirror
  token_control "$KVP11_SOCKET" stats-reset >/dev/null
  local listed
  listed=$("${tool[@]}" -O 2>/dev/null | grep -c "Object;" || true)
  if [ "$listed" != "$1" ]; then
    echo "FAILED: $listed objects listed, not $1" >&2
    return 1
  fi
  token_control "$KVP11_SOCKET" stats | sed -n 's/.* apdus=\([0-9]*\).*/\1/p'
}

pair() { "${tool[@]}" --keypairgen --key-type EC:prime256v1 --label "k$1" --id "$(printf '%02x' "$1")" >/dev/null 2>&1; }
for i in 1 2; do pair "$i"; done
few=$(warm_listing 4)
for i in $(seq 3 20); do pair "$i"; done
many=$(warm_listing 40)
echo "warm pkcs11-tool --login -O: $few APDUs with 4 objects, $many with 40"
if [ "$few" -le 16 ] && [ "$many" -le 16 ] && [ "$few" = "$many" ]; then
  echo "ok"
else
  echo "FAILED: at most 16 APDUs, the same for both"
  exit 1
fi
