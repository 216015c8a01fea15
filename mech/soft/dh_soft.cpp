#include "dh_soft.h"

#include <algorithm>

#include "dh_backend.h"
#include "key_attrs.h"
#include "key_rules.h"
#include "secure_wipe.h"
#include "soft_registration.h"

namespace {

// The lengths of the keys a derivation makes.
const KeyLengthRule kDerivedLengths[] = {
    {CKK_DES, 8, 8, 1, 8},      {CKK_DES3, 24, 24, 1, 24}, {CKK_AES, 16, 32, 8, 16},
    {CKK_RC2, 5, 128, 1, 5},    {CKK_RC4, 5, 128, 1, 5},
};

// The new key's flag becomes false when the base key's is false, else the
// new key's source flag (negated if asked); nothing is written when a read
// fails.
void Inherit(const ObjPtr& base, const ObjPtr& key, uint32_t flag, uint32_t source, bool negate) {
    bool baseFlag = false, sourceFlag = false;
    if (ReadFlag(base, flag, baseFlag) != CKR_OK) return;
    if (baseFlag && ReadFlag(key, source, sourceFlag) != CKR_OK) return;
    const uint8_t value = baseFlag && (sourceFlag != negate) ? 1 : 0;
    key->SetAttr(flag, &value, 1);
}

}  // namespace

CK_RV GenerateKeyPairDHSoft::Init(const CK_MECHANISM* mechanism, ObjPtr publicKey, ObjPtr privateKey) {
    if (!publicKey || !privateKey || !mechanism || mechanism->mechanism != CKM_DH_PKCS_KEY_PAIR_GEN)
        return CKR_ARGUMENTS_BAD;
    const CK_RV rv = ExpectULongs({{publicKey, CKA_CLASS, CKO_PUBLIC_KEY},
                                   {privateKey, CKA_CLASS, CKO_PRIVATE_KEY},
                                   {publicKey, CKA_KEY_TYPE, CKK_DH},
                                   {privateKey, CKA_KEY_TYPE, CKK_DH}},
                                  CKR_ARGUMENTS_BAD);
    if (rv) return rv;
    public_ = publicKey;
    private_ = privateKey;
    return CKR_OK;
}

CK_RV GenerateKeyPairDHSoft::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    if (!public_ || !private_) return CKR_GENERAL_ERROR;
    const ByteVec* prime = nullptr;
    const ByteVec* base = nullptr;
    if (AttrBytes(public_, CKA_PRIME, prime, CKA_BASE, base)) return CKR_GENERAL_ERROR;
    if (prime->empty() || base->empty()) return CKR_TEMPLATE_INCONSISTENT;
    if (prime->size() > DhParty::kMaxPrimeBytes) return CKR_KEY_SIZE_RANGE;
    uint32_t bits = 0;
    if (ReadULong(private_, CKA_VALUE_BITS, bits)) return CKR_GENERAL_ERROR;
    const size_t privateBytes = bits ? (size_t{bits} + 7) / 8 : prime->size();

    auto party = DhParty::Create(prime->data(), prime->size(), base->data(), base->size());
    ByteVec x, gx;
    if (!party || !party->Generate(privateBytes) || !party->PrivateValue(x) || !party->PublicValue(gx)) {
        SecureWipe(x);
        return CKR_GENERAL_ERROR;
    }
    const struct {
        IObj* key;
        uint32_t type;
        const ByteVec& value;
    } writes[] = {{private_.get(), CKA_PRIME, *prime},
                  {private_.get(), CKA_BASE, *base},
                  {public_.get(), CKA_VALUE, gx},
                  {private_.get(), CKA_VALUE, x}};
    CK_RV rv = CKR_OK;
    for (const auto& w : writes) {
        rv = w.key->SetAttr(w.type, w.value.data(), static_cast<uint32_t>(w.value.size()));
        if (rv) break;
    }
    SecureWipe(x);
    return rv;
}

CK_RV DeriveKeyDHPKCS::Init(const CK_MECHANISM* mechanism, ObjPtr baseKey, ObjPtr newKey) {
    if (!baseKey || !newKey) return CKR_ARGUMENTS_BAD;
    if (!mechanism || !mechanism->pParameter || mechanism->mechanism != CKM_DH_PKCS_DERIVE)
        return CKR_MECHANISM_INVALID;
    CK_RV rv = ExpectFlag(baseKey, CKA_DERIVE, CKR_GENERAL_ERROR);
    if (!rv) {
        rv = ExpectULongs({{baseKey, CKA_CLASS, CKO_PRIVATE_KEY},
                           {baseKey, CKA_KEY_TYPE, CKK_DH},
                           {newKey, CKA_CLASS, CKO_SECRET_KEY}},
                          CKR_GENERAL_ERROR);
    }
    if (rv) return rv;
    if (mechanism->ulParameterLen == 0 || mechanism->ulParameterLen > DhParty::kMaxPrimeBytes)
        return CKR_MECHANISM_PARAM_INVALID;
    const auto* peer = static_cast<const uint8_t*>(mechanism->pParameter);
    peer_.assign(peer, peer + mechanism->ulParameterLen);
    base_ = baseKey;
    newKey_ = newKey;
    return CKR_OK;
}

CK_RV DeriveKeyDHPKCS::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    if (!base_ || !newKey_) return CKR_GENERAL_ERROR;
    const ByteVec* prime = nullptr;
    const ByteVec* base = nullptr;
    const ByteVec* x = nullptr;
    CK_RV rv = AttrBytes(base_, CKA_PRIME, prime, CKA_BASE, base);
    if (rv) return rv;
    if (prime->size() > DhParty::kMaxPrimeBytes) return CKR_KEY_SIZE_RANGE;
    auto party = DhParty::Create(prime->data(), prime->size(), base->data(), base->size());
    if (!party) return CKR_GENERAL_ERROR;
    // Without its own private value the base key can derive nothing that the
    // other party could derive too.
    if (AttrBytes(base_, CKA_VALUE, x) || !party->SetPrivate(x->data(), x->size())) return CKR_KEY_HANDLE_INVALID;
    if (!party->SetPeer(peer_.data(), peer_.size())) return CKR_MECHANISM_PARAM_INVALID;

    ByteVec z;
    if (!party->SharedSecret(z) || z.empty()) return CKR_GENERAL_ERROR;
    uint32_t length = 0;
    rv = NewKeyLength(length);
    if (rv == CKR_OK) {
        // The last bytes of Z, or all of Z followed by zero bytes.
        ByteVec value(length, 0);
        const auto take = static_cast<std::ptrdiff_t>(std::min<size_t>(length, z.size()));
        std::copy(z.end() - take, z.end(), value.begin());
        rv = newKey_->SetAttr(CKA_VALUE, value.data(), length);
        SecureWipe(value);
    }
    SecureWipe(z);
    if (rv) return rv;
    InheritFlags();
    return CKR_OK;
}

CK_RV DeriveKeyDHPKCS::NewKeyLength(uint32_t& length) const {
    uint32_t type = 0;
    if (ReadULong(newKey_, CKA_KEY_TYPE, type)) return CKR_GENERAL_ERROR;
    for (const KeyLengthRule& rule : kDerivedLengths) {
        if (rule.keyType == type) return AskedLength(newKey_, rule, false, length) ? CKR_OK : CKR_KEY_TYPE_INCONSISTENT;
    }
    return CKR_GENERAL_ERROR;
}

void DeriveKeyDHPKCS::InheritFlags() const {
    const uint8_t notLocal = 0;
    newKey_->SetAttr(CKA_LOCAL, &notLocal, 1);
    Inherit(base_, newKey_, CKA_ALWAYS_SENSITIVE, CKA_SENSITIVE, false);
    Inherit(base_, newKey_, CKA_NEVER_EXTRACTABLE, CKA_EXTRACTABLE, true);
}

KV_REGISTER_SOFT(CKM_DH_PKCS_KEY_PAIR_GEN, GenerateKeyPairDHSoft)
KV_REGISTER_SOFT(CKM_DH_PKCS_DERIVE, DeriveKeyDHPKCS)
