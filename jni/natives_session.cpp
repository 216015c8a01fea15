// Natives of sessions, login and PIN management.
#include "convert_basic.h"
#include "convert_info.h"
#include "native_call.h"

KV_NATIVE(jlong, C_1OpenSession)(JNIEnv* env, jobject self, jlong slot, jlong flags, jobject, jobject) {
    return Trap(env, jlong{0}, [&]() -> jlong {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return 0;
        CK_SESSION_HANDLE session = 0;
        CK_RV rv = module->C_OpenSession(static_cast<CK_SLOT_ID>(slot), static_cast<CK_FLAGS>(flags), nullptr, nullptr,
                                         &session);
        return StatusOk(env, rv) ? static_cast<jlong>(session) : 0;
    });
}

namespace {

// The natives that pass one handle (a session or a slot) and return nothing.
template <typename Fn>
void HandleCall(JNIEnv* env, jobject self, jlong handle, Fn CK_FUNCTION_LIST::*fn) {
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (module) StatusOk(env, (module->*fn)(static_cast<CK_ULONG>(handle)));
    });
}

}  // namespace

#define KV_HANDLE_NATIVE(name, function)                                       \
    KV_NATIVE(void, name)(JNIEnv * env, jobject self, jlong handle) {          \
        HandleCall(env, self, handle, &CK_FUNCTION_LIST::function);            \
    }

KV_HANDLE_NATIVE(C_1CloseSession, C_CloseSession)
KV_HANDLE_NATIVE(C_1CloseAllSessions, C_CloseAllSessions)
KV_HANDLE_NATIVE(C_1Logout, C_Logout)
KV_HANDLE_NATIVE(C_1FindObjectsFinal, C_FindObjectsFinal)
KV_HANDLE_NATIVE(C_1GetFunctionStatus, C_GetFunctionStatus)
KV_HANDLE_NATIVE(C_1CancelFunction, C_CancelFunction)

KV_NATIVE(jobject, C_1GetSessionInfo)(JNIEnv* env, jobject self, jlong session) {
    return Trap(env, jobject{}, [&]() -> jobject {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return nullptr;
        CK_SESSION_INFO info{};
        if (!StatusOk(env, module->C_GetSessionInfo(static_cast<CK_SESSION_HANDLE>(session), &info))) return nullptr;
        return ckSessionInfoPtrToJSessionInfo(env, &info);
    });
}

KV_NATIVE(jbyteArray, C_1GetOperationState)(JNIEnv* env, jobject self, jlong session) {
    return Trap(env, jbyteArray{}, [&]() -> jbyteArray {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return nullptr;
        return CallForBytes(env, FirstCall::LengthQuery, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
            return module->C_GetOperationState(static_cast<CK_SESSION_HANDLE>(session), out, length);
        });
    });
}

KV_NATIVE(void, C_1SetOperationState)
(JNIEnv* env, jobject self, jlong session, jbyteArray jState, jlong encryptionKey, jlong authenticationKey) {
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return;
        NativeArena arena;
        CK_BYTE_PTR state = nullptr;
        CK_ULONG length = 0;
        if (jByteArrayToCKByteArray(env, jState, arena, &state, &length) != 0) return;
        StatusOk(env, module->C_SetOperationState(static_cast<CK_SESSION_HANDLE>(session), state, length,
                                                  static_cast<CK_OBJECT_HANDLE>(encryptionKey),
                                                  static_cast<CK_OBJECT_HANDLE>(authenticationKey)));
    });
}

namespace {

// A PIN as bytes: characters above U+00FF are refused, not narrowed.
int PinBytes(JNIEnv* env, jcharArray jPin, NativeArena& arena, CK_UTF8CHAR_PTR* pin, CK_ULONG* length) {
    return jCharArrayToCKLatin1Array(env, jPin, arena, pin, length, CKR_PIN_INVALID);
}

}  // namespace

KV_NATIVE(void, C_1Login)(JNIEnv* env, jobject self, jlong session, jlong userType, jcharArray jPin) {
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return;
        NativeArena arena;
        CK_UTF8CHAR_PTR pin = nullptr;
        CK_ULONG length = 0;
        if (PinBytes(env, jPin, arena, &pin, &length) != 0) return;
        StatusOk(env, module->C_Login(static_cast<CK_SESSION_HANDLE>(session), static_cast<CK_USER_TYPE>(userType), pin,
                                      length));
    });
}

KV_NATIVE(void, C_1InitPIN)(JNIEnv* env, jobject self, jlong session, jcharArray jPin) {
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return;
        NativeArena arena;
        CK_UTF8CHAR_PTR pin = nullptr;
        CK_ULONG length = 0;
        if (PinBytes(env, jPin, arena, &pin, &length) != 0) return;
        StatusOk(env, module->C_InitPIN(static_cast<CK_SESSION_HANDLE>(session), pin, length));
    });
}

KV_NATIVE(void, C_1SetPIN)(JNIEnv* env, jobject self, jlong session, jcharArray jOldPin, jcharArray jNewPin) {
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return;
        NativeArena arena;
        CK_UTF8CHAR_PTR oldPin = nullptr, newPin = nullptr;
        CK_ULONG oldLength = 0, newLength = 0;
        if (PinBytes(env, jOldPin, arena, &oldPin, &oldLength) != 0 ||
            PinBytes(env, jNewPin, arena, &newPin, &newLength) != 0)
            return;
        StatusOk(env, module->C_SetPIN(static_cast<CK_SESSION_HANDLE>(session), oldPin, oldLength, newPin, newLength));
    });
}
