// The registry of connected wrapper objects: which PKCS#11 module each
// PKCS11Implementation object reaches. A linked list keyed by the identity of
// the Java object, guarded by the Java monitor of `moduleListLock`.
#ifndef KV_JNI_MODULE_REGISTRY_H
#define KV_JNI_MODULE_REGISTRY_H

#include <jni.h>

#include "kv_export.h"
#include "pkcs11.h"

// What one connection holds: the loaded module and its function list.
struct ModuleData {
    void* hModule;
    CK_FUNCTION_LIST_PTR ckFunctionListPtr;
    void* applicationMutexHandler;  // always null
};

struct ModuleListNode {
    jobject pkcs11Implementation;  // global reference
    ModuleData* moduleData;
    ModuleListNode* next;
};

extern "C" {
// Each routine throws (PKCS11RuntimeException) instead of touching the list
// when the registry has no lock: before initializeLibrary, after finalizeLibrary.
KV_EXPORT void putModuleEntry(JNIEnv* env, jobject pkcs11Implementation, ModuleData* moduleData);
KV_EXPORT ModuleData* getModuleEntry(JNIEnv* env, jobject pkcs11Implementation);
KV_EXPORT ModuleData* removeModuleEntry(JNIEnv* env, jobject pkcs11Implementation);
KV_EXPORT void removeAllModuleEntries(JNIEnv* env);
KV_EXPORT int isModulePresent(JNIEnv* env, jobject pkcs11Implementation);
KV_EXPORT int equals(JNIEnv* env, jobject thisObject, jobject otherObject);
KV_EXPORT jobject createLockObject(JNIEnv* env);
KV_EXPORT void destroyLockObject(JNIEnv* env, jobject lockObject);
}

// Creates the registry's lock when there is none (initializeLibrary).
void InitializeRegistry(JNIEnv* env);
// Drops every entry and the lock (finalizeLibrary).
void FinalizeRegistry(JNIEnv* env);

// The function list of the module `self` is connected to, read under the
// registry's lock; null with the disconnected exception (or the registry's
// own) pending.
CK_FUNCTION_LIST_PTR ConnectedFunctions(JNIEnv* env, jobject self);

// Unloads a module and frees its data (null: nothing).
void ReleaseModuleData(ModuleData* data);

#endif
