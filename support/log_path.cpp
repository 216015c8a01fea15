#include "log_path.h"

#include <jni.h>

#include <cstring>
#include <mutex>
#include <string>

#include "android_log.h"

// Kept by the Java bridge when the VM loads the library; null otherwise.
JavaVM* CapturedVm();

namespace {

constexpr size_t kMaxDirectoryBytes = 268;
constexpr const char kFallbackDirectory[] = "/mnt/sdcard";
constexpr const char kLogFileName[] = "/tolvex.log";

bool ClearedException(JNIEnv* env) {
    if (!env->ExceptionCheck()) return false;
    env->ExceptionClear();
    return true;
}

// android.os.Environment.getExternalStorageDirectory().toString() as UTF-8,
// or "" when the VM, the thread's environment or any Java step is missing.
std::string ExternalStorageDirectory() {
    JavaVM* vm = CapturedVm();
    JNIEnv* env = nullptr;
    if (!vm || vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4) != JNI_OK || !env) return std::string();
    std::string directory;
    jclass environment = env->FindClass("android/os/Environment");
    if (ClearedException(env) || !environment) return directory;
    jmethodID getDir = env->GetStaticMethodID(environment, "getExternalStorageDirectory", "()Ljava/io/File;");
    jobject file = (ClearedException(env) || !getDir) ? nullptr : env->CallStaticObjectMethod(environment, getDir);
    if (ClearedException(env)) file = nullptr;
    jstring text = nullptr;
    if (file) {
        jclass fileClass = env->GetObjectClass(file);
        jmethodID toString = env->GetMethodID(fileClass, "toString", "()Ljava/lang/String;");
        if (!ClearedException(env) && toString) text = static_cast<jstring>(env->CallObjectMethod(file, toString));
        if (ClearedException(env)) text = nullptr;
        env->DeleteLocalRef(fileClass);
    }
    jbyteArray bytes = nullptr;
    if (text) {
        jclass stringClass = env->GetObjectClass(text);
        jmethodID getBytes = env->GetMethodID(stringClass, "getBytes", "(Ljava/lang/String;)[B");
        jstring charset = env->NewStringUTF("utf-8");
        if (!ClearedException(env) && getBytes && charset)
            bytes = static_cast<jbyteArray>(env->CallObjectMethod(text, getBytes, charset));
        if (ClearedException(env)) bytes = nullptr;
        if (charset) env->DeleteLocalRef(charset);
        env->DeleteLocalRef(stringClass);
    }
    if (bytes) {
        const jsize n = env->GetArrayLength(bytes);
        if (n >= 1 && static_cast<size_t>(n) <= kMaxDirectoryBytes) {
            char buffer[kMaxDirectoryBytes];
            env->GetByteArrayRegion(bytes, 0, n, reinterpret_cast<jbyte*>(buffer));
            if (!ClearedException(env)) directory.assign(buffer, strnlen(buffer, static_cast<size_t>(n)));
        }
        env->DeleteLocalRef(bytes);
    }
    if (text) env->DeleteLocalRef(text);
    if (file) env->DeleteLocalRef(file);
    env->DeleteLocalRef(environment);
    return directory;
}

}  // namespace

void getLogPath(char* dst, size_t dstLen) {
    if (!dst) return;
    static std::mutex mutex;
    static std::string cached;  // the directory, once Java has named it
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cached.empty()) {
            cached = ExternalStorageDirectory();
            if (!cached.empty()) KvLogPrint(ANDROID_LOG_INFO, kLogTag, "sdcard path = %s", cached.c_str());
        }
        path = (cached.empty() ? std::string(kFallbackDirectory) : cached) + kLogFileName;
    }
    if (path.size() + 1 <= dstLen) std::memcpy(dst, path.c_str(), path.size() + 1);
}
