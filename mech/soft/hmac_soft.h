// Software HMAC signing and verification (single part only).
#ifndef KV_MECH_SOFT_HMAC_SOFT_H
#define KV_MECH_SOFT_HMAC_SOFT_H

#include "alg.h"

class HmacSoft : public AlgMultiPart {
public:
    HmacSoft(CK_MECHANISM_TYPE mechanism, CK_MECHANISM_TYPE digest, uint32_t macLength)
        : mechanism_(mechanism), digest_(digest), macLength_(macLength) {}
    uint32_t GetBlockSize() const override { return macLength_; }
    // Requires the class's own mechanism and a key; keeps both.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    CK_RV Update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }
    CK_RV Final(uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }

protected:
    // The HMAC of the input under the key's CKA_VALUE into mac (macLength bytes).
    CK_RV Compute(const uint8_t* in, uint32_t inLen, uint8_t* mac);

private:
    CK_MECHANISM_TYPE mechanism_;
    CK_MECHANISM_TYPE digest_;
    uint32_t macLength_;
    ObjPtr key_;
};

class HmacSignSoft : public HmacSoft {
public:
    using HmacSoft::HmacSoft;
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_SIGN; }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
};

class HmacVerifySoft : public HmacSoft {
public:
    using HmacSoft::HmacSoft;
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_VERIFY; }
    // signature/signatureLen carry the MAC to check.
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) override;
};

#define KV_HMAC_CLASSES(Prefix, Mechanism, Digest, Length)                                \
    class Prefix##HmacSignSoft : public HmacSignSoft {                                    \
    public:                                                                               \
        Prefix##HmacSignSoft() : HmacSignSoft(Mechanism, Digest, Length) {}               \
    };                                                                                    \
    class Prefix##HmacVerifySoft : public HmacVerifySoft {                                \
    public:                                                                               \
        Prefix##HmacVerifySoft() : HmacVerifySoft(Mechanism, Digest, Length) {}           \
    };
KV_HMAC_CLASSES(MD2, CKM_MD2_HMAC, CKM_MD2, 16)
KV_HMAC_CLASSES(MD5, CKM_MD5_HMAC, CKM_MD5, 16)
KV_HMAC_CLASSES(SHA1, CKM_SHA_1_HMAC, CKM_SHA_1, 20)
KV_HMAC_CLASSES(SHA224, CKM_SHA224_HMAC, CKM_SHA224, 28)
KV_HMAC_CLASSES(SHA256, CKM_SHA256_HMAC, CKM_SHA256, 32)
KV_HMAC_CLASSES(SHA384, CKM_SHA384_HMAC, CKM_SHA384, 48)
KV_HMAC_CLASSES(SHA512, CKM_SHA512_HMAC, CKM_SHA512, 64)
#undef KV_HMAC_CLASSES

#endif
