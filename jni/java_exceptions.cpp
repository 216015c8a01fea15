#include "java_exceptions.h"

#include "jni_support.h"

namespace {

constexpr const char* kPkcs11Exception = "iaik/pkcs/pkcs11/wrapper/PKCS11Exception";
constexpr const char* kRuntimeException = "iaik/pkcs/pkcs11/wrapper/PKCS11RuntimeException";

// Builds an object of `className` with the constructor `sig` and throws it.
// Any failure on the way leaves its own exception pending instead.
template <typename... Args>
void ThrowConstructed(JNIEnv* env, const char* className, const char* sig, Args... args) {
    LocalRef<jclass> cls(env, env->FindClass(className));
    if (!cls) return;
    jmethodID ctor = env->GetMethodID(cls.get(), "<init>", sig);
    if (!ctor) return;
    LocalRef<jthrowable> ex(env, static_cast<jthrowable>(env->NewObject(cls.get(), ctor, args...)));
    if (!ex) return;
    env->Throw(ex.get());
}

}  // namespace

extern "C" {

CK_RV ckAssertReturnValueOK(JNIEnv* env, CK_RV rv) {
    if (rv != CKR_OK) ThrowConstructed(env, kPkcs11Exception, "(J)V", static_cast<jlong>(rv));
    return rv;
}

void throwOutOfMemoryError(JNIEnv* env) { ThrowConstructed(env, "java/lang/OutOfMemoryError", "()V"); }

void throwDisconnectedRuntimeException(JNIEnv* env) { ThrowRuntime(env, "This object is not connected to a module."); }

void throwPKCS11RuntimeException(JNIEnv* env, jstring message) {
    if (message)
        ThrowConstructed(env, kRuntimeException, "(Ljava/lang/String;)V", message);
    else
        ThrowConstructed(env, kRuntimeException, "()V");
}

void throwIOException(JNIEnv* env, const char* message) {
    LocalRef<jclass> cls(env, env->FindClass("java/io/IOException"));
    if (cls) env->ThrowNew(cls.get(), message);
}

void throwIOExceptionUnicodeMessage(JNIEnv* env, const jchar* message) {
    static const jchar kEmpty = 0;
    if (!message) message = &kEmpty;
    jsize n = 0;
    while (message[n] != 0 && n < 0x7FFFFFFF) ++n;
    LocalRef<jstring> text(env, env->NewString(message, n));
    if (!text) return;
    ThrowConstructed(env, "java/io/IOException", "(Ljava/lang/String;)V", text.get());
}

void throwFileNotFoundException(JNIEnv* env, jstring message) {
    ThrowConstructed(env, "java/io/FileNotFoundException", "(Ljava/lang/String;)V", message);
}

}  // extern "C"

void ThrowRuntime(JNIEnv* env, const char* message) {
    LocalRef<jstring> text(env, env->NewStringUTF(message));
    if (text) throwPKCS11RuntimeException(env, text.get());
}
