#!/usr/bin/env bash
# java_test.sh KVTOKEN MODULE: Java's SunPKCS11 with "slot = 1" in its
# configuration (it asks the slot before listing slots): keytool lists both
# token keys, jarsigner signs a jar with each and jarsigner -verify checks
# the signatures.
set -euo pipefail
source "$(dirname "$0")/client_token.sh"
start_client_token "$1" "$2"

printf 'name = KV\nlibrary = %s\nslot = 1\n' "$module" >"$dir/pkcs11.cfg"
store=(-keystore NONE -storetype PKCS11 -addprovider SunPKCS11 -providerArg "$dir/pkcs11.cfg" -storepass "$PIN")
listing() {
  local out
  out=$(keytool -list "${store[@]}")
  grep -q "^rsakey, PrivateKeyEntry" <<<"$out" && grep -q "^eckey, PrivateKeyEntry" <<<"$out" || { echo "$out"; return 1; }
}
check "keytool -list with slot = 1" listing
mkdir "$dir/content"
echo "signed on the token" >"$dir/content/a.txt"
(cd "$dir/content" && jar cf "$dir/plain.jar" a.txt)
for key in rsakey eckey; do
  cp "$dir/plain.jar" "$dir/$key.jar"
  signing() {
    jarsigner "${store[@]}" "$dir/$key.jar" "$key" >/dev/null &&
      jarsigner -verify -verbose "$dir/$key.jar" | grep -q "jar verified" &&
      jar tf "$dir/$key.jar" | grep -q "^META-INF/.*\.\(RSA\|EC\)$"
  }
  check "$key: jarsigner, jarsigner -verify" signing
done
finish
