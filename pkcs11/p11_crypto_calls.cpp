// Encrypt, decrypt, digest, sign and verify calls: the caller's pointers and
// lengths checked first, then the session's operation.
#include "p11_internal.h"

namespace {

constexpr CK_ULONG kMax32 = 0xFFFFFFFFUL;

// A mechanism with a parameter length it has bytes for.
bool BadMechanism(CK_MECHANISM_PTR m) {
    return !m || m->ulParameterLen > kMax32 || (!m->pParameter && m->ulParameterLen);
}

// Input bytes: a null pointer only with no length, never more than 32 bits of length.
bool BadInput(CK_BYTE_PTR data, CK_ULONG len) { return len > kMax32 || (!data && len); }

template <class Call>
CK_RV OnSession(CK_SESSION_HANDLE hSession, Call&& call) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    return rv ? rv : call(*session);
}

}  // namespace

#define KV_INIT_CALL(name, Method)                                                                 \
    CK_RV _##name(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) { \
        if (BadMechanism(pMechanism)) return CKR_ARGUMENTS_BAD;                                     \
        return OnSession(hSession, [&](CP11Session& s) { return s.Method(pMechanism, hKey); });     \
    }
// Single-part calls and updates with output: pOut null asks for the length.
#define KV_OUTPUT_CALL(name, Method)                                                                         \
    CK_RV _##name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pIn, CK_ULONG ulInLen, CK_BYTE_PTR pOut,           \
                  CK_ULONG_PTR pulOutLen) {                                                                  \
        if (BadInput(pIn, ulInLen) || !pulOutLen) return CKR_ARGUMENTS_BAD;                                  \
        return OnSession(hSession, [&](CP11Session& s) { return s.Method(pIn, ulInLen, pOut, pulOutLen); }); \
    }
#define KV_INPUT_CALL(name, Method)                                                            \
    CK_RV _##name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {         \
        if (BadInput(pPart, ulPartLen)) return CKR_ARGUMENTS_BAD;                              \
        return OnSession(hSession, [&](CP11Session& s) { return s.Method(pPart, ulPartLen); }); \
    }
#define KV_FINAL_CALL(name, Method)                                                                    \
    CK_RV _##name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {              \
        if (!pulOutLen) return CKR_ARGUMENTS_BAD;                                                      \
        return OnSession(hSession, [&](CP11Session& s) { return s.Method(pOut, pulOutLen); });         \
    }

KV_INIT_CALL(C_EncryptInit, EncryptInit)
KV_OUTPUT_CALL(C_Encrypt, Encrypt)
KV_OUTPUT_CALL(C_EncryptUpdate, EncryptUpdate)
KV_FINAL_CALL(C_EncryptFinal, EncryptFinal)
KV_INIT_CALL(C_DecryptInit, DecryptInit)
KV_OUTPUT_CALL(C_Decrypt, Decrypt)
KV_OUTPUT_CALL(C_DecryptUpdate, DecryptUpdate)
KV_FINAL_CALL(C_DecryptFinal, DecryptFinal)
KV_OUTPUT_CALL(C_Digest, Digest)
KV_INPUT_CALL(C_DigestUpdate, DigestUpdate)
KV_FINAL_CALL(C_DigestFinal, DigestFinal)
KV_INIT_CALL(C_SignInit, SignInit)
KV_OUTPUT_CALL(C_Sign, Sign)
KV_INPUT_CALL(C_SignUpdate, SignUpdate)
KV_FINAL_CALL(C_SignFinal, SignFinal)
KV_INIT_CALL(C_SignRecoverInit, SignRecoverInit)
KV_OUTPUT_CALL(C_SignRecover, SignRecover)
KV_INIT_CALL(C_VerifyInit, VerifyInit)
KV_INPUT_CALL(C_VerifyUpdate, VerifyUpdate)
KV_INIT_CALL(C_VerifyRecoverInit, VerifyRecoverInit)
KV_OUTPUT_CALL(C_VerifyRecover, VerifyRecover)
#undef KV_INIT_CALL
#undef KV_OUTPUT_CALL
#undef KV_INPUT_CALL
#undef KV_FINAL_CALL

CK_RV _C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    if (BadMechanism(pMechanism)) return CKR_ARGUMENTS_BAD;
    return OnSession(hSession, [&](CP11Session& s) { return s.DigestInit(pMechanism); });
}

CK_RV _C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                CK_ULONG ulSignatureLen) {
    if (BadInput(pData, ulDataLen) || !pSignature || ulSignatureLen > kMax32) return CKR_ARGUMENTS_BAD;
    return OnSession(hSession,
                     [&](CP11Session& s) { return s.Verify(pData, ulDataLen, pSignature, ulSignatureLen); });
}

CK_RV _C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    if (!pSignature || ulSignatureLen > kMax32) return CKR_ARGUMENTS_BAD;
    return OnSession(hSession, [&](CP11Session& s) { return s.VerifyFinal(pSignature, ulSignatureLen); });
}
