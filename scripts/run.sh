#!/usr/bin/env bash
# Main job: set up, build, personalise a fresh virtual token, start it, and
# show the module at work with real clients (pkcs11-tool and openssl): token
# information, login, RSA-2048 and EC P-256 key pairs generated on the token,
# signatures verified by openssl against the public keys read back, an AES
# key on the token encrypting and decrypting, and what it all cost in APDUs.
# Ends with "all checks passed", or exits non-zero naming the failed step.
#
# The token is served on a socket in the run's own temporary folder, and
# KVP11_SOCKET names it to the module (whatever it named before): the module
# has no default socket, and no other token is touched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/token_daemon.sh"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/run" >/dev/null
module="$root/build/run/libkvp11.so"
kvtoken="$root/build/run/sim/kvtoken"

work=$(mktemp -d /tmp/kvrun-XXXXXX)
trap 'stop_token; rm -rf "$work"' EXIT
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
pin=12345678
"$kvtoken" personalise --state "$work/token.state" --serial "$serial" --label "Demo Token" \
    --user-pin "$pin" --so-pin 87654321 >/dev/null
socket=$work/token.sock
export KVP11_SOCKET=$socket
serve_token "$kvtoken" "$work/token.state" "$socket"

step=0
# step NAME COMMAND...: runs one step and shows the start of its output;
# when it fails, shows all of it and stops the run.
step() {
  local name=$1; shift
  step=$((step + 1))
  echo "[$step] $name"
  local out
  if ! out=$("$@" 2>&1); then
    echo "$out" | sed 's/^/    /'
    echo "FAILED at step $step: $name"
    exit 1
  fi
  # A short report: the first lines of each step's output.
  [ -z "$out" ] || echo "$out" | head -n 6 | sed 's/^/    /'
}
p11() { pkcs11-tool --module "$module" "$@"; }
p11user() { p11 --login --pin "$pin" "$@"; }
# expect PATTERN COMMAND...: the command's output must hold the pattern.
expect() {
  local pattern=$1; shift
  local out
  out=$("$@" 2>&1) || { echo "$out"; return 1; }
  echo "$out"
  grep -q -- "$pattern" <<<"$out" || { echo "(expected: $pattern)"; return 1; }
}

head -c 5000 /dev/urandom >"$work/document"
openssl dgst -sha256 -binary "$work/document" >"$work/document.sha256"
token_control "$socket" stats-reset >/dev/null

step "library information" expect "Korvanite" p11 --show-info
step "token in its slot" expect "Demo Token" p11 --list-token-slots
step "user login" expect "Cryptoki version" p11user --show-info
step "generate an RSA-2048 key pair on the token" \
  expect "Private Key Object; RSA" p11user --keypairgen --key-type rsa:2048 --id 01 --label demo-rsa --usage-sign
step "generate an EC P-256 key pair on the token" \
  expect "Private Key Object; EC" p11user --keypairgen --key-type EC:prime256v1 --id 02 --label demo-ec --usage-sign
step "list the objects" expect "demo-ec" p11user --list-objects
step "sign the document with the RSA key (SHA256-RSA-PKCS)" \
  p11user --sign --id 01 -m SHA256-RSA-PKCS -i "$work/document" -o "$work/rsa.sig"
step "sign its SHA-256 hash with the EC key (ECDSA)" \
  p11user --sign --id 02 -m ECDSA --signature-format openssl -i "$work/document.sha256" -o "$work/ec.sig"
step "read the RSA public key back" p11 --read-object --type pubkey --id 01 -o "$work/rsa.der"
step "read the EC public key back" p11 --read-object --type pubkey --id 02 -o "$work/ec.der"
step "openssl verifies the RSA signature" \
  expect "Verified OK" openssl dgst -sha256 -keyform DER -verify "$work/rsa.der" -signature "$work/rsa.sig" "$work/document"
step "openssl verifies the EC signature" \
  expect "Signature Verified Successfully" openssl pkeyutl -verify -pubin -keyform DER -inkey "$work/ec.der" \
    -in "$work/document.sha256" -sigfile "$work/ec.sig"
step "generate an AES-256 key on the token" \
  expect "Secret Key Object" p11user --keygen --key-type AES:32 --id 03 --label demo-aes --usage-decrypt
iv=000102030405060708090A0B0C0D0E0F
step "encrypt the document with it (AES-CBC-PAD)" \
  p11user --encrypt --id 03 -m AES-CBC-PAD --iv "$iv" -i "$work/document" -o "$work/document.enc"
step "the ciphertext is not the document" bash -c "! cmp -s '$work/document' '$work/document.enc'"
step "decrypt it again" \
  p11user --decrypt --id 03 -m AES-CBC-PAD --iv "$iv" -i "$work/document.enc" -o "$work/document.dec"
step "the decrypted document is the original" cmp "$work/document" "$work/document.dec"
step "APDUs of the whole run (virtual token counters)" token_control "$socket" stats
echo
echo "all checks passed"
