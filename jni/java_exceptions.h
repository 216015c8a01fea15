// Java exceptions raised by the wrapper natives. Each routine leaves one
// exception pending in the calling thread; the native returns right after.
#ifndef KV_JNI_JAVA_EXCEPTIONS_H
#define KV_JNI_JAVA_EXCEPTIONS_H

#include <jni.h>

#include "kv_export.h"
#include "pkcs11.h"

extern "C" {
// Nothing for CKR_OK; otherwise a PKCS11Exception carrying rv. Returns rv.
KV_EXPORT CK_RV ckAssertReturnValueOK(JNIEnv* env, CK_RV rv);
KV_EXPORT void throwOutOfMemoryError(JNIEnv* env);
KV_EXPORT void throwDisconnectedRuntimeException(JNIEnv* env);
// A PKCS11RuntimeException with the message, or without one for null.
KV_EXPORT void throwPKCS11RuntimeException(JNIEnv* env, jstring message);
KV_EXPORT void throwIOException(JNIEnv* env, const char* message);
KV_EXPORT void throwIOExceptionUnicodeMessage(JNIEnv* env, const jchar* message);
KV_EXPORT void throwFileNotFoundException(JNIEnv* env, jstring message);
}

// A PKCS11RuntimeException with a fixed text.
void ThrowRuntime(JNIEnv* env, const char* message);

#endif
