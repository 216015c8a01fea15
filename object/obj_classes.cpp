#include "obj_classes.h"

#include "obj_factory.h"

#define KV_TRY(expr)                 \
    do {                             \
        CK_RV rv_ = (expr);          \
        if (rv_ != CKR_OK) return rv_; \
    } while (0)

CK_RV ObjStorage::CheckAttributes() {
    DefaultBool(CKA_TOKEN, false);
    DefaultBool(CKA_PRIVATE, false);
    DefaultBool(CKA_MODIFIABLE, true);
    DefaultEmpty(CKA_LABEL);
    return IObj::CheckAttributes();
}

CK_RV ObjData::CheckAttributes() {
    KV_TRY(Expect(CKA_CLASS, CKO_DATA));
    DefaultEmpty(CKA_APPLICATION);
    DefaultEmpty(CKA_OBJECT_ID);
    DefaultEmpty(CKA_VALUE);
    return ObjStorage::CheckAttributes();
}

CK_RV ObjCert::CheckAttributes() {
    KV_TRY(Expect(CKA_CLASS, CKO_CERTIFICATE));
    DefaultBool(CKA_TRUSTED, false);  // only the security officer marks a key or certificate trusted
    DefaultEmpty(static_cast<uint32_t>(CKA_VENDOR_CERT_ATTR));
    DefaultULong(CKA_CERTIFICATE_CATEGORY, 0);
    DefaultEmpty(CKA_CHECK_VALUE);
    DefaultEmpty(CKA_START_DATE);
    DefaultEmpty(CKA_END_DATE);
    return ObjStorage::CheckAttributes();
}

CK_RV ObjCertX509pubk::CheckAttributes() {
    KV_TRY(Expect(CKA_CERTIFICATE_TYPE, CKC_X_509));
    DefaultEmpty(CKA_ID);
    DefaultEmpty(CKA_VALUE);
    return ObjCert::CheckAttributes();
}

CK_RV ObjKey::CheckAttributes() {
    KV_TRY(Require(CKA_KEY_TYPE));
    DefaultEmpty(CKA_ID);
    DefaultEmpty(CKA_START_DATE);
    DefaultEmpty(CKA_END_DATE);
    DefaultBool(CKA_DERIVE, false);
    DefaultBool(CKA_LOCAL, false);
    return ObjStorage::CheckAttributes();
}

void ObjKeyPublic::PublicDefaults(bool encrypt, bool verify, bool verifyRecover, bool wrap) {
    DefaultBool(CKA_ENCRYPT, encrypt);
    DefaultBool(CKA_VERIFY, verify);
    DefaultBool(CKA_VERIFY_RECOVER, verifyRecover);
    DefaultBool(CKA_WRAP, wrap);
}

CK_RV ObjKeyPublic::CheckAttributes() {
    KV_TRY(Expect(CKA_CLASS, CKO_PUBLIC_KEY));
    DefaultEmpty(CKA_SUBJECT);
    for (uint32_t t : {CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP}) KV_TRY(Require(t));
    DefaultBool(CKA_TRUSTED, false);  // only the security officer marks a key or certificate trusted
    return ObjKey::CheckAttributes();
}

void ObjKeyPrivate::PrivateDefaults(bool sensitive, bool decrypt, bool sign, bool signRecover, bool unwrap,
                                    bool extractable, bool alwaysSensitive, bool neverExtractable) {
    DefaultBool(CKA_SENSITIVE, sensitive);
    DefaultBool(CKA_DECRYPT, decrypt);
    DefaultBool(CKA_SIGN, sign);
    DefaultBool(CKA_SIGN_RECOVER, signRecover);
    DefaultBool(CKA_UNWRAP, unwrap);
    DefaultBool(CKA_EXTRACTABLE, extractable);
    DefaultBool(CKA_ALWAYS_SENSITIVE, alwaysSensitive);
    DefaultBool(CKA_NEVER_EXTRACTABLE, neverExtractable);
}

CK_RV ObjKeyPrivate::CheckAttributes() {
    KV_TRY(ObjKey::CheckAttributes());
    uint32_t cls = 0, len = sizeof cls;
    KV_TRY(GetAttr(CKA_CLASS, &cls, &len));
    if (cls != CKO_PRIVATE_KEY) return CKR_TEMPLATE_INCONSISTENT;
    DefaultEmpty(CKA_SUBJECT);
    for (uint32_t t : {CKA_SENSITIVE, CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER, CKA_UNWRAP, CKA_EXTRACTABLE,
                       CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE})
        KV_TRY(Require(t));
    DefaultBool(CKA_WRAP_WITH_TRUSTED, false);
    DefaultBool(CKA_ALWAYS_AUTHENTICATE, false);
    return CKR_OK;
}

CK_RV ObjKeySecret::CheckAttributes() {
    KV_TRY(Expect(CKA_CLASS, CKO_SECRET_KEY));
    DefaultBool(CKA_SENSITIVE, false);
    DefaultBool(CKA_ENCRYPT, true);
    DefaultBool(CKA_DECRYPT, true);
    DefaultBool(CKA_SIGN, false);
    DefaultBool(CKA_VERIFY, false);
    DefaultBool(CKA_WRAP, false);
    DefaultBool(CKA_UNWRAP, false);
    DefaultBool(CKA_EXTRACTABLE, true);
    DefaultBool(CKA_ALWAYS_SENSITIVE, false);
    DefaultBool(CKA_NEVER_EXTRACTABLE, false);
    DefaultEmpty(CKA_VALUE);
    DefaultBool(CKA_WRAP_WITH_TRUSTED, false);
    DefaultBool(CKA_TRUSTED, false);  // only the security officer marks a key or certificate trusted
    return ObjKey::CheckAttributes();
}

CK_RV ObjKeyPublicRSA::CheckAttributes() {
    KV_TRY(Expect(CKA_KEY_TYPE, CKK_RSA));
    PublicDefaults(true, true, true, true);
    DefaultEmpty(CKA_MODULUS);
    DefaultULong(CKA_MODULUS_BITS, 0);
    DefaultEmpty(CKA_PUBLIC_EXPONENT);
    return ObjKeyPublic::CheckAttributes();
}

// EC public keys get empty curve parameters and point when absent, so the
// key-size look-up always finds CKA_EC_PARAMS.
CK_RV ObjKeyPublicEC::CheckAttributes() {
    KV_TRY(Expect(CKA_KEY_TYPE, CKK_EC));
    PublicDefaults(true, true, true, true);
    DefaultEmpty(CKA_EC_PARAMS);
    DefaultEmpty(CKA_EC_POINT);
    return ObjKeyPublic::CheckAttributes();
}

CK_RV ObjKeyPublicDH::CheckAttributes() {
    KV_TRY(Expect(CKA_KEY_TYPE, CKK_DH));
    PublicDefaults(false, false, false, false);
    DefaultBool(CKA_DERIVE, true);
    DefaultEmpty(CKA_PRIME);
    DefaultEmpty(CKA_BASE);
    DefaultEmpty(CKA_VALUE);
    return ObjKeyPublic::CheckAttributes();
}

CK_RV ObjKeyPrivateRSA::CheckAttributes() {
    KV_TRY(Expect(CKA_KEY_TYPE, CKK_RSA));
    PrivateDefaults(true, true, true, true, true, false, true, true);
    for (uint32_t t : {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2,
                       CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT})
        DefaultEmpty(t);
    return ObjKeyPrivate::CheckAttributes();
}

CK_RV ObjKeyPrivateEC::CheckAttributes() {
    KV_TRY(Expect(CKA_KEY_TYPE, CKK_EC));
    PrivateDefaults(true, false, true, false, false, false, true, true);
    DefaultEmpty(CKA_EC_PARAMS);
    DefaultEmpty(CKA_EC_POINT);
    return ObjKeyPrivate::CheckAttributes();
}

CK_RV ObjKeyPrivateDH::CheckAttributes() {
    KV_TRY(Expect(CKA_KEY_TYPE, CKK_DH));
    PrivateDefaults(true, false, false, false, false, false, true, true);
    DefaultBool(CKA_DERIVE, true);
    DefaultEmpty(CKA_PRIME);
    DefaultEmpty(CKA_BASE);
    DefaultEmpty(CKA_VALUE);
    DefaultEmpty(CKA_VALUE_BITS);
    return ObjKeyPrivate::CheckAttributes();
}

#define KV_SECRET_LEAF(Name, KeyType)                \
    CK_RV Name::CheckAttributes() {                  \
        KV_TRY(Expect(CKA_KEY_TYPE, KeyType));       \
        return ObjKeySecret::CheckAttributes();      \
    }
KV_SECRET_LEAF(ObjKeySecretGeneric, CKK_GENERIC_SECRET)
KV_SECRET_LEAF(ObjKeySecretRC2, CKK_RC2)
KV_SECRET_LEAF(ObjKeySecretRC4, CKK_RC4)
KV_SECRET_LEAF(ObjKeySecretDES, CKK_DES)
KV_SECRET_LEAF(ObjKeySecret3DES, CKK_DES3)
KV_SECRET_LEAF(ObjKeySecretAES, CKK_AES)
#undef KV_SECRET_LEAF

// Registrations at load: one creator per (class, subtype).
namespace {
template <class T>
CK_RV Create(kv::shared_ptr<IObj>& out) {
    out = kv::shared_ptr<IObj>(new T());
    return CKR_OK;
}
}  // namespace

#define KV_REGISTER(Name, Class, Subtype) \
    const bool is_registered_##Name = ObjFactory::RegistObjCreator(Class, Subtype, &Create<Name>);
KV_REGISTER(ObjData, CKO_DATA, 0)
KV_REGISTER(ObjCertX509pubk, CKO_CERTIFICATE, CKC_X_509)
KV_REGISTER(ObjKeyPublicRSA, CKO_PUBLIC_KEY, CKK_RSA)
KV_REGISTER(ObjKeyPublicDH, CKO_PUBLIC_KEY, CKK_DH)
KV_REGISTER(ObjKeyPublicEC, CKO_PUBLIC_KEY, CKK_EC)
KV_REGISTER(ObjKeyPrivateRSA, CKO_PRIVATE_KEY, CKK_RSA)
KV_REGISTER(ObjKeyPrivateDH, CKO_PRIVATE_KEY, CKK_DH)
KV_REGISTER(ObjKeyPrivateEC, CKO_PRIVATE_KEY, CKK_EC)
KV_REGISTER(ObjKeySecretGeneric, CKO_SECRET_KEY, CKK_GENERIC_SECRET)
KV_REGISTER(ObjKeySecretRC2, CKO_SECRET_KEY, CKK_RC2)
KV_REGISTER(ObjKeySecretRC4, CKO_SECRET_KEY, CKK_RC4)
KV_REGISTER(ObjKeySecretDES, CKO_SECRET_KEY, CKK_DES)
KV_REGISTER(ObjKeySecret3DES, CKO_SECRET_KEY, CKK_DES3)
KV_REGISTER(ObjKeySecretAES, CKO_SECRET_KEY, CKK_AES)
#undef KV_REGISTER
