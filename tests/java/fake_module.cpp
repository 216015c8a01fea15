// Stand-in PKCS#11 modules for the wrapper's connect: C_GetFunctionList
// fails, or (KV_FAKE_NO_LIST) succeeds without giving a function list.
#include "pkcs11.h"

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
#ifdef KV_FAKE_NO_LIST
    *ppFunctionList = nullptr;
    return CKR_OK;
#else
    (void)ppFunctionList;
    return CKR_GENERAL_ERROR;
#endif
}
