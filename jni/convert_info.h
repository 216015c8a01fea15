// The PKCS#11 information structures as new Java objects of the wrapper's
// classes (made without a constructor, then filled field by field). Null
// with a Java exception pending on failure.
#ifndef KV_JNI_CONVERT_INFO_H
#define KV_JNI_CONVERT_INFO_H

#include <jni.h>

#include "pkcs11.h"

jobject ckInfoPtrToJInfo(JNIEnv* env, const CK_INFO* info);
jobject ckSlotInfoPtrToJSlotInfo(JNIEnv* env, const CK_SLOT_INFO* info);
jobject ckTokenInfoPtrToJTokenInfo(JNIEnv* env, const CK_TOKEN_INFO* info);
jobject ckSessionInfoPtrToJSessionInfo(JNIEnv* env, const CK_SESSION_INFO* info);
jobject ckMechanismInfoPtrToJMechanismInfo(JNIEnv* env, const CK_MECHANISM_INFO* info);

#endif
