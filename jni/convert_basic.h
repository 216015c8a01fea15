// Conversions of plain Java values (arrays, boxed numbers, strings, versions,
// dates) to PKCS#11 values and back. Java to native: 0 on success, non-zero
// with a Java exception pending; the buffers belong to the arena. Native to
// Java: a new local reference, or null (with an exception pending unless the
// native value itself was null).
#ifndef KV_JNI_CONVERT_BASIC_H
#define KV_JNI_CONVERT_BASIC_H

#include <jni.h>

#include "jni_support.h"
#include "pkcs11.h"

int jByteArrayToCKByteArray(JNIEnv* env, jbyteArray array, NativeArena& arena, CK_BYTE_PTR* out, CK_ULONG* length);
int jBooleanArrayToCKBBoolArray(JNIEnv* env, jbooleanArray array, NativeArena& arena, CK_BBOOL** out, CK_ULONG* length);
// The length is the element count.
int jLongArrayToCKULongArray(JNIEnv* env, jlongArray array, NativeArena& arena, CK_ULONG_PTR* out, CK_ULONG* length);
int jIntArrayToCKULongArray(JNIEnv* env, jintArray array, NativeArena& arena, CK_ULONG_PTR* out, CK_ULONG* length);
// Each character narrowed to its low 8 bits.
int jCharArrayToCKCharArray(JNIEnv* env, jcharArray array, NativeArena& arena, CK_CHAR_PTR* out, CK_ULONG* length);
int jCharArrayToCKUTF8CharArray(JNIEnv* env, jcharArray array, NativeArena& arena, CK_UTF8CHAR_PTR* out,
                                CK_ULONG* length);
// Like jCharArrayToCKUTF8CharArray, but a character above U+00FF is refused
// with PKCS11Exception(`refusal`) instead of being narrowed.
int jCharArrayToCKLatin1Array(JNIEnv* env, jcharArray array, NativeArena& arena, CK_UTF8CHAR_PTR* out, CK_ULONG* length,
                              CK_RV refusal);
// Modified UTF-8, zero-terminated; the length leaves the terminator out.
int jStringToCKUTF8CharArray(JNIEnv* env, jstring text, NativeArena& arena, CK_UTF8CHAR_PTR* out, CK_ULONG* length);

jbyteArray ckByteArrayToJByteArray(JNIEnv* env, const CK_BYTE* bytes, CK_ULONG length);
jlongArray ckULongArrayToJLongArray(JNIEnv* env, const CK_ULONG* values, CK_ULONG count);
jcharArray ckCharArrayToJCharArray(JNIEnv* env, const CK_CHAR* chars, CK_ULONG length);
jcharArray ckUTF8CharArrayToJCharArray(JNIEnv* env, const CK_UTF8CHAR* chars, CK_ULONG length);
jobject ckBBoolPtrToJBooleanObject(JNIEnv* env, const CK_BBOOL* value);
jobject ckULongPtrToJLongObject(JNIEnv* env, const CK_ULONG* value);
jobject ckVersionPtrToJVersion(JNIEnv* env, const CK_VERSION* version);
jobject ckDatePtrToJDateObject(JNIEnv* env, const CK_DATE* date);

// Boxed Java values to new native values; null after throwing.
CK_BBOOL* jBooleanObjectToCKBBoolPtr(JNIEnv* env, jobject value, NativeArena& arena);
CK_BYTE* jByteObjectToCKBytePtr(JNIEnv* env, jobject value, NativeArena& arena);
CK_CHAR* jCharObjectToCKCharPtr(JNIEnv* env, jobject value, NativeArena& arena);
CK_ULONG* jIntegerObjectToCKULongPtr(JNIEnv* env, jobject value, NativeArena& arena);
CK_ULONG* jLongObjectToCKULongPtr(JNIEnv* env, jobject value, NativeArena& arena);
CK_VERSION* jVersionToCKVersionPtr(JNIEnv* env, jobject version, NativeArena& arena);
CK_DATE* jDateObjectPtrToCKDatePtr(JNIEnv* env, jobject date, NativeArena& arena);

// Any supported Java value (boxed numbers, primitive arrays, String,
// CK_DATE) to its native form and byte length; another class throws
// PKCS11RuntimeException naming it.
int jObjectToPrimitiveCKObjectPtrPtr(JNIEnv* env, jobject value, NativeArena& arena, CK_VOID_PTR* out,
                                     CK_ULONG* length);

// 1 when `obj` is an instance of the class, 0 when not, -1 with an exception pending.
int IsInstance(JNIEnv* env, jobject obj, const char* className);

#endif
