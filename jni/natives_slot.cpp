// Natives of the slot, token and mechanism queries and of token
// initialisation.
#include <cstring>

#include "convert_basic.h"
#include "convert_info.h"
#include "native_call.h"
#include "native_inputs.h"

namespace {

constexpr size_t kLabelWidth = 32;

}  // namespace

KV_NATIVE(jlongArray, C_1GetSlotList)(JNIEnv* env, jobject self, jboolean tokenPresent) {
    return ModuleCall(env, self, jlongArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jlongArray {
        CK_BBOOL present = tokenPresent == JNI_TRUE ? CK_TRUE : CK_FALSE;
        return CallForList(
            env, [&](CK_SLOT_ID_PTR list, CK_ULONG_PTR count) { return module->C_GetSlotList(present, list, count); });
    });
}

KV_NATIVE(jobject, C_1GetSlotInfo)(JNIEnv* env, jobject self, jlong slot) {
    return HandleInfo(env, self, slot, &CK_FUNCTION_LIST::C_GetSlotInfo, ckSlotInfoPtrToJSlotInfo);
}

KV_NATIVE(jobject, C_1GetTokenInfo)(JNIEnv* env, jobject self, jlong slot) {
    return HandleInfo(env, self, slot, &CK_FUNCTION_LIST::C_GetTokenInfo, ckTokenInfoPtrToJTokenInfo);
}

KV_NATIVE(jlongArray, C_1GetMechanismList)(JNIEnv* env, jobject self, jlong slot) {
    return ModuleCall(env, self, jlongArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jlongArray {
        return CallForList(env, [&](CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
            return module->C_GetMechanismList(static_cast<CK_SLOT_ID>(slot), list, count);
        });
    });
}

KV_NATIVE(jobject, C_1GetMechanismInfo)(JNIEnv* env, jobject self, jlong slot, jlong type) {
    return ModuleCall(env, self, jobject{}, [&](CK_FUNCTION_LIST_PTR module) -> jobject {
        CK_MECHANISM_INFO info{};
        CK_RV rv =
            module->C_GetMechanismInfo(static_cast<CK_SLOT_ID>(slot), static_cast<CK_MECHANISM_TYPE>(type), &info);
        if (!StatusOk(env, rv)) return nullptr;
        return ckMechanismInfoPtrToJMechanismInfo(env, &info);
    });
}

KV_NATIVE(void, C_1InitToken)(JNIEnv* env, jobject self, jlong slot, jcharArray jPin, jcharArray jLabel) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeInputs in(env);
        const NativeBytes pin = in.Pin(jPin), label = in.Latin1(jLabel, CKR_ARGUMENTS_BAD);
        if (!in.ok()) return;
        // The module reads a 32-byte field: at most 32 characters, blank-padded.
        CK_UTF8CHAR field[kLabelWidth];
        std::memset(field, ' ', sizeof field);
        if (label.data) std::memcpy(field, label.data, label.length < kLabelWidth ? label.length : kLabelWidth);
        StatusOk(env, module->C_InitToken(static_cast<CK_SLOT_ID>(slot), pin.data, pin.length,
                                          label.data ? field : nullptr));
    });
}

KV_NATIVE(jlong, C_1WaitForSlotEvent)(JNIEnv* env, jobject self, jlong flags, jobject) {
    return ModuleCall(env, self, jlong{0}, [&](CK_FUNCTION_LIST_PTR module) -> jlong {
        CK_SLOT_ID slot = 0;
        if (!StatusOk(env, module->C_WaitForSlotEvent(static_cast<CK_FLAGS>(flags), &slot, nullptr))) return 0;
        return static_cast<jlong>(slot);
    });
}
