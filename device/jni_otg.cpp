#include "jni_otg.h"

#include <atomic>
#include <mutex>

#include "android_log.h"
#ifdef __ANDROID__
#include "disk_mirror.h"
#endif
#include "host_socket_bridge.h"

namespace {

constexpr const char* kCallbackClass = "com/qomlex/monitor/JniCallBack";
std::atomic<JavaVM*> g_vm{nullptr};

// The calling thread's environment; never attaches. Null without a VM or
// on a thread that is not attached.
JNIEnv* CurrentEnv() {
    JavaVM* vm = g_vm.load();
    if (!vm) return nullptr;
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4) != JNI_OK) return nullptr;
    return env;
}

// True (and the exception cleared) when a Java exception is pending.
bool ClearedException(JNIEnv* env) {
    if (!env->ExceptionCheck()) return false;
    env->ExceptionClear();
    return true;
}

// One global reference to the callback class, made on first success.
jclass CallbackClass(JNIEnv* env) {
    static std::mutex mutex;
    static jclass cls = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (cls) return cls;
    jclass local = env->FindClass(kCallbackClass);
    if (ClearedException(env) || !local) return nullptr;
    cls = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return cls;
}

jmethodID StaticMethod(JNIEnv* env, jclass cls, const char* name, const char* sig) {
    jmethodID m = env->GetStaticMethodID(cls, name, sig);
    if (ClearedException(env)) return nullptr;
    return m;
}

#ifndef __ANDROID__
std::atomic<UsbBridge*> g_hostBridge{nullptr};

UsbBridge* HostFallback() {
    if (g_vm.load()) return nullptr;
    UsbBridge* chosen = g_hostBridge.load();
    return chosen ? chosen : &HostSocketBridge::Instance();
}
#else
UsbBridge* HostFallback() { return nullptr; }
#endif

// The thread's environment and the callback class, or null, with the
// bridge's log line for each failure (classPriority 0: no line).
JNIEnv* Reach(jclass& cls, bool logMissingEnv, int classPriority) {
    JNIEnv* env = CurrentEnv();
    if (!env) {
        if (logMissingEnv) KvLogPrint(ANDROID_LOG_INFO, kLogTag, "pEnv is null");
        return nullptr;
    }
    cls = CallbackClass(env);
    if (!cls) {
        if (classPriority) KvLogPrint(classPriority, kLogTag, "not find class");
        return nullptr;
    }
    return env;
}

int32_t IdCall(const char* name, bool logMissingClass) {
    jclass cls = nullptr;
    JNIEnv* env = Reach(cls, true, logMissingClass ? ANDROID_LOG_WARN : 0);
    if (!env) return -1;
    jmethodID m = StaticMethod(env, cls, name, "()I");
    if (!m) {
        KvLogPrint(ANDROID_LOG_INFO, kLogTag, " java_methodId is null");
        return 0;
    }
    jint id = env->CallStaticIntMethod(cls, m);
    return ClearedException(env) ? -1 : id;
}

}  // namespace

extern "C" {

jint JNI_OnLoad(JavaVM* vm, void*) {
    JNIEnv* env = nullptr;
    if (!vm || vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4) != JNI_OK) return 0;
    g_vm.store(vm);
    return JNI_VERSION_1_4;
}

void JNI_OnUnload(JavaVM*, void*) {}

JNIEnv* jm_AttachCurrentThread() {
    JavaVM* vm = g_vm.load();
    if (!vm) return nullptr;
    JNIEnv* env = nullptr;
    jint rc = vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4);
    if (rc == JNI_EDETACHED) {
#ifdef __ANDROID__
        if (vm->AttachCurrentThread(&env, nullptr) < 0) return nullptr;
#else
        if (vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) < 0) return nullptr;
#endif
    } else if (rc != JNI_OK) {
        return nullptr;
    }
    return env;
}

void jm_DetachCurrentThread() {
    if (JavaVM* vm = g_vm.load()) vm->DetachCurrentThread();
}

}  // extern "C"

JavaVM* CapturedVm() { return g_vm.load(); }

#ifndef __ANDROID__
void JniOtg::UseHostBridge(UsbBridge* bridge) { g_hostBridge.store(bridge); }
bool JniOtg::HostBridgeChosen() { return g_hostBridge.load() != nullptr; }
#endif

JniOtg& JniOtg::Instance() {
    static JniOtg bridge;
    return bridge;
}

std::string JniOtg::LockPath() {
#ifdef __ANDROID__
    const std::string cache = DiskMirror::Base();
    return cache.empty() ? cache : cache + "/token.lock";
#else
    // A host build reaches its token at a socket, with a Java VM or without,
    // unless another host bridge was chosen.
    if (UsbBridge* chosen = g_hostBridge.load()) return chosen->LockPath();
    return HostSocketBridge::Instance().LockPath();
#endif
}

int32_t JniOtg::jgetidVendor() {
    if (UsbBridge* host = HostFallback()) return host->jgetidVendor();
    return IdCall("getidVendor", true);
}

int32_t JniOtg::jgetidProduct() {
    if (UsbBridge* host = HostFallback()) return host->jgetidProduct();
    return IdCall("getidProduct", false);
}

int64_t JniOtg::jSendData(const uint8_t* data, uint32_t len) {
    if (UsbBridge* host = HostFallback()) return host->jSendData(data, len);
    jclass cls = nullptr;
    JNIEnv* env = Reach(cls, true, ANDROID_LOG_INFO);
    if (!env) return -1;
    jmethodID m = StaticMethod(env, cls, "sendData", "([BI)I");
    if (!m || len > 0x7FFFFFFF) return -1;
    jbyteArray array = env->NewByteArray(static_cast<jsize>(len));
    if (ClearedException(env) || !array) return -1;
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(len), reinterpret_cast<const jbyte*>(data));
    int64_t result = -1;
    if (!ClearedException(env)) {
        jint r = env->CallStaticIntMethod(cls, m, array, static_cast<jint>(len));
        result = ClearedException(env) ? -1 : r;
    }
    env->DeleteLocalRef(array);
    return result;
}

int64_t JniOtg::jRecvData(uint8_t* buffer, uint32_t len, const char* unused) {
    if (UsbBridge* host = HostFallback()) return host->jRecvData(buffer, len, unused);
    jclass cls = nullptr;
    JNIEnv* env = Reach(cls, false, 0);
    if (!env) return -1;
    jmethodID m = StaticMethod(env, cls, "receiveData", "(I)[B");
    if (!m) return -1;
    auto array = static_cast<jbyteArray>(env->CallStaticObjectMethod(cls, m, static_cast<jint>(len)));
    if (ClearedException(env) || !array) return -1;
    jsize n = env->GetArrayLength(array);
    int64_t result = -1;
    // An empty message, or one longer than asked for, is refused.
    if (n > 0 && static_cast<uint32_t>(n) <= len) {
        env->GetByteArrayRegion(array, 0, n, reinterpret_cast<jbyte*>(buffer));
        if (!ClearedException(env)) result = n;
    }
    env->DeleteLocalRef(array);
    return result;
}
