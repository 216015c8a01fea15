#!/usr/bin/env bash
# nss_test.sh KVTOKEN MODULE: NSS with the module. modutil adds it to a
# fresh database, certutil lists the token's certificates and keys, and
# certutil -R makes a certificate request signed by each token key, which
# openssl req -verify checks.
set -euo pipefail
source "$(dirname "$0")/client_token.sh"
start_client_token "$1" "$2"

db=sql:$dir/nssdb
mkdir "$dir/nssdb"
certutil -N -d "$db" --empty-password
echo "$PIN" >"$dir/pin"
head -c 64 /dev/urandom >"$dir/noise"
check "modutil -add" modutil -dbdir "$db" -add kvp11 -libfile "$module" -force
listing() {
  local out
  out=$(certutil -L -d "$db" -h Clients -f "$dir/pin")
  grep -q "Clients:rsakey" <<<"$out" && grep -q "Clients:eckey" <<<"$out" || { echo "$out"; return 1; }
}
check "certutil -L -h Clients" listing
keys() {
  local out
  out=$(certutil -K -d "$db" -h Clients -f "$dir/pin")
  grep -q "rsa .*01 .*rsakey" <<<"$out" && grep -q "ec .*02 .*eckey" <<<"$out" || { echo "$out"; return 1; }
}
check "certutil -K -h Clients" keys
for key in 01 02; do
  request() {
    certutil -R -d "$db" -h Clients -f "$dir/pin" -z "$dir/noise" -k "$key" -s "CN=request $key" -a -o "$dir/$key.csr" &&
      openssl req -in "$dir/$key.csr" -verify -noout
  }
  check "key $key: certutil -R, verified by openssl req -verify" request
done
finish
