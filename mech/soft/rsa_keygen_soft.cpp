#include "rsa_keygen_soft.h"

#include "key_rules.h"
#include "rsa_backend.h"
#include "soft_registration.h"

CK_RV GenerateKeyPairRSASoft::Init(const CK_MECHANISM* mechanism, ObjPtr publicKey, ObjPtr privateKey) {
    if (!publicKey || !privateKey || !mechanism || mechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN)
        return CKR_ARGUMENTS_BAD;
    CK_RV rv = ExpectULongs({{publicKey, CKA_CLASS, CKO_PUBLIC_KEY},
                                   {privateKey, CKA_CLASS, CKO_PRIVATE_KEY},
                                   {publicKey, CKA_KEY_TYPE, CKK_RSA},
                                   {privateKey, CKA_KEY_TYPE, CKK_RSA}},
                                  CKR_ARGUMENTS_BAD);
    if (rv) return rv;
    bool publicOnToken = false;
    rv = ReadFlag(publicKey, CKA_TOKEN, publicOnToken);
    if (rv) return rv;
    if (publicOnToken) return CKR_TEMPLATE_INCONSISTENT;
    public_ = publicKey;
    private_ = privateKey;
    return CKR_OK;
}

CK_RV GenerateKeyPairRSASoft::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    if (!public_ || !private_) return CKR_GENERAL_ERROR;
    uint32_t bits = 0;
    if (ReadULong(public_, CKA_MODULUS_BITS, bits) != CKR_OK) return CKR_GENERAL_ERROR;
    if (bits < RsaPrivateKey::kMinGenerateBits || bits > RsaPrivateKey::kMaxGenerateBits) return CKR_KEY_SIZE_RANGE;
    static const ByteVec kF4 = {0x01, 0x00, 0x01};
    const ByteVec* asked = public_->Value(CKA_PUBLIC_EXPONENT);
    const ByteVec& exponent = asked && !asked->empty() ? *asked : kF4;
    if (!RsaPrivateKey::ExponentUsable(exponent.data(), exponent.size())) return CKR_TEMPLATE_INCONSISTENT;
    RsaGeneratedKey key;
    if (!RsaPrivateKey::Generate(bits, exponent.data(), exponent.size(), key)) return CKR_GENERAL_ERROR;
    const uint32_t modulusBits = bits;
    CK_RV rv = public_->SetAttr(CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits);
    const struct {
        IObj* obj;
        uint32_t type;
        const ByteVec& value;
    } writes[] = {{public_.get(), CKA_MODULUS, key.n},          {public_.get(), CKA_PUBLIC_EXPONENT, key.e},
                  {private_.get(), CKA_MODULUS, key.n},         {private_.get(), CKA_PUBLIC_EXPONENT, key.e},
                  {private_.get(), CKA_PRIVATE_EXPONENT, key.d}, {private_.get(), CKA_PRIME_1, key.p},
                  {private_.get(), CKA_PRIME_2, key.q},          {private_.get(), CKA_EXPONENT_1, key.dp},
                  {private_.get(), CKA_EXPONENT_2, key.dq},       {private_.get(), CKA_COEFFICIENT, key.qinv}};
    for (const auto& w : writes) {
        if (rv) break;
        rv = w.obj->SetAttr(w.type, w.value.data(), static_cast<uint32_t>(w.value.size()));
    }
    return rv;
}

KV_REGISTER_SOFT(CKM_RSA_PKCS_KEY_PAIR_GEN, GenerateKeyPairRSASoft)
