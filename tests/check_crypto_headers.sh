#!/usr/bin/env bash
# Fails when a library source outside the crypto backends
# (mech/soft/*_backend.h and .cpp) includes an OpenSSL or mbed TLS header.
set -euo pipefail
root=$1
cd "$root"
dirs=(support pkcs11 device token storage object mech jni)
bad=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](openssl|mbedtls)/' \
        --include='*.h' --include='*.hpp' --include='*.c' --include='*.cc' --include='*.cpp' "${dirs[@]}" |
      grep -vE '^mech/soft/[A-Za-z0-9_]+_backend\.(h|cpp):' || true)
if [ -n "$bad" ]; then
  echo "crypto library headers outside mech/soft/*_backend.{h,cpp}:"; echo "$bad"; exit 1
fi
echo "crypto headers ok: only the backends include them"
