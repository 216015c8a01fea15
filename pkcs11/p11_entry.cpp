// The exported functions: each calls its internal twin in the common frame
// (exception trap, code mapping, entry/exit records).
//
// The exports are made below from the list in pkcs11f.h. Where each twin is:
//   export                 -> twin                    file (pkcs11/)
//   C_Initialize           -> _C_Initialize           p11_general.cpp
//   C_Finalize             -> _C_Finalize             p11_general.cpp
//   C_GetInfo              -> _C_GetInfo              p11_general.cpp
//   C_GetFunctionList      -> _C_GetFunctionList      p11_general.cpp
//   C_GetSlotList          -> _C_GetSlotList          p11_slot_calls.cpp
//   C_GetSlotInfo          -> _C_GetSlotInfo          p11_slot_calls.cpp
//   C_GetTokenInfo         -> _C_GetTokenInfo         p11_slot_calls.cpp
//   C_GetMechanismList     -> _C_GetMechanismList     p11_slot_calls.cpp
//   C_GetMechanismInfo     -> _C_GetMechanismInfo     p11_slot_calls.cpp
//   C_InitToken            -> _C_InitToken            p11_token_calls.cpp
//   C_InitPIN              -> _C_InitPIN              p11_token_calls.cpp
//   C_SetPIN               -> _C_SetPIN               p11_token_calls.cpp
//   C_OpenSession          -> _C_OpenSession          p11_session_calls.cpp
//   C_CloseSession         -> _C_CloseSession         p11_session_calls.cpp
//   C_CloseAllSessions     -> _C_CloseAllSessions     p11_session_calls.cpp
//   C_GetSessionInfo       -> _C_GetSessionInfo       p11_session_calls.cpp
//   C_GetOperationState    -> _C_GetOperationState    p11_general.cpp
//   C_SetOperationState    -> _C_SetOperationState    p11_general.cpp
//   C_Login                -> _C_Login                p11_session_calls.cpp
//   C_Logout               -> _C_Logout               p11_session_calls.cpp
//   C_CreateObject         -> _C_CreateObject         p11_object_calls.cpp
//   C_CopyObject           -> _C_CopyObject           p11_general.cpp
//   C_DestroyObject        -> _C_DestroyObject        p11_object_calls.cpp
//   C_GetObjectSize        -> _C_GetObjectSize        p11_general.cpp
//   C_GetAttributeValue    -> _C_GetAttributeValue    p11_object_calls.cpp
//   C_SetAttributeValue    -> _C_SetAttributeValue    p11_object_calls.cpp
//   C_FindObjectsInit      -> _C_FindObjectsInit      p11_object_calls.cpp
//   C_FindObjects          -> _C_FindObjects          p11_object_calls.cpp
//   C_FindObjectsFinal     -> _C_FindObjectsFinal     p11_object_calls.cpp
//   C_EncryptInit          -> _C_EncryptInit          p11_crypto_calls.cpp (made by its call-shape macros)
//   C_Encrypt              -> _C_Encrypt              p11_crypto_calls.cpp (made by its call-shape macros)
//   C_EncryptUpdate        -> _C_EncryptUpdate        p11_crypto_calls.cpp (made by its call-shape macros)
//   C_EncryptFinal         -> _C_EncryptFinal         p11_crypto_calls.cpp (made by its call-shape macros)
//   C_DecryptInit          -> _C_DecryptInit          p11_crypto_calls.cpp (made by its call-shape macros)
//   C_Decrypt              -> _C_Decrypt              p11_crypto_calls.cpp (made by its call-shape macros)
//   C_DecryptUpdate        -> _C_DecryptUpdate        p11_crypto_calls.cpp (made by its call-shape macros)
//   C_DecryptFinal         -> _C_DecryptFinal         p11_crypto_calls.cpp (made by its call-shape macros)
//   C_DigestInit           -> _C_DigestInit           p11_crypto_calls.cpp
//   C_Digest               -> _C_Digest               p11_crypto_calls.cpp (made by its call-shape macros)
//   C_DigestUpdate         -> _C_DigestUpdate         p11_crypto_calls.cpp (made by its call-shape macros)
//   C_DigestKey            -> _C_DigestKey            p11_general.cpp
//   C_DigestFinal          -> _C_DigestFinal          p11_crypto_calls.cpp (made by its call-shape macros)
//   C_SignInit             -> _C_SignInit             p11_crypto_calls.cpp (made by its call-shape macros)
//   C_Sign                 -> _C_Sign                 p11_crypto_calls.cpp (made by its call-shape macros)
//   C_SignUpdate           -> _C_SignUpdate           p11_crypto_calls.cpp (made by its call-shape macros)
//   C_SignFinal            -> _C_SignFinal            p11_crypto_calls.cpp (made by its call-shape macros)
//   C_SignRecoverInit      -> _C_SignRecoverInit      p11_crypto_calls.cpp (made by its call-shape macros)
//   C_SignRecover          -> _C_SignRecover          p11_crypto_calls.cpp (made by its call-shape macros)
//   C_VerifyInit           -> _C_VerifyInit           p11_crypto_calls.cpp (made by its call-shape macros)
//   C_Verify               -> _C_Verify               p11_crypto_calls.cpp
//   C_VerifyUpdate         -> _C_VerifyUpdate         p11_crypto_calls.cpp (made by its call-shape macros)
//   C_VerifyFinal          -> _C_VerifyFinal          p11_crypto_calls.cpp
//   C_VerifyRecoverInit    -> _C_VerifyRecoverInit    p11_crypto_calls.cpp (made by its call-shape macros)
//   C_VerifyRecover        -> _C_VerifyRecover        p11_crypto_calls.cpp (made by its call-shape macros)
//   C_DigestEncryptUpdate  -> _C_DigestEncryptUpdate  p11_general.cpp
//   C_DecryptDigestUpdate  -> _C_DecryptDigestUpdate  p11_general.cpp
//   C_SignEncryptUpdate    -> _C_SignEncryptUpdate    p11_general.cpp
//   C_DecryptVerifyUpdate  -> _C_DecryptVerifyUpdate  p11_general.cpp
//   C_GenerateKey          -> _C_GenerateKey          p11_key_calls.cpp
//   C_GenerateKeyPair      -> _C_GenerateKeyPair      p11_key_calls.cpp
//   C_WrapKey              -> _C_WrapKey              p11_key_calls.cpp
//   C_UnwrapKey            -> _C_UnwrapKey            p11_key_calls.cpp
//   C_DeriveKey            -> _C_DeriveKey            p11_key_calls.cpp
//   C_SeedRandom           -> _C_SeedRandom           p11_general.cpp
//   C_GenerateRandom       -> _C_GenerateRandom       p11_key_calls.cpp
//   C_GetFunctionStatus    -> _C_GetFunctionStatus    p11_general.cpp
//   C_CancelFunction       -> _C_CancelFunction       p11_general.cpp
//   C_WaitForSlotEvent     -> _C_WaitForSlotEvent     p11_general.cpp
#include <string_view>

#include "kv_export.h"
#include "p11_internal.h"
#include "p11_trap.h"

namespace {

// The calls whose own checks come before the initialised check: C_Initialize
// and C_GetFunctionList need no initialisation, C_SeedRandom and
// C_WaitForSlotEvent answer alike in every state, and the others refuse
// missing arguments first. Every other call answers
// CKR_CRYPTOKI_NOT_INITIALIZED before it looks at anything the caller passed.
constexpr bool OwnChecksFirst(std::string_view name) {
    for (std::string_view own :
         {"C_Initialize", "C_GetFunctionList", "C_Finalize", "C_GetInfo", "C_SeedRandom", "C_WaitForSlotEvent",
          "C_OpenSession", "C_GetSessionInfo", "C_InitToken", "C_InitPIN", "C_SetPIN", "C_GetSlotList",
          "C_GetSlotInfo", "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo"}) {
        if (own == name) return true;
    }
    return false;
}

template <typename Twin>
CK_RV Frame(const char* name, bool ownChecksFirst, Twin&& twin) noexcept {
    return TrapCall(name, [&] {
        if (!ownChecksFirst) {
            const CK_RV rv = CheckInitialized();
            if (rv) return rv;
        }
        return twin();
    });
}

}  // namespace

extern "C" {
#define KV_P11_FUNC(name, params, args) \
    KV_EXPORT CK_RV name params { return Frame(#name, OwnChecksFirst(#name), [&] { return _##name args; }); }
#include "pkcs11f.h"
#undef KV_P11_FUNC
}
