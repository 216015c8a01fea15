#!/usr/bin/env bash
# Fails when the module exports a symbol outside its public surface.
set -euo pipefail
lib=$1
registry='putModuleEntry|getModuleEntry|removeModuleEntry|removeAllModuleEntries|isModulePresent|equals|createLockObject|destroyLockObject'
exceptions='ckAssertReturnValueOK|throwOutOfMemoryError|throwDisconnectedRuntimeException|throwPKCS11RuntimeException|throwIOException|throwIOExceptionUnicodeMessage|throwFileNotFoundException'
allowed="^(C_[A-Za-z]+|E_GetAuxFunctionList|JNI_OnLoad|JNI_OnUnload|jm_AttachCurrentThread|jm_DetachCurrentThread|Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_[A-Za-z0-9_]+|$registry|$exceptions)$"
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v -E "$allowed" | grep -v -E '^(KV_MODULE|_init|_fini)?$' || true)
if [ -n "$bad" ]; then
  echo "unexpected exports:"; echo "$bad"; exit 1
fi
# The wrapper's natives and its registry and exception routines are all there.
names=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//')
for name in ${registry//|/ } ${exceptions//|/ }; do
  grep -qx "$name" <<<"$names" || { echo "missing export: $name"; exit 1; }
done
natives=$(grep -c '^Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_' <<<"$names" || true)
if [ "$natives" -ne 71 ]; then
  echo "expected 71 wrapper natives, found $natives"; exit 1
fi
echo "exports ok: $(nm -D --defined-only "$lib" | wc -l) symbols"
