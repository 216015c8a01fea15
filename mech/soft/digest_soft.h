// Software message digests.
#ifndef KV_MECH_SOFT_DIGEST_SOFT_H
#define KV_MECH_SOFT_DIGEST_SOFT_H

#include <memory>

#include "alg.h"
#include "hash_backend.h"

class DigestSoft : public AlgMultiPart {
public:
    DigestSoft(CK_MECHANISM_TYPE mechanism, uint32_t length);
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_DIGEST; }
    uint32_t GetBlockSize() const override { return length_; }
    // Starts the hash; the mechanism and key are not examined.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    // Hashes the input; produces no output.
    CK_RV Update(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
    CK_RV Final(uint8_t* out, uint32_t* outLen) override;
    // Restarts, hashes the input in one pass and writes the digest.
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;

private:
    std::unique_ptr<HashBackend> hash_;
    uint32_t length_;
};

// A started software digest object for a digest mechanism, as the factory
// makes it; the factory's status when it makes none.
CK_RV StartDigest(CK_MECHANISM_TYPE digest, std::unique_ptr<AlgMultiPart>& out);

#define KV_DIGEST_CLASS(Name, Mechanism, Length)                   \
    class Name : public DigestSoft {                               \
    public:                                                        \
        Name() : DigestSoft(Mechanism, Length) {}                  \
    };
KV_DIGEST_CLASS(MD2Soft, CKM_MD2, 16)
KV_DIGEST_CLASS(MD5Soft, CKM_MD5, 16)
KV_DIGEST_CLASS(SHA1Soft, CKM_SHA_1, 20)
KV_DIGEST_CLASS(SHA224Soft, CKM_SHA224, 28)
KV_DIGEST_CLASS(SHA256Soft, CKM_SHA256, 32)
KV_DIGEST_CLASS(SHA384Soft, CKM_SHA384, 48)
KV_DIGEST_CLASS(SHA512Soft, CKM_SHA512, 64)
#undef KV_DIGEST_CLASS

#endif
