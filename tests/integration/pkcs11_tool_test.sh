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
succeeds() {  # succeeds NAME COMMAND...
  local name=$1; shift
  local out
  if out=$("$@" 2>&1); then
    echo "ok: $name"
  else
    echo "FAILED: $name"; echo "$out"; failures=$((failures + 1))
  fi
}
absent() {  # absent NAME PATTERN COMMAND...
  local name=$1 pattern=$2; shift 2
  local out
  out=$("$@" 2>&1) || true
  if grep -q -- "$pattern" <<<"$out"; then
    echo "FAILED: $name"; echo "$out"; failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}
same() {  # same NAME FILE COMMAND...: the command, given -o, writes FILE's bytes
  local name=$1 file=$2; shift 2
  rm -f "$dir/read"
  if "$@" -o "$dir/read" >/dev/null 2>&1 && cmp -s "$dir/read" "$file"; then
    echo "ok: $name"
  else
    echo "FAILED: $name"; failures=$((failures + 1))
  fi
}

# Objects: written, listed, read back byte for byte, deleted.
openssl req -x509 -newkey rsa:1024 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" -subj /CN=tool -days 1 2>/dev/null
openssl x509 -in "$dir/cert.pem" -outform DER -out "$dir/cert.der"
openssl pkey -in "$dir/key.pem" -pubout -out "$dir/pub.pem"
openssl pkey -in "$dir/key.pem" -pubout -outform DER -out "$dir/pub.der"
openssl pkey -in "$dir/key.pem" -outform DER -out "$dir/key.der"
printf 'tool data object' >"$dir/data.bin"
user=(pkcs11-tool --module "$module" --login --pin 12345678)
succeeds "write cert" "${user[@]}" --write-object "$dir/cert.der" --type cert --label tcert --id 01
succeeds "write data" "${user[@]}" --write-object "$dir/data.bin" --type data --label tdata
succeeds "write pubkey" "${user[@]}" --write-object "$dir/pub.der" --type pubkey --label tpub --id 01
succeeds "write privkey" "${user[@]}" --write-object "$dir/key.der" --type privkey --label tkey --id 01
listing=$("${user[@]}" -O 2>&1) || true
check "list cert" "label:      tcert" echo "$listing"
check "list data" "label:          'tdata'" echo "$listing"
check "list pubkey" "Public Key Object; RSA 1024 bits" echo "$listing"
# A key written from outside was never known to be always sensitive, nor
# never extractable: only its sensitivity shows.
check "list privkey" "Access:     sensitive$" echo "$listing"
same "read cert" "$dir/cert.der" "${user[@]}" --read-object --type cert --label tcert
same "read data" "$dir/data.bin" "${user[@]}" --read-object --type data --label tdata
same "read pubkey" "$dir/pub.der" "${user[@]}" --read-object --type pubkey --label tpub
# A private key is never read out: its signature shows the key went in whole.
printf 'signed by the written key' >"$dir/message"
succeeds "sign with privkey" "${user[@]}" --sign --label tkey -m SHA256-RSA-PKCS -i "$dir/message" -o "$dir/signature"
succeeds "signature verifies" openssl dgst -sha256 -verify "$dir/pub.pem" -signature "$dir/signature" "$dir/message"
succeeds "delete cert" "${user[@]}" --delete-object --type cert --label tcert
succeeds "delete data" "${user[@]}" --delete-object --type data --label tdata
succeeds "delete pubkey" "${user[@]}" --delete-object --type pubkey --label tpub
succeeds "delete privkey" "${user[@]}" --delete-object --type privkey --label tkey
absent "nothing left" "[Oo]bject" "${user[@]}" -O
echo "$((24 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
