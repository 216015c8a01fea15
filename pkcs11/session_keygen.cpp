// Secret key and key pair generation: the new objects are built from the
// caller's templates with the generation defaults, pass the access rules,
// are filled by the mechanism (on the token or in the library, as the
// factory decides) and filed; a pair is filed whole or not at all.
#include <algorithm>
#include <vector>

#include "attribute_policy.h"
#include "alg_factory.h"
#include "icontainer_manager.h"
#include "iobject_manager.h"
#include "key_admission.h"
#include "key_rules.h"
#include "obj_factory.h"
#include "p11_env.h"
#include "session_base.h"
#include "session_manager.h"
#include "session_slot.h"
#include "template_rules.h"

namespace {

constexpr CK_MECHANISM_TYPE kVendorKeyGenA = 0x80000021UL;
constexpr CK_MECHANISM_TYPE kVendorKeyGenB = 0x80000029UL;

// The key type a secret-key generation mechanism makes; false for a
// mechanism that generates no secret key. The vendor mechanisms have no
// key type of their own: their templates must name one.
bool SecretKeyTypeOf(CK_MECHANISM_TYPE mechanism, CK_KEY_TYPE& keyType, bool& known) {
    known = true;
    switch (mechanism) {
        case CKM_RC2_KEY_GEN: keyType = CKK_RC2; return true;
        case CKM_RC4_KEY_GEN: keyType = CKK_RC4; return true;
        case CKM_DES_KEY_GEN: keyType = CKK_DES; return true;
        case CKM_DES3_KEY_GEN: keyType = CKK_DES3; return true;
        case CKM_GENERIC_SECRET_KEY_GEN: keyType = CKK_GENERIC_SECRET; return true;
        case CKM_AES_KEY_GEN: keyType = CKK_AES; return true;
        case kVendorKeyGenA:
        case kVendorKeyGenB: known = false; return true;
        default: return false;
    }
}

// The key type of a key pair mechanism whose templates are completed here.
bool PairKeyTypeOf(CK_MECHANISM_TYPE mechanism, CK_KEY_TYPE& keyType) {
    switch (mechanism) {
        case CKM_RSA_PKCS_KEY_PAIR_GEN: keyType = CKK_RSA; return true;
        case CKM_EC_KEY_PAIR_GEN: keyType = CKK_EC; return true;
        case CKM_DH_PKCS_KEY_PAIR_GEN: keyType = CKK_DH; return true;
        default: return false;
    }
}

// A caller's template with CKA_CLASS and CKA_KEY_TYPE appended when it
// lacks them; the values live as long as the copy.
class CompletedTemplate {
public:
    CompletedTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count) : entries_(tmpl, tmpl + count) {}
    CompletedTemplate(const CompletedTemplate&) = delete;
    CompletedTemplate& operator=(const CompletedTemplate&) = delete;

    void Complete(CK_OBJECT_CLASS cls, const CK_KEY_TYPE* keyType) {
        cls_ = cls;
        if (!Has(CKA_CLASS)) entries_.push_back({CKA_CLASS, &cls_, sizeof cls_});
        if (keyType && !Has(CKA_KEY_TYPE)) {
            keyType_ = *keyType;
            entries_.push_back({CKA_KEY_TYPE, &keyType_, sizeof keyType_});
        }
    }
    ObjPtr Build() const { return ObjFactory::CreateObject(entries_.data(), entries_.size()); }
    const CK_ATTRIBUTE* data() const { return entries_.data(); }
    CK_ULONG size() const { return entries_.size(); }

private:
    bool Has(CK_ATTRIBUTE_TYPE type) const {
        return std::any_of(entries_.begin(), entries_.end(), [type](const CK_ATTRIBUTE& a) { return a.type == type; });
    }

    std::vector<CK_ATTRIBUTE> entries_;
    CK_ULONG cls_ = 0;
    CK_ULONG keyType_ = 0;
};

}  // namespace

CK_RV CSessionBase::FilePublicHalf(Slot& slot, const ObjPtr& publicKey, const ObjPtr& privateKey,
                                   CK_OBJECT_HANDLE_PTR phPublic) {
    bool publicOnToken = false, privateOnToken = false;
    if (ReadFlag(publicKey, CKA_TOKEN, publicOnToken) != CKR_OK ||
        ReadFlag(privateKey, CKA_TOKEN, privateOnToken) != CKR_OK)
        return CKR_GENERAL_ERROR;
    IContainerManager* containers = publicOnToken && privateOnToken ? slot.GetContainerManager() : nullptr;
    uint32_t index = 0, usage = 0, type = 0;
    if (!containers || containers->GetObjContainer(privateKey, &index, &usage, &type) != 0)
        return FileObject(slot, publicKey, phPublic);
    // Beside its private half, whatever its own usage flags say: the
    // container rules pair no EC keys by value.
    const uint32_t publicType = KV_OBJ_PUBLIC_KEY;
    const CK_RV rv = containers->AddObj(publicKey, &index, &usage, &publicType);
    if (rv) {
        RemoveKeyFile(slot, publicKey);
        return rv;
    }
    *phPublic = publicKey->GetHandle();
    return CKR_OK;
}

void CSessionBase::WithdrawObject(Slot& slot, const ObjPtr& obj) {
    const uint32_t handle = obj->GetHandle();
    if (handle == 0) return;
    bool onToken = false;
    if (ReadFlag(obj, CKA_TOKEN, onToken) != CKR_OK) onToken = false;
    IObjectManager* objects = nullptr;
    if (onToken) {
        objects = slot.GetObjectManager();
    } else if (auto sessions = KVEnv::GetCP11SessionManager()) {
        objects = &sessions->SessionObjects();
    }
    if (objects && objects->GetObject(handle).get() == obj.get()) objects->DestroyObject(obj);
    sessionObjects.erase(std::remove(sessionObjects.begin(), sessionObjects.end(), handle), sessionObjects.end());
}

CK_RV CSessionBase::GenerateKey(CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                                CK_OBJECT_HANDLE_PTR phKey) {
    CK_RV rv = CheckNewKeyTemplate(ReadWrite(), SecurityOfficer(), tmpl, count);
    if (rv) return rv;
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    Slot& slot = *frame.slot;
    if ((rv = TokenKeyNeedsUser(slot, TemplateFlag(tmpl, count, CKA_TOKEN)))) return rv;
    if ((rv = frame.Refresh(true, true)) || (rv = CheckNewKeySpace(slot, tmpl, count))) return rv;
    CK_KEY_TYPE keyType = 0;
    bool keyTypeKnown = false;
    if (!SecretKeyTypeOf(mechanism->mechanism, keyType, keyTypeKnown)) return CKR_MECHANISM_INVALID;

    CompletedTemplate completed(tmpl, count);
    completed.Complete(CKO_SECRET_KEY, keyTypeKnown ? &keyType : nullptr);
    ObjPtr key = completed.Build();
    if (!key) return CKR_TEMPLATE_INCONSISTENT;
    uint32_t cls = 0;
    if (ReadULong(key, CKA_CLASS, cls) != CKR_OK) return CKR_GENERAL_ERROR;
    if (cls != CKO_SECRET_KEY) return CKR_TEMPLATE_INCONSISTENT;
    if ((rv = AdmitNewKey(slot, key, tmpl, count, ReadWrite())) || (rv = StartKeyHistory(key, true))) return rv;

    AlgFactory* factory = slot.GetAlgFactory();
    if (!factory) return CKR_GENERAL_ERROR;
    rv = KeepCreated(generateKeyAlg_, [&](Alg** out) { return factory->CreateGenerateKeyAlg(mechanism, key, out); });
    if (rv) return rv;
    if ((rv = generateKeyAlg_->Do(nullptr, 0, nullptr, nullptr))) return TemplateValuesRv(rv);
    rv = FileObject(slot, key, phKey);
    if (rv) WithdrawObject(slot, key);
    return rv;
}

CK_RV CSessionBase::GenerateKeyPair(CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR publicTmpl, CK_ULONG publicCount,
                                    CK_ATTRIBUTE_PTR privateTmpl, CK_ULONG privateCount,
                                    CK_OBJECT_HANDLE_PTR phPublic, CK_OBJECT_HANDLE_PTR phPrivate) {
    CK_RV rv = CheckNewKeyTemplate(ReadWrite(), SecurityOfficer(), publicTmpl, publicCount);
    if (rv || (rv = CheckNewKeyTemplate(ReadWrite(), SecurityOfficer(), privateTmpl, privateCount))) return rv;
    // The token's containers take no DH keys: a DH pair lives in the session,
    // and one asked for on the token is refused before anything is made.
    const bool eitherOnToken =
        TemplateFlag(publicTmpl, publicCount, CKA_TOKEN) || TemplateFlag(privateTmpl, privateCount, CKA_TOKEN);
    if (mechanism->mechanism == CKM_DH_PKCS_KEY_PAIR_GEN && eitherOnToken) return CKR_TEMPLATE_INCONSISTENT;
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    Slot& slot = *frame.slot;
    if ((rv = TokenKeyNeedsUser(slot, eitherOnToken)) || (rv = frame.Refresh(true, true))) return rv;
    // The token memory both halves take together.
    std::vector<CK_ATTRIBUTE> onToken;
    for (auto [t, n] : {std::make_pair(publicTmpl, publicCount), std::make_pair(privateTmpl, privateCount)}) {
        if (TemplateFlag(t, n, CKA_TOKEN)) onToken.insert(onToken.end(), t, t + n);
    }
    if (!onToken.empty() && (rv = CheckNewKeySpace(slot, onToken.data(), onToken.size()))) return rv;

    CK_KEY_TYPE keyType = 0;
    const bool completes = PairKeyTypeOf(mechanism->mechanism, keyType);
    CompletedTemplate publicCopy(publicTmpl, publicCount), privateCopy(privateTmpl, privateCount);
    if (completes) {
        publicCopy.Complete(CKO_PUBLIC_KEY, &keyType);
        privateCopy.Complete(CKO_PRIVATE_KEY, &keyType);
    }
    ObjPtr publicKey = publicCopy.Build(), privateKey = privateCopy.Build();
    if (!publicKey || !privateKey) return CKR_TEMPLATE_INCONSISTENT;
    // A pair of the mechanism's family, whatever the templates named.
    if (completes && ExpectULongs({{publicKey, CKA_CLASS, CKO_PUBLIC_KEY},
                                   {privateKey, CKA_CLASS, CKO_PRIVATE_KEY},
                                   {publicKey, CKA_KEY_TYPE, keyType},
                                   {privateKey, CKA_KEY_TYPE, keyType}},
                                  CKR_TEMPLATE_INCONSISTENT))
        return CKR_TEMPLATE_INCONSISTENT;

    if ((rv = AdmitNewKey(slot, publicKey, publicTmpl, publicCount, false)) ||
        (rv = AdmitNewKey(slot, privateKey, privateTmpl, privateCount, true)))
        return rv;
    bool isPrivate = false, alwaysAuthenticate = false;
    if (ReadFlag(privateKey, CKA_PRIVATE, isPrivate) != CKR_OK ||
        ReadFlag(privateKey, CKA_ALWAYS_AUTHENTICATE, alwaysAuthenticate) != CKR_OK)
        return CKR_GENERAL_ERROR;
    if (!isPrivate && alwaysAuthenticate) return CKR_TEMPLATE_INCONSISTENT;
    if ((rv = StartKeyHistory(publicKey, true)) || (rv = StartKeyHistory(privateKey, true))) return rv;

    AlgFactory* factory = slot.GetAlgFactory();
    if (!factory) return CKR_GENERAL_ERROR;
    rv = KeepCreated(generateKeyPairAlg_, [&](Alg** out) {
        return factory->CreateGenerateKeyPairAlg(mechanism, publicKey, privateKey, out);
    });
    if (rv) return rv;
    if ((rv = generateKeyPairAlg_->Do(nullptr, 0, nullptr, nullptr))) return TemplateValuesRv(rv);

    // The private half first, so the public one joins its container; a
    // half that cannot be filed takes the other one with it.
    rv = FileObject(slot, privateKey, phPrivate);
    if (rv) {
        WithdrawObject(slot, privateKey);
        RemoveKeyFile(slot, publicKey);
        return rv;
    }
    rv = FilePublicHalf(slot, publicKey, privateKey, phPublic);
    if (rv) {
        WithdrawObject(slot, publicKey);
        WithdrawObject(slot, privateKey);
        RemoveKeyFile(slot, privateKey);
    }
    return rv;
}
