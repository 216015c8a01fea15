#!/usr/bin/env bash
# pkcs11_tool_crypto_test.sh KVTOKEN MODULE: pkcs11-tool signs, encrypts,
# decrypts and hashes through the module on a fresh virtual token; the
# openssl command checks the signatures against the public keys pkcs11-tool
# reads back, and the digests.
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
kvtoken=$1
module=$2
dir=$(mktemp -d /tmp/kvtoolcrypto-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
"$kvtoken" personalise --state "$dir/state" --user-pin 12345678 >/dev/null
export KVP11_SOCKET=$dir/token.sock
serve_token "$kvtoken" "$dir/state" "$KVP11_SOCKET"

tool() { pkcs11-tool --module "$module" --login --pin 12345678 "$@"; }
failures=0
checks=0
check() {  # check NAME COMMAND...: the command succeeds
  local name=$1; shift
  local out
  checks=$((checks + 1))
  if out=$("$@" 2>&1); then
    echo "ok: $name"
  else
    echo "FAILED: $name"; echo "$out"; failures=$((failures + 1))
  fi
}
# public_pem ID NAME: the public key pkcs11-tool reads back, as PEM for openssl.
# pkcs11-tool's own EC key export reads a curve name it has already freed;
# with the sanitizer runtime preloaded (a sanitized module) that report does
# not stop the tool.
public_pem() {
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:halt_on_error=0}" \
    tool --read-object --type pubkey --id "$1" -o "$dir/$2.der" &&
    openssl pkey -pubin -inform DER -in "$dir/$2.der" -out "$dir/$2.pem"
}

head -c 1000 /dev/urandom >"$dir/data"
openssl dgst -sha256 -binary "$dir/data" >"$dir/data.sha256"

check "rsa key pair" tool --keypairgen --key-type rsa:2048 --id 01 --label rsa
check "rsa public key" public_pem 01 rsa
check "rsa sign" tool --sign -m SHA256-RSA-PKCS --id 01 -i "$dir/data" -o "$dir/rsa.sig"
check "rsa signature" openssl dgst -sha256 -verify "$dir/rsa.pem" -signature "$dir/rsa.sig" "$dir/data"

check "ec key pair" tool --keypairgen --key-type EC:prime256v1 --id 02 --label ec
check "ec public key" public_pem 02 ec
check "ecdsa sign" tool --sign -m ECDSA --signature-format openssl --id 02 -i "$dir/data.sha256" -o "$dir/ec.sig"
check "ecdsa signature" openssl pkeyutl -verify -pubin -inkey "$dir/ec.pem" -in "$dir/data.sha256" \
  -sigfile "$dir/ec.sig"

iv=000102030405060708090A0B0C0D0E0F
check "aes key" tool --keygen --key-type AES:16 --id 03 --label aes
check "aes encrypt" tool --encrypt -m AES-CBC-PAD --iv "$iv" --id 03 -i "$dir/data" -o "$dir/aes.enc"
check "aes decrypt" tool --decrypt -m AES-CBC-PAD --iv "$iv" --id 03 -i "$dir/aes.enc" -o "$dir/aes.dec"
check "aes round trip" cmp "$dir/data" "$dir/aes.dec"
# A key of known value, written by pkcs11-tool, encrypts as openssl does.
key=00112233445566778899AABBCCDDEEFF
perl -e 'print pack("H*", $ARGV[0])' "$key" >"$dir/aes.key"
check "aes key written" tool --write-object "$dir/aes.key" --type secrkey --key-type AES:16 --id 04 --label known \
  --usage-decrypt
check "aes encrypt known key" tool --encrypt -m AES-CBC-PAD --iv "$iv" --id 04 -i "$dir/data" -o "$dir/known.enc"
check "aes ciphertext" cmp "$dir/known.enc" <(openssl enc -aes-128-cbc -K "$key" -iv "$iv" -in "$dir/data")

check "sha256 hash" tool --hash -m SHA256 -i "$dir/data" -o "$dir/tool.sha256"
check "sha256 digest" cmp "$dir/data.sha256" "$dir/tool.sha256"
openssl dgst -md5 -binary "$dir/data" >"$dir/data.md5"
check "md5 hash without login" pkcs11-tool --module "$module" --hash -m MD5 -i "$dir/data" -o "$dir/tool.md5"
check "md5 digest" cmp "$dir/data.md5" "$dir/tool.md5"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
