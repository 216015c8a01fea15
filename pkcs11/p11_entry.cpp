// The exported functions: each calls its internal twin in the common frame
// (exception trap, code mapping, entry/exit records).
#include "kv_export.h"
#include "p11_internal.h"
#include "p11_trap.h"

CK_RV ToApplicationRv(CK_RV rv) {
    switch (rv) {
        case RV_BUFFER_TOO_SMALL: return CKR_BUFFER_TOO_SMALL;
        case RV_NOT_SUPPORTED: return CKR_FUNCTION_NOT_SUPPORTED;
        case RV_ALREADY_EXISTS:
        case RV_NO_CONTAINER:
        case RV_NOT_FOUND: return CKR_GENERAL_ERROR;
        default: break;
    }
    // Smart-card and other vendor codes of the lower layers.
    if (rv >= CKR_VENDOR_DEFINED || rv > 0xFFFFFFFFUL) return CKR_DEVICE_ERROR;
    return rv;
}

extern "C" {
#define KV_P11_FUNC(name, params, args) \
    KV_EXPORT CK_RV name params { return TrapCall(#name, [&] { return _##name args; }); }
#include "pkcs11f.h"
#undef KV_P11_FUNC
}
