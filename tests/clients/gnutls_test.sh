#!/usr/bin/env bash
# gnutls_test.sh KVTOKEN MODULE: GnuTLS with the module. p11tool
# --test-sign signs with both token keys and checks the signatures against
# the public keys; gnutls-serv serves TLS with each token key and
# gnutls-cli completes the handshake, trusting the key's certificate.
set -euo pipefail
source "$(dirname "$0")/client_token.sh"
start_client_token "$1" "$2"
export KVP11_EC_POINT=der GNUTLS_PIN=$PIN

for key in rsakey eckey; do
  check "$key: p11tool --test-sign" \
    p11tool --provider "$module" --login --test-sign "pkcs11:token=Clients;object=$key"
  port=$(free_port)
  gnutls-serv --provider "$module" --port "$port" --x509certfile "$dir/$key.crt" \
    --x509keyfile "pkcs11:token=Clients;object=$key;type=private?pin-value=$PIN" >"$dir/serv-$key.log" 2>&1 &
  started $!
  wait_port "$port"
  handshake() {
    local out
    out=$(gnutls-cli --x509cafile "$dir/$key.crt" --verify-hostname "$key" --port "$port" 127.0.0.1 </dev/null 2>&1)
    grep -q "Handshake was completed" <<<"$out" && grep -q "The certificate is trusted" <<<"$out" || {
      echo "$out"
      cat "$dir/serv-$key.log"
      return 1
    }
  }
  check "$key: gnutls-serv with the token key, gnutls-cli handshake" handshake
done
finish
