// Natives of key management and random numbers.
#include "array_copy.h"
#include "ck_params.h"
#include "convert_attribute.h"
#include "convert_basic.h"
#include "convert_mechanism.h"
#include "native_call.h"
#include "native_inputs.h"

namespace {

// A converted Java template.
struct KeyTemplate {
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
};

bool ConvertTemplate(JNIEnv* env, jobjectArray jTemplate, NativeArena& arena, KeyTemplate& out) {
    return jAttributeArrayToCKAttributeArray(env, jTemplate, arena, &out.attributes, &out.count) == 0;
}

// The mechanism, then the template, of a native that makes one key.
bool ConvertMechanismAndTemplate(JNIEnv* env, jobject jMechanism, jobjectArray jTemplate, CkMechanism& mechanism,
                                 KeyTemplate& tmpl) {
    return jMechanismToCKMechanism(env, jMechanism, mechanism) == 0 &&
           ConvertTemplate(env, jTemplate, mechanism.arena, tmpl);
}

// The handle of the key a call made; 0 when copying its results back to
// Java (done whatever the module answered) failed or the call did.
jlong MadeKey(JNIEnv* env, CK_RV rv, CK_OBJECT_HANDLE key) {
    if (Pending(env) || !StatusOk(env, rv)) return 0;
    return static_cast<jlong>(key);
}

}  // namespace

KV_NATIVE(jlong, C_1GenerateKey)(JNIEnv* env, jobject self, jlong session, jobject jMechanism, jobjectArray jTemplate) {
    return ModuleCall(env, self, jlong{0}, [&](CK_FUNCTION_LIST_PTR module) -> jlong {
        CkMechanism mechanism;
        KeyTemplate tmpl;
        if (!ConvertMechanismAndTemplate(env, jMechanism, jTemplate, mechanism, tmpl)) return 0;
        CK_OBJECT_HANDLE key = 0;
        CK_RV rv = module->C_GenerateKey(static_cast<CK_SESSION_HANDLE>(session), &mechanism.mechanism, tmpl.attributes,
                                         tmpl.count, &key);
        CK_MECHANISM_TYPE type = mechanism.mechanism.mechanism;
        if (type >= ckp::CKM_PBE_MD2_DES_CBC && type <= ckp::CKM_PBE_SHA1_CAST5_CBC)
            copyBackPBEInitializationVector(env, jMechanism, mechanism);
        return MadeKey(env, rv, key);
    });
}

KV_NATIVE(jlongArray, C_1GenerateKeyPair)
(JNIEnv* env, jobject self, jlong session, jobject jMechanism, jobjectArray jPublicTemplate,
 jobjectArray jPrivateTemplate) {
    return ModuleCall(env, self, jlongArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jlongArray {
        CkMechanism mechanism;
        KeyTemplate publicTemplate, privateTemplate;
        if (jMechanismToCKMechanism(env, jMechanism, mechanism) != 0 ||
            !ConvertTemplate(env, jPublicTemplate, mechanism.arena, publicTemplate) ||
            !ConvertTemplate(env, jPrivateTemplate, mechanism.arena, privateTemplate))
            return nullptr;
        CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
        CK_RV rv = module->C_GenerateKeyPair(
            static_cast<CK_SESSION_HANDLE>(session), &mechanism.mechanism, publicTemplate.attributes,
            publicTemplate.count, privateTemplate.attributes, privateTemplate.count, &publicKey, &privateKey);
        if (!StatusOk(env, rv)) return nullptr;
        const CK_OBJECT_HANDLE handles[2] = {publicKey, privateKey};
        return arraycopy::NewJava<jlongArray>(env, handles, 2, 2);
    });
}

KV_NATIVE(jbyteArray, C_1WrapKey)
(JNIEnv* env, jobject self, jlong session, jobject jMechanism, jlong wrappingKey, jlong key) {
    return ModuleCall(env, self, jbyteArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jbyteArray {
        CkMechanism mechanism;
        if (jMechanismToCKMechanism(env, jMechanism, mechanism) != 0) return nullptr;
        return CallForBytes(env, FirstCall::LengthQuery, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
            return module->C_WrapKey(static_cast<CK_SESSION_HANDLE>(session), &mechanism.mechanism,
                                     static_cast<CK_OBJECT_HANDLE>(wrappingKey), static_cast<CK_OBJECT_HANDLE>(key),
                                     out, length);
        });
    });
}

KV_NATIVE(jlong, C_1UnwrapKey)
(JNIEnv* env, jobject self, jlong session, jobject jMechanism, jlong unwrappingKey, jbyteArray jWrapped,
 jobjectArray jTemplate) {
    return ModuleCall(env, self, jlong{0}, [&](CK_FUNCTION_LIST_PTR module) -> jlong {
        CkMechanism mechanism;
        KeyTemplate tmpl;
        CK_BYTE_PTR wrapped = nullptr;
        CK_ULONG wrappedLength = 0;
        if (jMechanismToCKMechanism(env, jMechanism, mechanism) != 0 ||
            jByteArrayToCKByteArray(env, jWrapped, mechanism.arena, &wrapped, &wrappedLength) != 0 ||
            !ConvertTemplate(env, jTemplate, mechanism.arena, tmpl))
            return 0;
        CK_OBJECT_HANDLE key = 0;
        CK_RV rv = module->C_UnwrapKey(static_cast<CK_SESSION_HANDLE>(session), &mechanism.mechanism,
                                       static_cast<CK_OBJECT_HANDLE>(unwrappingKey), wrapped, wrappedLength,
                                       tmpl.attributes, tmpl.count, &key);
        if (mechanism.mechanism.mechanism == CKM_KEY_WRAP_SET_OAEP) copyBackSetUnwrappedKey(env, jMechanism, mechanism);
        return MadeKey(env, rv, key);
    });
}

KV_NATIVE(jlong, C_1DeriveKey)
(JNIEnv* env, jobject self, jlong session, jobject jMechanism, jlong baseKey, jobjectArray jTemplate) {
    return ModuleCall(env, self, jlong{0}, [&](CK_FUNCTION_LIST_PTR module) -> jlong {
        CkMechanism mechanism;
        KeyTemplate tmpl;
        if (!ConvertMechanismAndTemplate(env, jMechanism, jTemplate, mechanism, tmpl)) return 0;
        CK_OBJECT_HANDLE key = 0;
        CK_RV rv = module->C_DeriveKey(static_cast<CK_SESSION_HANDLE>(session), &mechanism.mechanism,
                                       static_cast<CK_OBJECT_HANDLE>(baseKey), tmpl.attributes, tmpl.count, &key);
        // The TLS forms return the same results as the SSL 3 ones.
        const CK_MECHANISM_TYPE type = mechanism.mechanism.mechanism;
        if (type == CKM_SSL3_MASTER_KEY_DERIVE || type == ckp::CKM_TLS_MASTER_KEY_DERIVE)
            copyBackClientVersion(env, jMechanism, mechanism);
        else if (type == CKM_SSL3_KEY_AND_MAC_DERIVE || type == ckp::CKM_TLS_KEY_AND_MAC_DERIVE)
            copyBackSSLKeyMatParams(env, jMechanism, mechanism);
        return MadeKey(env, rv, key);
    });
}

KV_NATIVE(void, C_1SeedRandom)(JNIEnv* env, jobject self, jlong session, jbyteArray jSeed) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes seed = in.Bytes(jSeed);
        if (in.ok())
            StatusOk(env, module->C_SeedRandom(static_cast<CK_SESSION_HANDLE>(session), seed.data, seed.length));
    });
}

KV_NATIVE(void, C_1GenerateRandom)(JNIEnv* env, jobject self, jlong session, jbyteArray jBuffer) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        if (!jBuffer) {
            ckAssertReturnValueOK(env, CKR_ARGUMENTS_BAD);
            return;
        }
        // The module fills a buffer as long as the Java array, which then
        // takes the bytes.
        const size_t n = arraycopy::Length(env, jBuffer);
        NativeArena arena;
        auto* bytes = arena.New<CK_BYTE>(env, n);
        if (!bytes) return;
        CK_RV rv = module->C_GenerateRandom(static_cast<CK_SESSION_HANDLE>(session), bytes, static_cast<CK_ULONG>(n));
        if (rv == CKR_OK && !arraycopy::IntoJava(env, bytes, n, n, jBuffer)) return;
        StatusOk(env, rv);
    });
}
