#include "alg_factory.h"

#include "itoken.h"

namespace {

// CKA_TOKEN of the object; false when absent.
CK_RV ReadTokenFlag(const ObjPtr& obj, bool& onToken) {
    onToken = false;
    if (!obj) return CKR_OK;
    uint8_t flag = 0;
    uint32_t len = 1;
    CK_RV rv = obj->GetAttr(CKA_TOKEN, &flag, &len);
    if (rv) return rv;
    onToken = flag != 0;
    return CKR_OK;
}

}  // namespace

std::map<AlgKey, SoftCreator>& AlgFactory::GetSoftCreators() {
    static std::map<AlgKey, SoftCreator> creators;
    return creators;
}

bool AlgFactory::RegisterSoftAlg(CK_MECHANISM_TYPE mechanism, SoftCreator creator) {
    Alg* prototype = creator ? creator() : nullptr;
    if (!prototype) return false;
    KV_MECH_FUNC_E func = prototype->GetFunc();
    delete prototype;
    GetSoftCreators()[{mechanism, func}] = creator;
    return true;
}

bool AlgFactory::RegisterHardAlg(CK_MECHANISM_TYPE mechanism, HardCreator creator) {
    Alg* prototype = creator ? creator(token_) : nullptr;
    if (!prototype) return false;
    KV_MECH_FUNC_E func = prototype->GetFunc();
    delete prototype;
    hardCreators_[{mechanism, func}] = creator;
    return true;
}

CK_RV AlgFactory::GetMechanismList(CK_MECHANISM_TYPE* list, CK_ULONG* count) {
    return token_ ? token_->GetMechanismList(list, count) : CKR_GENERAL_ERROR;
}

CK_RV AlgFactory::GetMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    return token_ ? token_->GetMechanismInfo(type, info) : CKR_GENERAL_ERROR;
}

CK_RV AlgFactory::CreateSoftAlg(const CK_MECHANISM* m, KV_MECH_FUNC_E func, Alg** out) {
    if (!m || !out) return CKR_ARGUMENTS_BAD;
    auto& creators = GetSoftCreators();
    auto it = creators.find({m->mechanism, func});
    if (it == creators.end()) return RV_NOT_SUPPORTED;
    if (!it->second) return CKR_GENERAL_ERROR;
    *out = it->second();
    return *out ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV AlgFactory::CreateHardAlg(const CK_MECHANISM* m, KV_MECH_FUNC_E func, Alg** out) {
    if (!token_) return CKR_GENERAL_ERROR;
    if (!m || !out) return CKR_ARGUMENTS_BAD;
    auto it = hardCreators_.find({m->mechanism, func});
    if (it == hardCreators_.end()) return RV_NOT_SUPPORTED;
    if (!it->second) return CKR_GENERAL_ERROR;
    *out = it->second(token_);
    return *out ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV AlgFactory::CreateAndInitMultiPartAlg(const CK_MECHANISM* m, ObjPtr key, KV_MECH_FUNC_E func, Alg** out) {
    if (!out) return CKR_ARGUMENTS_BAD;
    *out = nullptr;
    bool hard = false;
    if (key) {
        CK_RV rv = ReadTokenFlag(key, hard);
        if (rv) return rv;
        uint32_t ref = 0, len = sizeof ref;
        if (key->GetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, &len) != CKR_OK) ref = 0;
        hard = hard && ref != 0;
    }
    CK_RV rv = hard ? CreateHardAlg(m, func, out) : CreateSoftAlg(m, func, out);
    if (rv) return rv;
    auto* multi = dynamic_cast<AlgMultiPart*>(*out);
    if (!multi) return CKR_GENERAL_ERROR;
    return multi->Init(m, key);
}

#define KV_MULTIPART_CREATOR(Name, Func) \
    CK_RV AlgFactory::Name(const CK_MECHANISM* m, ObjPtr key, Alg** out) { \
        return CreateAndInitMultiPartAlg(m, key, Func, out);              \
    }
KV_MULTIPART_CREATOR(CreateEncAlg, MECH_FUNC_ENCRYPT)
KV_MULTIPART_CREATOR(CreateDecAlg, MECH_FUNC_DECRYPT)
KV_MULTIPART_CREATOR(CreateSignAlg, MECH_FUNC_SIGN)
KV_MULTIPART_CREATOR(CreateVerifyAlg, MECH_FUNC_VERIFY)
KV_MULTIPART_CREATOR(CreateSignRecoveryAlg, MECH_FUNC_SIGN_RECOVER)
KV_MULTIPART_CREATOR(CreateVerifyRecoveryAlg, MECH_FUNC_VERIFY_RECOVER)
#undef KV_MULTIPART_CREATOR

CK_RV AlgFactory::CreateDigestAlg(const CK_MECHANISM* m, Alg** out) {
    if (!out) return CKR_ARGUMENTS_BAD;
    *out = nullptr;
    CK_RV rv = CreateSoftAlg(m, MECH_FUNC_DIGEST, out);
    if (rv) return rv;
    auto* multi = dynamic_cast<AlgMultiPart*>(*out);
    return multi ? multi->Init(m, ObjPtr()) : CKR_GENERAL_ERROR;
}

template <class Family, class... Objects>
CK_RV AlgFactory::CreateKeyAlg(const CK_MECHANISM* m, KV_MECH_FUNC_E func, const ObjPtr& decider, Alg** out,
                               Objects&&... objects) {
    if (!out) return CKR_ARGUMENTS_BAD;
    *out = nullptr;
    bool hard = false;
    CK_RV rv = ReadTokenFlag(decider, hard);
    if (rv) return rv;
    Alg* created = nullptr;
    rv = hard ? CreateHardAlg(m, func, &created) : CreateSoftAlg(m, func, &created);
    if (rv) return rv;
    auto* family = dynamic_cast<Family*>(created);
    rv = family ? family->Init(m, std::forward<Objects>(objects)...) : CKR_GENERAL_ERROR;
    if (rv) {
        delete created;
        return rv;
    }
    *out = created;
    return CKR_OK;
}

CK_RV AlgFactory::CreateGenerateKeyAlg(const CK_MECHANISM* m, ObjPtr newKey, Alg** out) {
    return CreateKeyAlg<AlgGenerateKey>(m, MECH_FUNC_GENERATE_KEY, newKey, out, newKey);
}

CK_RV AlgFactory::CreateGenerateKeyPairAlg(const CK_MECHANISM* m, ObjPtr publicKey, ObjPtr privateKey, Alg** out) {
    return CreateKeyAlg<AlgGenerateKeyPair>(m, MECH_FUNC_GENERATE_KEY_PAIR, privateKey, out, publicKey, privateKey);
}

CK_RV AlgFactory::CreateWrapAlg(const CK_MECHANISM* m, ObjPtr wrappingKey, ObjPtr keyToWrap, AlgMultiPart* cipher,
                                Alg** out) {
    return CreateKeyAlg<AlgWrap>(m, MECH_FUNC_WRAP, keyToWrap, out, wrappingKey, keyToWrap, cipher);
}

CK_RV AlgFactory::CreateUnwrapAlg(const CK_MECHANISM* m, ObjPtr unwrappingKey, ObjPtr newKey, AlgMultiPart* cipher,
                                  Alg** out) {
    return CreateKeyAlg<AlgUnwrap>(m, MECH_FUNC_UNWRAP, newKey, out, unwrappingKey, newKey, cipher);
}

CK_RV AlgFactory::CreateDeriveAlg(const CK_MECHANISM* m, ObjPtr baseKey, ObjPtr newKey, Alg** out) {
    return CreateKeyAlg<AlgDerive>(m, MECH_FUNC_DERIVE, newKey, out, baseKey, newKey);
}

CK_RV AlgFactory::CreateImportKeyAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out) {
    return CreateKeyAlg<AlgImportKey>(m, MECH_FUNC_IMPORT_KEY, key, out, key);
}
