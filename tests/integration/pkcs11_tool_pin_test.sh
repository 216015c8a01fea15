#!/usr/bin/env bash
# pkcs11_tool_pin_test.sh KVTOKEN MODULE: pkcs11-tool initialises a fresh
# virtual token, has the SO set the user PIN and the user change it, each
# step checked by what the next login accepts.
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
kvtoken=$1
module=$2
dir=$(mktemp -d /tmp/kvtoolpin-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
"$kvtoken" personalise --state "$dir/state" --serial "$serial" --so-pin 87654321 --user-pin 12345678 >/dev/null
export KVP11_SOCKET=$dir/token.sock
serve_token "$kvtoken" "$dir/state" "$KVP11_SOCKET"

tool() { pkcs11-tool --module "$module" "$@"; }
failures=0
checks=0
check() {  # check NAME PATTERN COMMAND...: the output holds PATTERN (an empty one: the command succeeds)
  local name=$1 pattern=$2; shift 2
  local out status=0
  checks=$((checks + 1))
  out=$("$@" 2>&1) || status=$?
  if { [ -z "$pattern" ] && [ "$status" -eq 0 ]; } || { [ -n "$pattern" ] && grep -q -- "$pattern" <<<"$out"; }; then
    echo "ok: $name"
  else
    echo "FAILED: $name"; echo "$out"; failures=$((failures + 1))
  fi
}
check "wrong so pin" "CKR_PIN_INCORRECT" tool --init-token --label "Reset" --so-pin 00000000
check "init token" "Token successfully initialized" tool --init-token --label "Reset by tool" --so-pin 87654321
check "new label" "token label        : Reset by tool" tool -L
check "pin to be changed" "user PIN to be changed" tool -T
check "reset pin" "" tool --login --pin 12345678 -O
check "init pin" "User PIN successfully initialized" \
  tool --login --login-type so --so-pin 87654321 --init-pin --new-pin 11112222
check "old pin refused" "CKR_PIN_INCORRECT" tool --login --pin 12345678 -O
check "change pin" "PIN successfully changed" tool --change-pin --pin 11112222 --new-pin 33334444
check "new pin" "" tool --login --pin 33334444 -O
check "pin changed" "" bash -c "! pkcs11-tool --module '$module' -T | grep -q 'PIN to be changed'"
check "short pin" "CKR_PIN_LEN_RANGE" tool --change-pin --pin 33334444 --new-pin 123
echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
