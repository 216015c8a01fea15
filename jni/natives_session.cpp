// Natives of sessions, login and PIN management.
#include "convert_info.h"
#include "native_call.h"
#include "native_inputs.h"

KV_NATIVE(jlong, C_1OpenSession)(JNIEnv* env, jobject self, jlong slot, jlong flags, jobject, jobject) {
    return ModuleCall(env, self, jlong{0}, [&](CK_FUNCTION_LIST_PTR module) -> jlong {
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
    ModuleCallVoid(env, self,
                   [&](CK_FUNCTION_LIST_PTR module) { StatusOk(env, (module->*fn)(static_cast<CK_ULONG>(handle))); });
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
    return HandleInfo(env, self, session, &CK_FUNCTION_LIST::C_GetSessionInfo, ckSessionInfoPtrToJSessionInfo);
}

KV_NATIVE(jbyteArray, C_1GetOperationState)(JNIEnv* env, jobject self, jlong session) {
    return ModuleCall(env, self, jbyteArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jbyteArray {
        return CallForBytes(env, FirstCall::LengthQuery, [&](CK_BYTE_PTR out, CK_ULONG_PTR length) {
            return module->C_GetOperationState(static_cast<CK_SESSION_HANDLE>(session), out, length);
        });
    });
}

KV_NATIVE(void, C_1SetOperationState)
(JNIEnv* env, jobject self, jlong session, jbyteArray jState, jlong encryptionKey, jlong authenticationKey) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes state = in.Bytes(jState);
        if (in.ok())
            StatusOk(env, module->C_SetOperationState(static_cast<CK_SESSION_HANDLE>(session), state.data, state.length,
                                                      static_cast<CK_OBJECT_HANDLE>(encryptionKey),
                                                      static_cast<CK_OBJECT_HANDLE>(authenticationKey)));
    });
}

KV_NATIVE(void, C_1Login)(JNIEnv* env, jobject self, jlong session, jlong userType, jcharArray jPin) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes pin = in.Pin(jPin);
        if (in.ok())
            StatusOk(env, module->C_Login(static_cast<CK_SESSION_HANDLE>(session), static_cast<CK_USER_TYPE>(userType),
                                          pin.data, pin.length));
    });
}

KV_NATIVE(void, C_1InitPIN)(JNIEnv* env, jobject self, jlong session, jcharArray jPin) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes pin = in.Pin(jPin);
        if (in.ok()) StatusOk(env, module->C_InitPIN(static_cast<CK_SESSION_HANDLE>(session), pin.data, pin.length));
    });
}

KV_NATIVE(void, C_1SetPIN)(JNIEnv* env, jobject self, jlong session, jcharArray jOldPin, jcharArray jNewPin) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes oldPin = in.Pin(jOldPin), newPin = in.Pin(jNewPin);
        if (in.ok())
            StatusOk(env, module->C_SetPIN(static_cast<CK_SESSION_HANDLE>(session), oldPin.data, oldPin.length,
                                           newPin.data, newPin.length));
    });
}
