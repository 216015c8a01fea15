#!/usr/bin/env bash
# openssl_tls_test.sh KVTOKEN MODULE: a TLS 1.3 server whose key stays on
# the token (openssl s_server -engine pkcs11 -keyform engine), RSA and
# ECDSA; openssl s_client completes the handshake and checks the server's
# signature against the certificate.
set -euo pipefail
source "$(dirname "$0")/client_token.sh"
start_client_token "$1" "$2"

for key in rsakey:RSA-PSS eckey:ECDSA; do
  signature=${key#*:}
  key=${key%:*}
  port=$(free_port)
  openssl s_server -engine pkcs11 -keyform engine -key "pkcs11:object=$key;type=private" \
    -cert "$dir/$key.crt" -accept "127.0.0.1:$port" -tls1_3 -www >"$dir/server-$key.log" 2>&1 &
  started $!
  wait_port "$port"
  handshake() {
    local out
    out=$(printf 'GET / HTTP/1.0\r\n\r\n' |
      openssl s_client -connect "127.0.0.1:$port" -tls1_3 -CAfile "$dir/$key.crt" -verify_return_error -ign_eof 2>&1)
    grep -q "Protocol  : TLSv1.3" <<<"$out" && grep -q "Verify return code: 0 (ok)" <<<"$out" &&
      grep -q "Peer signature type: $signature" <<<"$out" || {
      echo "$out"
      cat "$dir/server-$key.log"
      return 1
    }
  }
  check "$key: TLS 1.3 with s_server's key on the token ($signature)" handshake
done
finish
