#!/usr/bin/env bash
# sunpkcs11_test.sh KVTOKEN MODULE JAVA CLASSES: the JDK's PKCS#11 provider on
# the module. A fresh virtual token on a private socket (found by the module
# through $KVP11_SOCKET) gets an RSA-2048 and an EC P-256 key pair generated
# on it with pkcs11-tool, each with a certificate of its public key; then
# kv.SunPkcs11Test lists and signs through the provider (also with a software
# RSA key the provider makes a session object of), and the token must
# hold the same objects afterwards.
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
kvtoken=$1 module=$2 java=$3 classes=$4
pin=12345678
dir=$(mktemp -d /tmp/kvsun-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
"$kvtoken" personalise --state "$dir/state" >/dev/null
export KVP11_SOCKET=$dir/token.sock
serve_token "$kvtoken" "$dir/state" "$KVP11_SOCKET"

p11() { pkcs11-tool --module "$module" --login --pin "$pin" "$@"; }
objects() { p11 --list-objects 2>/dev/null | grep -c 'Object;' || true; }

# The certificates only carry the public keys: a throwaway key signs them.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/issuer.pem" 2>/dev/null
# An RSA public key is read back as a whole; of an EC P-256 key the point
# that the generation printed goes into a key structure here (pkcs11-tool's
# own EC key export reads freed memory).
p256_prefix=3059301306072a8648ce3d020106082a8648ce3d030107034200
make_pair() {  # make_pair ID LABEL KEY-TYPE
  local out point
  out=$(p11 --keypairgen --key-type "$3" --id "$1" --label "$2" --usage-sign 2>&1)
  if [[ $3 == EC:* ]]; then
    point=$(sed -n 's/^ *EC_POINT: *//p' <<<"$out")
    [ ${#point} -eq 134 ] && point=${point:4}  # an OCTET STRING around the 65-byte point
    perl -e 'print pack("H*", $ARGV[0])' "$p256_prefix$point" >"$dir/$1.der"
  else
    pkcs11-tool --module "$module" --read-object --type pubkey --id "$1" -o "$dir/$1.der" >/dev/null 2>&1
  fi
  openssl pkey -pubin -inform DER -in "$dir/$1.der" -out "$dir/$1.pem"
  openssl x509 -new -subj "/CN=$2" -key "$dir/issuer.pem" -force_pubkey "$dir/$1.pem" -days 30 \
    -outform DER -out "$dir/$1.crt"
  p11 --write-object "$dir/$1.crt" --type cert --id "$1" --label "$2" >/dev/null
}
make_pair 01 rsa-key rsa:2048
make_pair 02 ec-key EC:prime256v1
before=$(objects)
[ "$before" -eq 6 ] || { echo "FAILED: the token holds $before objects, not 6"; exit 1; }

"$java" -cp "$classes" kv.SunPkcs11Test "$module" "$pin" rsa-key ec-key

after=$(objects)
[ "$after" -eq "$before" ] || { echo "FAILED: the provider changed the token: $before objects, then $after"; exit 1; }
echo "the token holds its $after objects"
