#!/usr/bin/env bash
# pkcs11_tool_test.sh KVTOKEN MODULE: a real PKCS#11 client against the
# module and a fresh virtual token on a private socket, which the module
# finds through $KVP11_SOCKET.
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
kvtoken=$1
module=$2
dir=$(mktemp -d /tmp/kvtool-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
"$kvtoken" personalise --state "$dir/state" --serial "$serial" --label "Tool Test" >/dev/null
export KVP11_SOCKET=$dir/token.sock
serve_token "$kvtoken" "$dir/state" "$KVP11_SOCKET"

failures=0
check() {  # check NAME PATTERN COMMAND...
  local name=$1 pattern=$2; shift 2
  local out
  out=$("$@" 2>&1) || true
  if grep -q -- "$pattern" <<<"$out"; then
    echo "ok: $name"
  else
    echo "FAILED: $name"; echo "$out"; failures=$((failures + 1))
  fi
}
check "info" "Korvanite PKCS#11 Library" pkcs11-tool --module "$module" -I
check "slots" "token label        : Tool Test" pkcs11-tool --module "$module" -L
check "token" "serial num         : $serial" pkcs11-tool --module "$module" -T
check "mechanisms" "RSA-PKCS-KEY-PAIR-GEN, keySize={512,2048}" pkcs11-tool --module "$module" -M
check "login" "Cryptoki version 2.20" pkcs11-tool --module "$module" --login --pin 12345678 -I
check "wrong pin" "CKR_PIN_INCORRECT" pkcs11-tool --module "$module" --login --pin 00000000 -I
echo "$((6 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
