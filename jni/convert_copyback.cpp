// Results a module leaves in a converted mechanism parameter, written back
// into the Java parameter object.
#include <algorithm>
#include <string>

#include "array_copy.h"
#include "ck_params.h"
#include "convert_basic.h"
#include "convert_mechanism.h"

namespace {

constexpr const char* kPackage = "iaik/pkcs/pkcs11/wrapper/";
constexpr const char* kVersionSig = "Liaik/pkcs/pkcs11/wrapper/CK_VERSION;";
constexpr const char* kKeyMatOutSig = "Liaik/pkcs/pkcs11/wrapper/CK_SSL3_KEY_MAT_OUT;";

// The Java parameter object when the copy-back applies: the Java mechanism
// still names the native one, the native parameter was built from `kind`,
// and the Java parameter is still an object of that class.
jobject CopyBackTarget(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism, ParamKind kind,
                       const char* className) {
    if (!jMechanism || mechanism.kind != kind || !mechanism.mechanism.pParameter) return nullptr;
    FieldReader reader(env, jMechanism);
    jlong type = 0;
    jobject raw = nullptr;
    if (!reader.Long("mechanism", type) || static_cast<CK_MECHANISM_TYPE>(type) != mechanism.mechanism.mechanism)
        return nullptr;
    if (!reader.Object("pParameter", "Ljava/lang/Object;", raw) || !raw) return nullptr;
    LocalRef<jobject> parameter(env, raw);
    std::string name = std::string(kPackage) + className;
    if (IsInstance(env, parameter.get(), name.c_str()) != 1) return nullptr;
    return parameter.release();
}

// Overwrites the leading elements of the array in an object field with
// native bytes: as many as both the array and `available` hold. Nothing
// for a null field.
template <typename JArray>
void CopyInto(JNIEnv* env, jobject owner, const char* name, const char* sig, const CK_BYTE* bytes,
              CK_ULONG available) {
    if (!bytes) return;
    FieldReader reader(env, owner);
    jobject raw = nullptr;
    if (!reader.Object(name, sig, raw) || !raw) return;
    LocalRef<JArray> array(env, static_cast<JArray>(raw));
    const size_t n = std::min<size_t>(arraycopy::Length(env, array.get()), available);
    arraycopy::IntoJava(env, bytes, available, n, array.get());
}

// Replaces the byte[] in an object field with a new array of the `length`
// native bytes. Nothing for null bytes.
void ReplaceBytes(JNIEnv* env, FieldWriter& writer, const char* name, const CK_BYTE* bytes, CK_ULONG length) {
    if (!bytes || Pending(env)) return;
    LocalRef<jbyteArray> array(env, arraycopy::NewJava<jbyteArray>(env, bytes, length, length));
    if (array) writer.Object(name, "[B", array.get());
}

}  // namespace

void copyBackPBEInitializationVector(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism) {
    LocalRef<jobject> target(env, CopyBackTarget(env, jMechanism, mechanism, ParamKind::Pbe, "CK_PBE_PARAMS"));
    if (!target) return;
    const auto* params = static_cast<const ckp::CK_PBE_PARAMS*>(mechanism.mechanism.pParameter);
    CopyInto<jcharArray>(env, target.get(), "pInitVector", "[C", params->pInitVector, mechanism.returnCapacity[0]);
}

void copyBackSetUnwrappedKey(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism) {
    LocalRef<jobject> target(
        env, CopyBackTarget(env, jMechanism, mechanism, ParamKind::KeyWrapSetOaep, "CK_KEY_WRAP_SET_OAEP_PARAMS"));
    if (!target) return;
    const auto* params = static_cast<const ckp::CK_KEY_WRAP_SET_OAEP_PARAMS*>(mechanism.mechanism.pParameter);
    if (!params->pX) return;
    FieldWriter writer(env, target.get());
    if (!writer.Byte("bBC", static_cast<jbyte>(params->bBC))) return;
    CopyInto<jbyteArray>(env, target.get(), "pX", "[B", params->pX,
                         std::min(params->ulXLen, mechanism.returnCapacity[0]));
}

void copyBackClientVersion(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism) {
    LocalRef<jobject> target(env, CopyBackTarget(env, jMechanism, mechanism, ParamKind::Ssl3MasterKeyDerive,
                                                 "CK_SSL3_MASTER_KEY_DERIVE_PARAMS"));
    if (!target) return;
    const auto* params = static_cast<const ckp::CK_SSL3_MASTER_KEY_DERIVE_PARAMS*>(mechanism.mechanism.pParameter);
    if (!params->pVersion) return;
    FieldReader reader(env, target.get());
    jobject raw = nullptr;
    if (!reader.Object("pVersion", kVersionSig, raw) || !raw) return;
    LocalRef<jobject> version(env, raw);
    FieldWriter writer(env, version.get());
    if (writer.Byte("major", static_cast<jbyte>(params->pVersion->major)))
        writer.Byte("minor", static_cast<jbyte>(params->pVersion->minor));
}

void copyBackSSLKeyMatParams(JNIEnv* env, jobject jMechanism, const CkMechanism& mechanism) {
    LocalRef<jobject> target(
        env, CopyBackTarget(env, jMechanism, mechanism, ParamKind::Ssl3KeyMat, "CK_SSL3_KEY_MAT_PARAMS"));
    if (!target) return;
    const auto* params = static_cast<const ckp::CK_SSL3_KEY_MAT_PARAMS*>(mechanism.mechanism.pParameter);
    const ckp::CK_SSL3_KEY_MAT_OUT* out = params->pReturnedKeyMaterial;
    if (!out) return;
    FieldReader reader(env, target.get());
    jobject raw = nullptr;
    if (!reader.Object("pReturnedKeyMaterial", kKeyMatOutSig, raw) || !raw) return;
    LocalRef<jobject> keyMat(env, raw);
    FieldWriter writer(env, keyMat.get());
    if (!writer.Long("hClientMacSecret", static_cast<jlong>(out->hClientMacSecret)) ||
        !writer.Long("hServerMacSecret", static_cast<jlong>(out->hServerMacSecret)) ||
        !writer.Long("hClientKey", static_cast<jlong>(out->hClientKey)) ||
        !writer.Long("hServerKey", static_cast<jlong>(out->hServerKey)))
        return;
    // The IVs, as long as the parameters asked for, in new arrays.
    ReplaceBytes(env, writer, "pIVClient", out->pIVClient, mechanism.returnCapacity[0]);
    ReplaceBytes(env, writer, "pIVServer", out->pIVServer, mechanism.returnCapacity[1]);
}
