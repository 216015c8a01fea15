// Mechanisms and their parameter objects from Java to native, the results a
// module leaves in a parameter copied back to Java, and the initialise
// arguments.
#ifndef KV_JNI_CONVERT_MECHANISM_H
#define KV_JNI_CONVERT_MECHANISM_H

#include <jni.h>

#include "jni_support.h"
#include "pkcs11.h"

// The Java class a mechanism parameter was converted from; it alone decides
// which native structure the block holds.
enum class ParamKind {
    None,
    Primitive,  // byte[], Long and every value of the generic conversion
    Version,
    RsaOaep,
    KeaDerive,
    Rc2Cbc,
    Rc2MacGeneral,
    Rc5,
    Rc5Cbc,
    Rc5MacGeneral,
    SkipjackPrivateWrap,
    SkipjackRelayx,
    Pbe,
    Pbkd2,
    KeyDerivationString,
    KeyWrapSetOaep,
    Ssl3MasterKeyDerive,
    Ssl3KeyMat,
    RsaPss,
    Ecdh1Derive,
    Ecdh2Derive,
    X942Dh1Derive,
    X942Dh2Derive,
    DesCbcEncryptData,
    AesCbcEncryptData,
};

// A converted mechanism. The parameter block and every buffer it points to
// belong to the arena and are wiped and freed with this object.
struct CkMechanism {
    CK_MECHANISM mechanism{};
    ParamKind kind = ParamKind::None;
    // Sizes of the buffers a module may write results into: the PBE
    // initialisation vector, the SET OAEP pX, the SSL client and server IVs
    // (each sized by ulIVSizeInBits, not by the Java arrays).
    CK_ULONG returnCapacity[2] = {};
    NativeArena arena;
};

// 0 on success, non-zero with a Java exception pending.
int jMechanismToCKMechanism(JNIEnv* env, jobject jMechanism, CkMechanism& out);
int jMechanismParameterToCKMechanismParameter(JNIEnv* env, jobject jParam, CkMechanism& out);

// Copy-backs after the module call, whatever its status: each does nothing
// unless the Java mechanism still names the native one and the parameter was
// built from the class the copy-back writes. Copies never run past the
// native buffer nor the Java array; the SSL IVs come back as new arrays of
// the length the parameters asked for.
void copyBackPBEInitializationVector(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism);
void copyBackSetUnwrappedKey(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism);
void copyBackClientVersion(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism);
void copyBackSSLKeyMatParams(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism);

// A CK_C_INITIALIZE_ARGS object to a native structure with no mutex
// callbacks (null for null). 0 on success.
int makeCKInitArgsAdapter(JNIEnv* env, jobject jInitArgs, NativeArena& arena, CK_C_INITIALIZE_ARGS** out);

#endif
