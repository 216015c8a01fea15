// The frame shared by the PKCS11Implementation natives: the export name, the
// connected module, status checks and the output patterns of the PKCS#11
// calls (length query, fixed first buffer, lists, object search).
#ifndef KV_JNI_NATIVE_CALL_H
#define KV_JNI_NATIVE_CALL_H

#include <jni.h>

#include <algorithm>
#include <vector>

#include "array_copy.h"
#include "java_exceptions.h"
#include "jni_support.h"
#include "kv_export.h"
#include "module_registry.h"
#include "pkcs11.h"
#include "secure_wipe.h"

// Declares one native of iaik.pkcs.pkcs11.wrapper.PKCS11Implementation
// (an underscore of the Java name is written _1).
#define KV_NATIVE(result, name) \
    extern "C" KV_EXPORT JNIEXPORT result JNICALL Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_##name

// Runs a native's body (see Trap) with the module connected to `self`;
// without one (an exception is then pending) the body is not run and the
// native returns `failed`.
template <typename R, typename Body>
R ModuleCall(JNIEnv* env, jobject self, R failed, Body&& body) noexcept {
    return Trap(env, failed, [&]() -> R {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return failed;
        return body(module);
    });
}

template <typename Body>
void ModuleCallVoid(JNIEnv* env, jobject self, Body&& body) noexcept {
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (module) body(module);
    });
}

// The natives that pass one handle (a slot or a session) and return the
// information structure the module fills, as a new Java object.
template <typename Info>
jobject HandleInfo(JNIEnv* env, jobject self, jlong handle, CK_RV (*CK_FUNCTION_LIST::*fn)(CK_ULONG, Info*),
                   jobject (*toJava)(JNIEnv*, const Info*)) {
    return ModuleCall(env, self, jobject{}, [&](CK_FUNCTION_LIST_PTR module) -> jobject {
        Info info{};
        if (!StatusOk(env, (module->*fn)(static_cast<CK_ULONG>(handle), &info))) return nullptr;
        return toJava(env, &info);
    });
}

// True for CKR_OK; otherwise a PKCS11Exception carrying rv is pending.
inline bool StatusOk(JNIEnv* env, CK_RV rv) { return ckAssertReturnValueOK(env, rv) == CKR_OK; }

// How an output buffer is sized before the call that fills it.
enum class FirstCall {
    LengthQuery,         // a null buffer asks for the length
    LengthQueryOrShort,  // the same, also accepting CKR_BUFFER_TOO_SMALL as the answer
    Fixed512,            // a 512-byte buffer first; a second call only when it is too small
};

// Runs `call(buffer, &length)` as the pattern says and returns the output
// as a new byte[]; null with an exception pending. The length a module
// reports is never read beyond the buffer given to it; the buffer is wiped.
template <typename Call>
jbyteArray CallForBytes(JNIEnv* env, FirstCall first, Call call) {
    std::vector<CK_BYTE> buffer(first == FirstCall::Fixed512 ? 512 : 0);
    CK_ULONG length = buffer.size();
    CK_RV rv = call(buffer.empty() ? nullptr : buffer.data(), &length);
    bool again = first == FirstCall::Fixed512
                     ? rv == CKR_BUFFER_TOO_SMALL
                     : rv == CKR_OK || (rv == CKR_BUFFER_TOO_SMALL && first == FirstCall::LengthQueryOrShort);
    if (again) {
        if (length > 0x7FFFFFFF) {
            throwOutOfMemoryError(env);
            return nullptr;
        }
        buffer.assign(length ? length : 1, 0);
        rv = call(buffer.data(), &length);
    }
    jbyteArray result = nullptr;
    if (StatusOk(env, rv))
        result = arraycopy::NewJava<jbyteArray>(env, buffer.data(), buffer.size(),
                                                std::min<size_t>(length, buffer.size()));
    SecureWipe(buffer);
    return result;
}

// Runs `call(list, &count)` twice (count, then entries) and returns the
// entries as a new long[]; null with an exception pending.
template <typename Call>
jlongArray CallForList(JNIEnv* env, Call call) {
    CK_ULONG count = 0;
    if (!StatusOk(env, call(nullptr, &count))) return nullptr;
    if (count > 0x7FFFFFFF / sizeof(CK_ULONG)) {
        throwOutOfMemoryError(env);
        return nullptr;
    }
    std::vector<CK_ULONG> list(count);
    if (count) {
        CK_ULONG got = count;
        CK_RV rv = call(list.data(), &got);
        if (!StatusOk(env, rv)) return nullptr;
        if (got < count) list.resize(got);
    }
    return arraycopy::NewJava<jlongArray>(env, list.data(), list.size(), list.size());
}

#endif
