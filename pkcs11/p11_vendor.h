// Internal twins of the vendor functions of the auxiliary table.
#ifndef KV_PKCS11_P11_VENDOR_H
#define KV_PKCS11_P11_VENDOR_H

#include "kv_aux.h"

CK_RV _E_GetAuxFunctionList(KV_AUX_FUNCTION_LIST_PTR_PTR ppTable);
CK_RV _E_SetTokenLabel(unsigned int slotID, CK_UTF8CHAR_PTR pLabel);
CK_RV _E_GetPinInfo(unsigned int slotID, KV_PIN_INFO* pInfo);
CK_RV _E_ClearLocalCache(unsigned int slotID);
CK_RV _E_IsOldKey(unsigned int slotID, CK_BBOOL* pResult);

#endif
