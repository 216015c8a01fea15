// Attributes and templates between Java (CK_ATTRIBUTE objects, arrays of
// them) and native CK_ATTRIBUTE arrays.
#ifndef KV_JNI_CONVERT_ATTRIBUTE_H
#define KV_JNI_CONVERT_ATTRIBUTE_H

#include <jni.h>

#include "jni_support.h"
#include "pkcs11.h"

// Whether an attribute's value is itself a template (CKA_WRAP_TEMPLATE,
// CKA_UNWRAP_TEMPLATE).
bool IsTemplateAttribute(CK_ATTRIBUTE_TYPE type);

// One Java attribute; its value converted by its Java class (templates for
// the template attributes). 0 on success, non-zero with an exception pending.
int jAttributeToCKAttribute(JNIEnv* env, jobject jAttribute, NativeArena& arena, CK_ATTRIBUTE* out);
// A Java template (null: null and 0); a null element, a template value that
// is not a CK_ATTRIBUTE[] or one nested inside another is refused with
// PKCS11RuntimeException.
int jAttributeArrayToCKAttributeArray(JNIEnv* env, jobjectArray jTemplate, NativeArena& arena, CK_ATTRIBUTE_PTR* out,
                                      CK_ULONG* count);

// Native to Java. The value's form follows the attribute type; a value too
// short for its type comes back as byte[], a null or empty value as null.
jobject ckAttributeValueToJObject(JNIEnv* env, const CK_ATTRIBUTE* attribute);
jobject ckAttributePtrToJAttribute(JNIEnv* env, const CK_ATTRIBUTE* attribute);
// `byteLength` bytes of CK_ATTRIBUTE entries (whole entries only).
jobjectArray ckAttributeArrayToJAttributeArray(JNIEnv* env, const CK_ATTRIBUTE* attributes, CK_ULONG byteLength);

// The type of each element of a Java template, without converting values.
int jAttributeArrayTypes(JNIEnv* env, jobjectArray jTemplate, CK_ATTRIBUTE_TYPE* types, jsize count);

#endif
