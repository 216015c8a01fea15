#include "module_registry.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <new>

#include "java_exceptions.h"
#include "jni_support.h"

namespace {

ModuleListNode* moduleListHead = nullptr;
jobject moduleListLock = nullptr;

// Serialises the registry's routines in the process, so the lock object is
// never deleted while another thread is about to enter its monitor.
std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

// Holds the process mutex and the monitor of moduleListLock for one scope.
// Without a lock (registry not initialised) it throws and holds nothing.
class ListGuard {
public:
    explicit ListGuard(JNIEnv* env) : env_(env), hold_(RegistryMutex()) {
        if (!moduleListLock) {
            ThrowRuntime(env, "The module registry is not initialised.");
            return;
        }
        entered_ = env->MonitorEnter(moduleListLock) == JNI_OK;
        if (!entered_ && !Pending(env)) ThrowRuntime(env, "The module registry cannot be locked.");
    }
    ~ListGuard() {
        if (entered_) env_->MonitorExit(moduleListLock);
    }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;
    bool Held() const { return entered_; }

private:
    JNIEnv* env_;
    std::lock_guard<std::mutex> hold_;
    bool entered_ = false;
};

// The first node whose object equals `object`, or null; `previous` gets its
// predecessor. Stops at a pending exception.
ModuleListNode* Find(JNIEnv* env, jobject object, ModuleListNode** previous) {
    ModuleListNode* before = nullptr;
    for (ModuleListNode* node = moduleListHead; node; before = node, node = node->next) {
        int same = equals(env, node->pkcs11Implementation, object);
        if (Pending(env)) return nullptr;
        if (same) {
            if (previous) *previous = before;
            return node;
        }
    }
    return nullptr;
}

void DropAll(JNIEnv* env) {
    ModuleListNode* node = moduleListHead;
    moduleListHead = nullptr;
    while (node) {
        ModuleListNode* next = node->next;
        env->DeleteGlobalRef(node->pkcs11Implementation);
        delete node;
        node = next;
    }
}

}  // namespace

extern "C" {

int equals(JNIEnv* env, jobject thisObject, jobject otherObject) {
    if (!thisObject) return otherObject == nullptr;
    LocalRef<jclass> objectClass(env, env->FindClass("java/lang/Object"));
    if (!objectClass) return 0;
    jmethodID method = env->GetMethodID(objectClass.get(), "equals", "(Ljava/lang/Object;)Z");
    if (!method) return 0;
    jboolean same = env->CallNonvirtualBooleanMethod(thisObject, objectClass.get(), method, otherObject);
    return !Pending(env) && same == JNI_TRUE;
}

void putModuleEntry(JNIEnv* env, jobject pkcs11Implementation, ModuleData* moduleData) {
    if (!pkcs11Implementation || !moduleData) return;
    ListGuard guard(env);
    if (!guard.Held()) return;
    ModuleListNode* existing = Find(env, pkcs11Implementation, nullptr);
    if (Pending(env)) return;
    if (existing) {
        existing->moduleData = moduleData;
        return;
    }
    auto* node = new (std::nothrow) ModuleListNode{pkcs11Implementation, moduleData, nullptr};
    if (!node) {
        throwOutOfMemoryError(env);
        return;
    }
    ModuleListNode** tail = &moduleListHead;
    while (*tail) tail = &(*tail)->next;
    *tail = node;
}

ModuleData* getModuleEntry(JNIEnv* env, jobject pkcs11Implementation) {
    if (!pkcs11Implementation) return nullptr;
    ListGuard guard(env);
    if (!guard.Held()) return nullptr;
    ModuleListNode* node = Find(env, pkcs11Implementation, nullptr);
    return node ? node->moduleData : nullptr;
}

ModuleData* removeModuleEntry(JNIEnv* env, jobject pkcs11Implementation) {
    if (!pkcs11Implementation) return nullptr;
    ListGuard guard(env);
    if (!guard.Held()) return nullptr;
    ModuleListNode* previous = nullptr;
    ModuleListNode* node = Find(env, pkcs11Implementation, &previous);
    if (!node) return nullptr;
    (previous ? previous->next : moduleListHead) = node->next;
    ModuleData* data = node->moduleData;
    env->DeleteGlobalRef(node->pkcs11Implementation);
    delete node;
    return data;
}

void removeAllModuleEntries(JNIEnv* env) {
    ListGuard guard(env);
    if (guard.Held()) DropAll(env);
}

int isModulePresent(JNIEnv* env, jobject pkcs11Implementation) {
    return getModuleEntry(env, pkcs11Implementation) != nullptr;
}

jobject createLockObject(JNIEnv* env) {
    LocalRef<jclass> objectClass(env, env->FindClass("java/lang/Object"));
    if (!objectClass) return nullptr;
    jmethodID ctor = env->GetMethodID(objectClass.get(), "<init>", "()V");
    if (!ctor) return nullptr;
    LocalRef<jobject> lock(env, env->NewObject(objectClass.get(), ctor));
    if (!lock) return nullptr;
    jobject global = env->NewGlobalRef(lock.get());
    if (!global) throwOutOfMemoryError(env);
    return global;
}

void destroyLockObject(JNIEnv* env, jobject lockObject) {
    if (lockObject) env->DeleteGlobalRef(lockObject);
}

}  // extern "C"

void InitializeRegistry(JNIEnv* env) {
    std::lock_guard<std::mutex> hold(RegistryMutex());
    if (!moduleListLock) moduleListLock = createLockObject(env);
}

void FinalizeRegistry(JNIEnv* env) {
    std::lock_guard<std::mutex> hold(RegistryMutex());
    if (!moduleListLock) return;
    if (env->MonitorEnter(moduleListLock) != JNI_OK) return;
    DropAll(env);
    env->MonitorExit(moduleListLock);
    destroyLockObject(env, moduleListLock);
    moduleListLock = nullptr;
}

CK_FUNCTION_LIST_PTR ConnectedFunctions(JNIEnv* env, jobject self) {
    CK_FUNCTION_LIST_PTR functions = nullptr;
    {
        ListGuard guard(env);
        if (!guard.Held()) return nullptr;
        ModuleListNode* node = Find(env, self, nullptr);
        if (Pending(env)) return nullptr;
        if (node && node->moduleData) functions = node->moduleData->ckFunctionListPtr;
    }
    if (!functions) throwDisconnectedRuntimeException(env);
    return functions;
}

void ReleaseModuleData(ModuleData* data) {
    if (!data) return;
    if (data->hModule) dlclose(data->hModule);
    std::free(data);
}
