// Starting the cryptographic operations of a session: which operations may
// run side by side, the key's usage and login rules, the mechanism object.
#include "key_admission.h"
#include "key_rules.h"
#include "session_crypto.h"
#include "session_slot.h"

using Kind = CSessionBase::OpKind;

// Columns: bit; companion check, companions; key use; usage attribute,
// generic secret serves, usage read error as false; login rule; context
// login, sets token key in use; factory call; mechanism slot; shared-bit
// member flag, which member.
const Kind Kind::encrypt{kOpEncrypt, false, 0, KeyUse::Encrypt, CKA_ENCRYPT, false, false, Login::TokenKey, false, true,
                         &AlgFactory::CreateEncAlg, &CSessionBase::encryptAlg_, nullptr, false};
const Kind Kind::decrypt{kOpDecrypt, true, kOpDigest | kOpVerify, KeyUse::Decrypt, CKA_DECRYPT, false, false,
                         Login::SessionState, true, true, &AlgFactory::CreateDecAlg, &CSessionBase::decryptAlg_,
                         nullptr, false};
const Kind Kind::digest{kOpDigest, true, kOpEncrypt | kOpDecrypt, KeyUse::None, 0, false, false, Login::None,
                        false, false, nullptr, &CSessionBase::digestAlg_, nullptr, false};
const Kind Kind::sign{kOpSign, true, kOpEncrypt, KeyUse::None, CKA_SIGN, true, false, Login::SessionState, true, true,
                      &AlgFactory::CreateSignAlg, &CSessionBase::signAlg_, &CSessionBase::signIsRecover_, false};
const Kind Kind::signRecover{kOpSign, true, kOpEncrypt, KeyUse::None, CKA_SIGN_RECOVER, false, false, Login::TokenKey,
                             true, true, &AlgFactory::CreateSignRecoveryAlg, &CSessionBase::signRecoverAlg_,
                             &CSessionBase::signIsRecover_, true};
const Kind Kind::verify{kOpVerify, true, kOpDigest, KeyUse::None, CKA_VERIFY, true, true, Login::None, false,
                        false, &AlgFactory::CreateVerifyAlg, &CSessionBase::verifyAlg_, &CSessionBase::verifyIsRecover_,
                        false};
const Kind Kind::verifyRecover{kOpVerify, true, kOpDecrypt, KeyUse::None, CKA_VERIFY_RECOVER, false, false,
                               Login::None, false, false, &AlgFactory::CreateVerifyRecoveryAlg,
                               &CSessionBase::verifyRecoverAlg_, &CSessionBase::verifyIsRecover_, true};

namespace {

// The key type each secret-key cipher takes, by ranges of mechanisms.
struct CipherKey {
    CK_MECHANISM_TYPE first, last;
    CK_KEY_TYPE keyType;
};
const CipherKey kCipherKeys[] = {
    {CKM_RC2_ECB, CKM_RC2_CBC, CKK_RC2},         {CKM_RC2_CBC_PAD, CKM_RC2_CBC_PAD, CKK_RC2},
    {CKM_RC4, CKM_RC4, CKK_RC4},                 {CKM_DES_ECB, CKM_DES_CBC, CKK_DES},
    {CKM_DES_CBC_PAD, CKM_DES_CBC_PAD, CKK_DES}, {CKM_DES3_ECB, CKM_DES3_CBC, CKK_DES3},
    {CKM_DES3_CBC_PAD, CKM_DES3_CBC_PAD, CKK_DES3}, {CKM_AES_ECB, CKM_AES_CBC, CKK_AES},
    {CKM_AES_CBC_PAD, CKM_AES_CBC_PAD, CKK_AES}, {0x80000023, 0x80000025, 0x80000021},
    {0x8000002A, 0x8000002C, 0x80000028},
};

// Whether the key is of the class or type an encryption or decryption
// mechanism takes; its usage attribute is checked apart.
bool KeyFitsCipher(const ObjPtr& key, CK_MECHANISM_TYPE mechanism, Kind::KeyUse use) {
    if (mechanism == CKM_RSA_PKCS || mechanism == CKM_RSA_X_509) {
        const CK_OBJECT_CLASS cls = use == Kind::KeyUse::Decrypt ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY;
        return ExpectULong(key, CKA_CLASS, static_cast<uint32_t>(cls), CKR_KEY_HANDLE_INVALID) == CKR_OK;
    }
    for (const CipherKey& c : kCipherKeys) {
        if (mechanism >= c.first && mechanism <= c.last)
            return ExpectULong(key, CKA_KEY_TYPE, static_cast<uint32_t>(c.keyType), CKR_KEY_HANDLE_INVALID) == CKR_OK;
    }
    return false;
}

CK_RV CheckUsage(const Kind& kind, const ObjPtr& key) {
    uint32_t type = 0;
    if (kind.genericSecretServes && ReadULong(key, CKA_KEY_TYPE, type) == CKR_OK && type == CKK_GENERIC_SECRET)
        return CKR_OK;
    bool permitted = false;
    if (ReadFlag(key, static_cast<uint32_t>(kind.usage), permitted) != CKR_OK && !kind.usageReadErrorIsFalse)
        return CKR_GENERAL_ERROR;
    return permitted ? CKR_OK : CKR_KEY_FUNCTION_NOT_PERMITTED;
}

bool PublicState(CK_STATE state) { return state == CKS_RO_PUBLIC_SESSION || state == CKS_RW_PUBLIC_SESSION; }

// A token key needs the user logged in; decryption and signing are refused
// to the security officer, and to a public session for a token key.
// Token keys and private keys of any kind need the user logged in.
CK_RV CheckLogin(CSessionBase& s, Slot& slot, Kind::Login login, bool tokenKey, bool privateKey) {
    const bool needsUser = tokenKey || privateKey;
    if (login == Kind::Login::None && !privateKey) return CKR_OK;
    if (login == Kind::Login::SessionState) {
        CK_SESSION_INFO info;
        const CK_RV rv = s.GetSessionInfo(&info);
        if (rv) return rv;
        if (info.state == CKS_RW_SO_FUNCTIONS) return CKR_USER_TYPE_INVALID;
        if (tokenKey && PublicState(info.state)) return CKR_SESSION_HANDLE_INVALID;
    }
    if (!needsUser) return CKR_OK;
    bool user = false;
    if (UserAuthenticated(slot, user)) return CKR_GENERAL_ERROR;
    return user ? CKR_OK : CKR_USER_NOT_LOGGED_IN;
}

// A private key that asks for the PIN at every use.
CK_RV ReadAlwaysAuthenticate(const ObjPtr& key, bool& always) {
    always = false;
    uint32_t cls = 0;
    if (ReadULong(key, CKA_CLASS, cls) != CKR_OK) return CKR_GENERAL_ERROR;
    if (cls != CKO_PRIVATE_KEY) return CKR_OK;
    return ReadFlag(key, CKA_ALWAYS_AUTHENTICATE, always) == CKR_OK ? CKR_OK : CKR_GENERAL_ERROR;
}

}  // namespace

CK_RV Kind::Start(CSessionBase& s, SessionSlot& frame, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey) const {
    Slot& slot = *frame.slot;
    if (!slot.HasToken()) return CKR_DEVICE_ERROR;
    CK_RV rv = CKR_OK;
    ObjPtr key = GetKey(frame, hKey, rv);
    if (rv) return rv;
    if (keyUse != KeyUse::None && (!key || !KeyFitsCipher(key, mechanism->mechanism, keyUse)))
        return CKR_KEY_HANDLE_INVALID;
    if (checkCompanions && s.activeOps_ && !(s.activeOps_ & companions)) return CKR_OPERATION_ACTIVE;
    if (!key) return CKR_KEY_HANDLE_INVALID;
    if ((rv = CheckUsage(*this, key)) || (rv = CheckAllowedMechanism(key, mechanism->mechanism))) return rv;
    bool tokenKey = false;
    if (ReadFlag(key, CKA_TOKEN, tokenKey) != CKR_OK) return CKR_GENERAL_ERROR;
    bool privateKey = false;
    if (ReadFlag(key, CKA_PRIVATE, privateKey) != CKR_OK) privateKey = false;
    if ((rv = CheckLogin(s, slot, login, tokenKey, privateKey))) return rv;
    bool always = false;
    if (contextLogin && (rv = ReadAlwaysAuthenticate(key, always))) return rv;
    AlgFactory* factory = slot.GetAlgFactory();
    if (!factory) return CKR_GENERAL_ERROR;
    if (s.activeOps_ & bit) End(s);
    (s.*alg).reset();
    Alg* object = nullptr;
    rv = (factory->*create)(mechanism, key, &object);
    if ((rv = Replace(s, rv, object))) return rv;
    if (contextLogin) {
        // The context login follows the init; an earlier one counts for nothing.
        s.contextLoginRequired = always;
        s.contextLoginDone = false;
    }
    if (setsTokenKeyInUse) s.tokenKeyInUse = tokenKey;
    s.opKeys_[bit] = hKey;
    return CKR_OK;
}

void CSessionBase::EndPrivateOperations(Slot& slot) {
    for (const Kind* kind : {&Kind::encrypt, &Kind::decrypt, &Kind::sign, &Kind::signRecover, &Kind::verify,
                             &Kind::verifyRecover}) {
        const auto it = opKeys_.find(kind->bit);
        if (!kind->Running(*this) || it == opKeys_.end()) continue;
        const ObjPtr key = GetObject(slot, it->second);
        bool isPrivate = true;
        if (key && ReadFlag(key, CKA_PRIVATE, isPrivate) != CKR_OK) isPrivate = true;
        if (isPrivate) kind->End(*this);
    }
    // What the last key management call used (wrapping keys' schedules, the
    // keys themselves) goes with the login too.
    for (std::unique_ptr<Alg>* used : {&generateKeyAlg_, &generateKeyPairAlg_, &wrapAlg_, &unwrapAlg_, &deriveAlg_,
                                       &importAlg_, &wrapCipher_})
        used->reset();
}

CK_RV Kind::ConfirmKey(CSessionBase& s, SessionSlot& frame) const {
    const auto it = s.opKeys_.find(bit);
    if (it == s.opKeys_.end() || (it->second & kSessionObjectBit)) return CKR_OK;
    const CK_RV rv = frame.Refresh(false);
    if (rv) return rv;
    return GetObject(*frame.slot, it->second) ? CKR_OK : CKR_KEY_HANDLE_INVALID;
}

CK_RV Kind::Replace(CSessionBase& s, CK_RV created, Alg* object) const {
    std::unique_ptr<Alg> owned(object);
    if (created) return OperationFactoryRefusalRv(created);
    if (!dynamic_cast<AlgMultiPart*>(owned.get())) return CKR_GENERAL_ERROR;
    s.*alg = std::move(owned);
    if (member) s.*member = memberValue;
    s.activeOps_ |= bit;
    return CKR_OK;
}

void Kind::End(CSessionBase& s) const {
    s.activeOps_ &= ~bit;
    if (contextLogin) s.contextLoginDone = s.contextLoginRequired = false;
    // Nothing of the key stays behind the operation: its mechanism object
    // (the key object, a key schedule) is released and wiped now.
    (s.*alg).reset();
    s.opKeys_.erase(bit);
}

#define KV_INIT_WITH_KEY(Method, kind)                                                          \
    CK_RV CSessionBase::Method(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey) {             \
        SessionSlot frame(SlotId());                                                            \
        return frame.rv ? frame.rv : Kind::kind.Start(*this, frame, mechanism, hKey);           \
    }
KV_INIT_WITH_KEY(EncryptInit, encrypt)
KV_INIT_WITH_KEY(DecryptInit, decrypt)
KV_INIT_WITH_KEY(SignInit, sign)
KV_INIT_WITH_KEY(SignRecoverInit, signRecover)
KV_INIT_WITH_KEY(VerifyInit, verify)
KV_INIT_WITH_KEY(VerifyRecoverInit, verifyRecover)
#undef KV_INIT_WITH_KEY

CK_RV CSessionBase::DigestInit(CK_MECHANISM_PTR mechanism) {
    const Kind& kind = Kind::digest;
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    if (activeOps_ && !(activeOps_ & kind.companions)) return CKR_OPERATION_ACTIVE;
    if (mechanism->mechanism == CKM_SHA_1 || mechanism->mechanism == CKM_SHA256) {
        if (!frame.slot->HasToken()) return CKR_DEVICE_ERROR;
        bool user = false;
        if (UserAuthenticated(*frame.slot, user)) return CKR_GENERAL_ERROR;
        if (!user) return CKR_USER_NOT_LOGGED_IN;
    }
    if (activeOps_ & kind.bit) kind.End(*this);
    digestAlg_.reset();
    // Digests are always computed in the library: no token needed.
    Alg* object = nullptr;
    const CK_RV rv = AlgFactory().CreateDigestAlg(mechanism, &object);
    return kind.Replace(*this, rv, object);
}
