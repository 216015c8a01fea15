// Attributes and templates between Java (CK_ATTRIBUTE objects, arrays of
// them) and native CK_ATTRIBUTE arrays.
#ifndef KV_JNI_CONVERT_ATTRIBUTE_H
#define KV_JNI_CONVERT_ATTRIBUTE_H

#include <jni.h>

#include "jni_support.h"
#include "pkcs11.h"

// How far templates nest: the value of an array attribute of a Java
// template is a template one level down. At most kMaxTemplateDepth levels,
// and at most kMaxNestedAttributes attributes in all nested levels of one
// conversion together.
constexpr int kMaxTemplateDepth = 4;
constexpr CK_ULONG kMaxNestedAttributes = 1024;

// Whether an attribute's value is a template, an array of CK_ATTRIBUTE:
// every array attribute (CKF_ARRAY_ATTRIBUTE) but CKA_ALLOWED_MECHANISMS,
// which is an array of CK_MECHANISM_TYPE.
bool IsTemplateAttribute(CK_ATTRIBUTE_TYPE type);

// One Java attribute; its value converted by its Java class, except that the
// value of a template attribute must be null or a CK_ATTRIBUTE[], converted
// with the same rules within the nesting bounds above; anything else there
// is refused with PKCS11Exception(CKR_ATTRIBUTE_VALUE_INVALID). 0 on
// success, non-zero with an exception pending.
int jAttributeToCKAttribute(JNIEnv* env, jobject jAttribute, NativeArena& arena, CK_ATTRIBUTE* out);
// A Java template (null: null and 0); a null element is refused with
// PKCS11RuntimeException.
int jAttributeArrayToCKAttributeArray(JNIEnv* env, jobjectArray jTemplate, NativeArena& arena, CK_ATTRIBUTE_PTR* out,
                                      CK_ULONG* count);

// Native to Java. The value's form follows the attribute type; a value too
// short for its type comes back as byte[], a null or empty value as null. A
// template's entries are converted, but a template inside one comes back
// as null.
jobject ckAttributeValueToJObject(JNIEnv* env, const CK_ATTRIBUTE* attribute);
jobject ckAttributePtrToJAttribute(JNIEnv* env, const CK_ATTRIBUTE* attribute);
// `byteLength` bytes of CK_ATTRIBUTE entries (whole entries only).
jobjectArray ckAttributeArrayToJAttributeArray(JNIEnv* env, const CK_ATTRIBUTE* attributes, CK_ULONG byteLength);

// The type of each element of a Java template, without converting values.
int jAttributeArrayTypes(JNIEnv* env, jobjectArray jTemplate, CK_ATTRIBUTE_TYPE* types, jsize count);

#endif
