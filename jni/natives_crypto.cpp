// Natives of the cryptographic operations: encryption, decryption, digests,
// signatures and their dual-function forms.
#include "convert_mechanism.h"
#include "native_call.h"
#include "native_inputs.h"

namespace {

using InitFn = CK_RV (*)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
using DataInOutFn = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
using OutFn = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR);
using DataInFn = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG);

// An operation's initialisation with a mechanism and a key.
void InitCall(JNIEnv* env, jobject self, jlong session, jobject jMechanism, jlong key, InitFn CK_FUNCTION_LIST::*fn) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        CkMechanism mechanism;
        if (jMechanismToCKMechanism(env, jMechanism, mechanism) != 0) return;
        StatusOk(env, (module->*fn)(static_cast<CK_SESSION_HANDLE>(session), &mechanism.mechanism,
                                    static_cast<CK_OBJECT_HANDLE>(key)));
    });
}

// Data in, bytes out.
jbyteArray DataInOut(JNIEnv* env, jobject self, jlong session, jbyteArray jData, DataInOutFn CK_FUNCTION_LIST::*fn,
                     FirstCall first = FirstCall::LengthQuery) {
    return ModuleCall(env, self, jbyteArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jbyteArray {
        NativeInputs in(env);
        const NativeBytes data = in.Bytes(jData);
        if (!in.ok()) return nullptr;
        return CallForBytes(env, first, [&](CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
            return (module->*fn)(static_cast<CK_SESSION_HANDLE>(session), data.data, data.length, out, outLength);
        });
    });
}

// Bytes out only (the final parts).
jbyteArray Out(JNIEnv* env, jobject self, jlong session, OutFn CK_FUNCTION_LIST::*fn) {
    return ModuleCall(env, self, jbyteArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jbyteArray {
        return CallForBytes(env, FirstCall::LengthQuery, [&](CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
            return (module->*fn)(static_cast<CK_SESSION_HANDLE>(session), out, outLength);
        });
    });
}

// Data in only.
void DataIn(JNIEnv* env, jobject self, jlong session, jbyteArray jData, DataInFn CK_FUNCTION_LIST::*fn) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes data = in.Bytes(jData);
        if (in.ok()) StatusOk(env, (module->*fn)(static_cast<CK_SESSION_HANDLE>(session), data.data, data.length));
    });
}

}  // namespace

#define KV_INIT_NATIVE(java, fn)                                                                      \
    KV_NATIVE(void, java)(JNIEnv * env, jobject self, jlong session, jobject jMechanism, jlong key) { \
        InitCall(env, self, session, jMechanism, key, &CK_FUNCTION_LIST::fn);                         \
    }
#define KV_IN_OUT_NATIVE(java, fn)                                                             \
    KV_NATIVE(jbyteArray, java)(JNIEnv * env, jobject self, jlong session, jbyteArray jData) { \
        return DataInOut(env, self, session, jData, &CK_FUNCTION_LIST::fn);                    \
    }
#define KV_OUT_NATIVE(java, fn)                                              \
    KV_NATIVE(jbyteArray, java)(JNIEnv * env, jobject self, jlong session) { \
        return Out(env, self, session, &CK_FUNCTION_LIST::fn);               \
    }
#define KV_IN_NATIVE(java, fn)                                                           \
    KV_NATIVE(void, java)(JNIEnv * env, jobject self, jlong session, jbyteArray jData) { \
        DataIn(env, self, session, jData, &CK_FUNCTION_LIST::fn);                        \
    }

KV_INIT_NATIVE(C_1EncryptInit, C_EncryptInit)
KV_IN_OUT_NATIVE(C_1Encrypt, C_Encrypt)
KV_IN_OUT_NATIVE(C_1EncryptUpdate, C_EncryptUpdate)
KV_OUT_NATIVE(C_1EncryptFinal, C_EncryptFinal)

KV_INIT_NATIVE(C_1DecryptInit, C_DecryptInit)
KV_IN_OUT_NATIVE(C_1Decrypt, C_Decrypt)
KV_IN_OUT_NATIVE(C_1DecryptUpdate, C_DecryptUpdate)
KV_OUT_NATIVE(C_1DecryptFinal, C_DecryptFinal)

KV_IN_OUT_NATIVE(C_1Digest, C_Digest)
KV_IN_NATIVE(C_1DigestUpdate, C_DigestUpdate)
KV_OUT_NATIVE(C_1DigestFinal, C_DigestFinal)

KV_INIT_NATIVE(C_1SignInit, C_SignInit)
KV_IN_NATIVE(C_1SignUpdate, C_SignUpdate)
KV_OUT_NATIVE(C_1SignFinal, C_SignFinal)
KV_INIT_NATIVE(C_1SignRecoverInit, C_SignRecoverInit)
KV_IN_OUT_NATIVE(C_1SignRecover, C_SignRecover)

KV_INIT_NATIVE(C_1VerifyInit, C_VerifyInit)
KV_IN_NATIVE(C_1VerifyUpdate, C_VerifyUpdate)
KV_IN_NATIVE(C_1VerifyFinal, C_VerifyFinal)
KV_INIT_NATIVE(C_1VerifyRecoverInit, C_VerifyRecoverInit)

KV_IN_OUT_NATIVE(C_1DigestEncryptUpdate, C_DigestEncryptUpdate)
KV_IN_OUT_NATIVE(C_1DecryptDigestUpdate, C_DecryptDigestUpdate)
KV_IN_OUT_NATIVE(C_1SignEncryptUpdate, C_SignEncryptUpdate)
KV_IN_OUT_NATIVE(C_1DecryptVerifyUpdate, C_DecryptVerifyUpdate)

KV_NATIVE(void, C_1DigestInit)(JNIEnv* env, jobject self, jlong session, jobject jMechanism) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        CkMechanism mechanism;
        if (jMechanismToCKMechanism(env, jMechanism, mechanism) != 0) return;
        StatusOk(env, module->C_DigestInit(static_cast<CK_SESSION_HANDLE>(session), &mechanism.mechanism));
    });
}

KV_NATIVE(void, C_1DigestKey)(JNIEnv* env, jobject self, jlong session, jlong key) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        StatusOk(env, module->C_DigestKey(static_cast<CK_SESSION_HANDLE>(session), static_cast<CK_OBJECT_HANDLE>(key)));
    });
}

KV_NATIVE(jbyteArray, C_1Sign)(JNIEnv* env, jobject self, jlong session, jbyteArray jData) {
    return DataInOut(env, self, session, jData, &CK_FUNCTION_LIST::C_Sign, FirstCall::Fixed512);
}

// A length query may be answered with CKR_OK or CKR_BUFFER_TOO_SMALL; both
// give the length of the recovered data.
KV_NATIVE(jbyteArray, C_1VerifyRecover)(JNIEnv* env, jobject self, jlong session, jbyteArray jSignature) {
    return DataInOut(env, self, session, jSignature, &CK_FUNCTION_LIST::C_VerifyRecover, FirstCall::LengthQueryOrShort);
}

KV_NATIVE(void, C_1Verify)(JNIEnv* env, jobject self, jlong session, jbyteArray jData, jbyteArray jSignature) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes data = in.Bytes(jData), signature = in.Bytes(jSignature);
        if (in.ok())
            StatusOk(env, module->C_Verify(static_cast<CK_SESSION_HANDLE>(session), data.data, data.length,
                                           signature.data, signature.length));
    });
}
