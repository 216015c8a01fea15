// Wrapping, unwrapping and derivation. The cipher of wrapping and
// unwrapping is a mechanism object of its own, so an encryption or
// decryption the session has in progress goes on undisturbed. New keys pass
// the rules of key generation before anything is written; token keys are
// written into the token and filed with the slot's object manager.
#include "alg_factory.h"
#include "attr_value.h"
#include "attribute_policy.h"
#include "key_admission.h"
#include "key_rules.h"
#include "obj_factory.h"
#include "session_base.h"
#include "session_slot.h"

namespace {

// Holds a new key's CKA_TOKEN false while the library computes its value,
// so that the factory picks the library's mechanism, and puts it back.
class TokenFlagAside {
public:
    explicit TokenFlagAside(const ObjPtr& key) : key_(key) {
        rv = ReadFlag(key_, CKA_TOKEN, onToken_);
        if (rv == CKR_OK) rv = Set(false);
    }
    ~TokenFlagAside() { Set(onToken_); }
    TokenFlagAside(const TokenFlagAside&) = delete;
    TokenFlagAside& operator=(const TokenFlagAside&) = delete;

    CK_RV rv;

private:
    CK_RV Set(bool value) {
        const CK_BBOOL flag = value ? CK_TRUE : CK_FALSE;
        return key_->SetAttr(CKA_TOKEN, &flag, 1);
    }

    ObjPtr key_;
    bool onToken_ = false;
};

// A secret key built from the caller's template that passes the rules of
// object creation (private by default in a read-write session); null with
// rv set otherwise.
ObjPtr NewSecretKey(Slot& slot, bool readWrite, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_RV& rv) {
    ObjPtr key = ObjFactory::CreateObject(tmpl, count);
    uint32_t cls = 0;
    if (!key) {
        rv = CKR_TEMPLATE_INCONSISTENT;
    } else if (ReadULong(key, CKA_CLASS, cls) != CKR_OK) {
        rv = CKR_GENERAL_ERROR;
    } else if (cls != CKO_SECRET_KEY) {
        rv = CKR_TEMPLATE_INCONSISTENT;
    } else {
        rv = AdmitNewKey(slot, key, tmpl, count, readWrite);
    }
    return rv ? ObjPtr() : key;
}

// The new secret key of an unwrapping or derivation from the key `from`,
// once `from` may be used for it (usage attribute `usage`) and the new key
// passes the rules of key generation.
CK_RV MakeKeyFrom(Slot& slot, const ObjPtr& from, CK_ATTRIBUTE_TYPE usage, CK_MECHANISM_TYPE mechanism,
                  bool readWrite, const CK_ATTRIBUTE* tmpl, CK_ULONG count, ObjPtr& key) {
    CK_RV rv = CheckKeyInUse(slot, from);
    if (rv || (rv = CheckKeyPermits(from, usage)) || (rv = CheckAllowedMechanism(from, mechanism)) ||
        (rv = CheckNewKeySpace(slot, tmpl, count)))
        return rv;
    key = NewSecretKey(slot, readWrite, tmpl, count, rv);
    return rv;
}

// The common start of an unwrapping and a derivation, in the slot frame
// the call holds: the objects refreshed, the key `from` found by the
// session's look-up (missing: the code `missing`), the new key made from the caller's template once
// `from` permits `usage` with mechanism, and the slot's algorithm factory.
struct KeyFromKey {
    ObjPtr from, key;
    AlgFactory* factory = nullptr;
};

CK_RV StartKeyFromKey(SessionSlot& frame, ObjPtr (*find)(Slot&, CK_OBJECT_HANDLE), CK_OBJECT_HANDLE hFrom, CK_RV missing, CK_ATTRIBUTE_TYPE usage,
                      CK_MECHANISM_TYPE mechanism, bool readWrite, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                      KeyFromKey& made) {
    if (frame.rv) return frame.rv;
    Slot& slot = *frame.slot;
    CK_RV rv = frame.Refresh(true, true);
    if (rv) return rv;
    made.from = find(slot, hFrom);
    if (!made.from) return missing;
    if ((rv = MakeKeyFrom(slot, made.from, usage, mechanism, readWrite, tmpl, count, made.key))) return rv;
    made.factory = slot.GetAlgFactory();
    return made.factory ? CKR_OK : CKR_GENERAL_ERROR;
}

// The unwrapping key's CKA_UNWRAP_TEMPLATE on the new key: its entries go
// through the checks of a caller's template, and one that the caller's
// template gives otherwise is CKR_TEMPLATE_INCONSISTENT.
CK_RV ImposeUnwrapTemplate(const ObjPtr& unwrappingKey, const CK_ATTRIBUTE* tmpl, CK_ULONG count, const ObjPtr& key) {
    const ByteVec* kept = unwrappingKey->Value(CKA_UNWRAP_TEMPLATE);
    if (!kept || kept->empty()) return CKR_OK;
    std::vector<FlatEntry> entries;
    if (!ReadFlatTemplate(*kept, entries)) return CKR_TEMPLATE_INCONSISTENT;
    std::vector<CK_ATTRIBUTE> imposed;
    for (const FlatEntry& e : entries) imposed.push_back({e.type, const_cast<uint8_t*>(e.value), e.length});
    if (CheckCallerTemplate(imposed.data(), imposed.size(), false)) return CKR_TEMPLATE_INCONSISTENT;
    for (const CK_ATTRIBUTE& a : imposed) {
        if (const CK_ATTRIBUTE* given = FindAttr(tmpl, count, a.type)) {
            ByteVec mine, theirs;
            const bool same = KeepAttrValue(static_cast<uint32_t>(a.type), a.pValue, static_cast<uint32_t>(a.ulValueLen),
                                            AttrForm::Caller, mine) &&
                              KeepAttrValue(static_cast<uint32_t>(a.type), given->pValue,
                                            static_cast<uint32_t>(given->ulValueLen), AttrForm::Caller, theirs) &&
                              mine == theirs;
            if (!same) return CKR_TEMPLATE_INCONSISTENT;
        }
        if (key->SetAttr(static_cast<uint32_t>(a.type), a.pValue, static_cast<uint32_t>(a.ulValueLen)) != CKR_OK)
            return CKR_TEMPLATE_INCONSISTENT;
    }
    return CKR_OK;
}

// The multi-part cipher a wrapping (encrypt) or unwrapping mechanism
// drives, made into holder. `previous`, the wrap or unwrap mechanism that
// may still hold the cipher replaced here, goes first.
CK_RV NewCipher(std::unique_ptr<Alg>& holder, std::unique_ptr<Alg>& previous, AlgFactory& factory,
                CK_MECHANISM_PTR mechanism, const ObjPtr& key, bool encrypt, AlgMultiPart*& cipher) {
    previous.reset();
    const CK_RV rv = KeepCreated(holder, [&](Alg** out) {
        return encrypt ? factory.CreateEncAlg(mechanism, key, out) : factory.CreateDecAlg(mechanism, key, out);
    });
    if (rv) return rv;
    cipher = dynamic_cast<AlgMultiPart*>(holder.get());
    return cipher ? CKR_OK : CKR_GENERAL_ERROR;
}

}  // namespace

CK_RV CSessionBase::WrapKey(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hWrappingKey, CK_OBJECT_HANDLE hKey,
                            CK_BYTE_PTR wrapped, CK_ULONG_PTR wrappedLen) {
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    Slot& slot = *frame.slot;
    CK_RV rv = CKR_OK;
    ObjPtr wrappingKey = GetKey(frame, hWrappingKey, rv), key;
    if (rv == CKR_OK) key = GetKey(frame, hKey, rv);
    if (rv) return rv;
    if (!wrappingKey || !key) return CKR_KEY_HANDLE_INVALID;
    if ((rv = CheckKeyInUse(slot, wrappingKey)) || (rv = CheckKeyInUse(slot, key)) ||
        (rv = CheckKeyPermits(wrappingKey, CKA_WRAP)) || (rv = CheckAllowedMechanism(wrappingKey, mechanism->mechanism)))
        return rv;
    AlgFactory* factory = slot.GetAlgFactory();
    if (!factory) return CKR_GENERAL_ERROR;

    AlgMultiPart* cipher = nullptr;
    if ((rv = NewCipher(wrapCipher_, unwrapAlg_, *factory, mechanism, wrappingKey, true, cipher))) return rv;
    rv = KeepCreated(wrapAlg_,
                     [&](Alg** out) { return factory->CreateWrapAlg(mechanism, wrappingKey, key, cipher, out); });
    if (rv) return rv;

    uint32_t len = *wrappedLen > 0xFFFFFFFFUL ? 0xFFFFFFFFu : static_cast<uint32_t>(*wrappedLen);
    rv = wrapAlg_->Do(nullptr, 0, wrapped, &len);
    if (rv == CKR_OK || rv == RV_BUFFER_TOO_SMALL) *wrappedLen = len;
    return rv;
}

CK_RV CSessionBase::UnwrapKey(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR wrapped,
                              CK_ULONG wrappedLen, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR phKey) {
    if (wrappedLen > 0xFFFFFFFFUL) return CKR_WRAPPED_KEY_LEN_RANGE;
    CK_RV rv = CheckNewKeyTemplate(ReadWrite(), SecurityOfficer(), tmpl, count);
    if (rv) return rv;
    SessionSlot frame(SlotId());
    KeyFromKey made;
    if ((rv = StartKeyFromKey(frame, GetObject, hUnwrappingKey, CKR_KEY_HANDLE_INVALID, CKA_UNWRAP, mechanism->mechanism,
                              ReadWrite(), tmpl, count, made)) ||
        (rv = ImposeUnwrapTemplate(made.from, tmpl, count, made.key)))
        return rv;
    // The key was made elsewhere.
    if (StartKeyHistory(made.key, false) != CKR_OK) return CKR_GENERAL_ERROR;

    AlgMultiPart* cipher = nullptr;
    if ((rv = NewCipher(wrapCipher_, wrapAlg_, *made.factory, mechanism, made.from, false, cipher))) return rv;
    rv = KeepCreated(unwrapAlg_, [&](Alg** out) {
        return made.factory->CreateUnwrapAlg(mechanism, made.from, made.key, cipher, out);
    });
    if (rv) return rv;
    if ((rv = unwrapAlg_->Do(wrapped, static_cast<uint32_t>(wrappedLen), nullptr, nullptr))) return rv;
    return FileNewKey(*frame.slot, made.key, phKey);
}

CK_RV CSessionBase::DeriveKey(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hBaseKey, CK_ATTRIBUTE_PTR tmpl,
                              CK_ULONG count, CK_OBJECT_HANDLE_PTR phKey) {
    CK_RV rv = CheckNewKeyTemplate(ReadWrite(), SecurityOfficer(), tmpl, count);
    if (rv) return rv;
    SessionSlot frame(SlotId());
    KeyFromKey made;
    if ((rv = StartKeyFromKey(frame, GetObject, hBaseKey, CKR_OBJECT_HANDLE_INVALID, CKA_DERIVE, mechanism->mechanism,
                              ReadWrite(), tmpl, count, made)))
        return rv;
    {
        TokenFlagAside aside(made.key);
        if (aside.rv) return CKR_GENERAL_ERROR;
        rv = KeepCreated(deriveAlg_,
                         [&](Alg** out) { return made.factory->CreateDeriveAlg(mechanism, made.from, made.key, out); });
        if (rv || (rv = deriveAlg_->Do(nullptr, 0, nullptr, nullptr))) return rv;
    }
    return FileNewKey(*frame.slot, made.key, phKey);
}

CK_RV CSessionBase::FileNewKey(Slot& slot, const ObjPtr& key, CK_OBJECT_HANDLE_PTR phKey) {
    bool onToken = false;
    if (ReadFlag(key, CKA_TOKEN, onToken) != CKR_OK) return CKR_GENERAL_ERROR;
    CK_RV rv = onToken ? ImportTokenKey(slot, key) : CKR_OK;
    if (rv == CKR_OK && (rv = FileObject(slot, key, phKey))) WithdrawObject(slot, key);
    return rv;
}
