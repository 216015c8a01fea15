/* The vendor function table handed out by E_GetAuxFunctionList.
 *
 * The table is 202 bytes: the version (major 1, minor 0) in bytes 0 and 1,
 * then 25 entries of 8 bytes each at offsets 2, 10, ..., 194, each holding a
 * function address (native byte order) or 0. Entries sit at unaligned
 * offsets: read them with KV_AuxEntry, never through a cast. */
#ifndef KV_AUX_H
#define KV_AUX_H

#include <string.h>

#include "pkcs11.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KV_AUX_ENTRY_COUNT 25

typedef struct KV_AUX_FUNCTION_LIST {
    CK_VERSION version;
    unsigned char entries[KV_AUX_ENTRY_COUNT][8];
} KV_AUX_FUNCTION_LIST;

typedef KV_AUX_FUNCTION_LIST* KV_AUX_FUNCTION_LIST_PTR;
typedef KV_AUX_FUNCTION_LIST_PTR* KV_AUX_FUNCTION_LIST_PTR_PTR;

/* Entry numbers of the working functions. */
#define KV_AUX_SET_TOKEN_LABEL 1
#define KV_AUX_GET_PIN_INFO 2
#define KV_AUX_CLEAR_LOCAL_CACHE 17
#define KV_AUX_IS_OLD_KEY 18

/* Written by E_GetPinInfo: retry counters and the token's CK_TOKEN_INFO flags. */
typedef struct KV_PIN_INFO {
    CK_BYTE soMaxTries;
    CK_BYTE soTriesLeft;
    CK_BYTE userMaxTries;
    CK_BYTE userTriesLeft;
    CK_BYTE tokenFlags[8]; /* CK_FLAGS in native byte order */
} KV_PIN_INFO;

/* The placeholders take no arguments into account. */
typedef CK_RV (*KV_AUX_PLACEHOLDER)(void);
/* Sets the token label: pLabel is a blank-padded 32-byte field or a shorter
 * NUL-terminated text; the three middle arguments are not used. */
typedef CK_RV (*KV_E_SET_TOKEN_LABEL)(unsigned int slotID, CK_VOID_PTR, CK_VOID_PTR, CK_VOID_PTR,
                                      CK_UTF8CHAR_PTR pLabel);
typedef CK_RV (*KV_E_GET_PIN_INFO)(unsigned int slotID, KV_PIN_INFO* pInfo);
/* Drops the library's local copy of the token's files. */
typedef CK_RV (*KV_E_CLEAR_LOCAL_CACHE)(unsigned int slotID);
/* *pResult = CK_TRUE when the token carries an old key generation. */
typedef CK_RV (*KV_E_IS_OLD_KEY)(unsigned int slotID, CK_BBOOL* pResult);

CK_RV E_GetAuxFunctionList(KV_AUX_FUNCTION_LIST_PTR_PTR ppTable);

/* The function of entry k (0 to 24), or NULL. */
static inline void (*KV_AuxEntry(const KV_AUX_FUNCTION_LIST* table, unsigned k))(void) {
    void (*fn)(void) = NULL;
    if (table && k < KV_AUX_ENTRY_COUNT) memcpy(&fn, table->entries[k], sizeof fn);
    return fn;
}

#ifdef __cplusplus
}
#endif

#endif
