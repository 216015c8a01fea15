/* Cryptoki v2.20 function prototypes and the function list. */
#ifndef KV_PKCS11_H
#define KV_PKCS11_H

#include "pkcs11t.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CK_FUNCTION_LIST CK_FUNCTION_LIST;
typedef CK_FUNCTION_LIST CK_PTR CK_FUNCTION_LIST_PTR;
typedef CK_FUNCTION_LIST_PTR CK_PTR CK_FUNCTION_LIST_PTR_PTR;

#define KV_P11_FUNC(name, params, args) CK_RV name params;
#include "pkcs11f.h"
#undef KV_P11_FUNC

#define KV_P11_FUNC(name, params, args) typedef CK_RV(CK_PTR CK_##name) params;
#include "pkcs11f.h"
#undef KV_P11_FUNC

struct CK_FUNCTION_LIST {
    CK_VERSION version;
#define KV_P11_FUNC(name, params, args) CK_##name name;
#include "pkcs11f.h"
#undef KV_P11_FUNC
};

#ifdef __cplusplus
}
#endif

#endif
