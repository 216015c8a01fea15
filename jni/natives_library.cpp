// Natives of the library set-up and module connection, and the calls of the
// Cryptoki library as a whole.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "convert_info.h"
#include "convert_mechanism.h"
#include "native_call.h"

namespace {

// Loads the module at `path` and reads its function list; null with an
// exception pending, everything released.
ModuleData* LoadModule(JNIEnv* env, const char* path) {
    dlerror();
    void* handle = dlopen(path, RTLD_LAZY);
    if (!handle) {
        const char* why = dlerror();
        throwIOException(env, why ? why : "The module cannot be loaded.");
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(handle, "C_GetFunctionList");
    const char* why = dlerror();
    if (!symbol || why) {
        std::string message = why ? why : "The module has no C_GetFunctionList.";
        dlclose(handle);
        throwIOException(env, message.c_str());
        return nullptr;
    }
    CK_FUNCTION_LIST_PTR functions = nullptr;
    CK_RV rv = reinterpret_cast<CK_C_GetFunctionList>(symbol)(&functions);
    if (rv != CKR_OK || !functions) {
        dlclose(handle);
        if (rv != CKR_OK)
            ckAssertReturnValueOK(env, rv);
        else
            throwIOException(env, "C_GetFunctionList of the module returned no function list.");
        return nullptr;
    }
    auto* data = static_cast<ModuleData*>(std::calloc(1, sizeof(ModuleData)));
    if (!data) {
        dlclose(handle);
        throwOutOfMemoryError(env);
        return nullptr;
    }
    data->hModule = handle;
    data->ckFunctionListPtr = functions;
    data->applicationMutexHandler = nullptr;
    return data;
}

}  // namespace

KV_NATIVE(void, initializeLibrary)(JNIEnv* env, jclass) {
    TrapVoid(env, [&] { InitializeRegistry(env); });
}

KV_NATIVE(void, finalizeLibrary)(JNIEnv* env, jclass) {
    TrapVoid(env, [&] { FinalizeRegistry(env); });
}

KV_NATIVE(void, connect)(JNIEnv* env, jobject self, jstring path) {
    TrapVoid(env, [&] {
        if (!path) {
            throwIOException(env, "No module path given.");
            return;
        }
        const char* chars = env->GetStringUTFChars(path, nullptr);
        if (!chars) return;
        std::string file(chars);
        env->ReleaseStringUTFChars(path, chars);
        ModuleData* data = LoadModule(env, file.c_str());
        if (!data) return;
        jobject global = env->NewGlobalRef(self);
        if (!global) {
            ReleaseModuleData(data);
            throwOutOfMemoryError(env);
            return;
        }
        // A connected object first lets go of its earlier module.
        ReleaseModuleData(removeModuleEntry(env, self));
        if (!Pending(env)) putModuleEntry(env, global, data);
        if (Pending(env)) {
            env->DeleteGlobalRef(global);
            ReleaseModuleData(data);
        }
    });
}

KV_NATIVE(void, disconnect)(JNIEnv* env, jobject self) {
    TrapVoid(env, [&] { ReleaseModuleData(removeModuleEntry(env, self)); });
}

KV_NATIVE(void, C_1Initialize)(JNIEnv* env, jobject self, jobject jInitArgs) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        NativeArena arena;
        CK_C_INITIALIZE_ARGS* args = nullptr;
        if (makeCKInitArgsAdapter(env, jInitArgs, arena, &args) != 0) return;
        StatusOk(env, module->C_Initialize(args));
    });
}

KV_NATIVE(void, C_1Finalize)(JNIEnv* env, jobject self, jobject reserved) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) { StatusOk(env, module->C_Finalize(reserved)); });
}

KV_NATIVE(jobject, C_1GetInfo)(JNIEnv* env, jobject self) {
    return ModuleCall(env, self, jobject{}, [&](CK_FUNCTION_LIST_PTR module) -> jobject {
        CK_INFO info{};
        if (!StatusOk(env, module->C_GetInfo(&info))) return nullptr;
        return ckInfoPtrToJInfo(env, &info);
    });
}
