// Software RSA public-key operations: PKCS#1 v1.5 and raw encryption,
// PKCS#1, raw and hash-and-verify signature checks, and verify-recover.
#ifndef KV_MECH_SOFT_RSA_PUB_SOFT_H
#define KV_MECH_SOFT_RSA_PUB_SOFT_H

#include <memory>

#include "alg.h"
#include "pubkey_backend.h"
#include "pubkey_soft.h"

// An RSA public key; the block size k is the modulus length in bytes. A key
// other than CKO_PUBLIC_KEY of type CKK_RSA is CKR_GENERAL_ERROR.
class AlgRSAPubSoft : public AlgPubKeySoft {
public:
    AlgRSAPubSoft(CK_MECHANISM_TYPE mechanism, bool mechanismFirst)
        : AlgPubKeySoft(mechanism, CKK_RSA, CKR_GENERAL_ERROR, mechanismFirst) {}
    uint32_t GetBlockSize() const override { return k_; }
    // Reads CKA_MODULUS (k = its length without leading zeros, 12 bytes up to
    // the library's limit, else CKR_KEY_SIZE_RANGE) and CKA_PUBLIC_EXPONENT.
    CK_RV GetKeyParams(ObjPtr key) override;

protected:
    uint32_t SignatureLength() const override { return k_; }
    // Whether the signature opens to a type-1 block carrying exactly the
    // message; a mismatch of any kind is CKR_GENERAL_ERROR.
    CK_RV VerifyPkcs1(const uint8_t* message, uint32_t len, const uint8_t* signature);

    std::unique_ptr<RsaPublicKey> rsa_;
    uint32_t k_ = 0;
};

// PKCS#1 v1.5 encryption; input longer than k - 11 bytes is cut into chunks
// of k - 11 (the last shorter), each encrypted into its own k-byte block.
class RSAPKCSPubSoftEncrypt : public AlgRSAPubSoft {
public:
    RSAPKCSPubSoftEncrypt() : AlgRSAPubSoft(CKM_RSA_PKCS, false) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_ENCRYPT; }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
};

// The input right-aligned in a zeroed k-byte block, raised to e modulo n.
class RSAX509PubSoftEncrypt : public AlgRSAPubSoft {
public:
    RSAX509PubSoftEncrypt() : AlgRSAPubSoft(CKM_RSA_X_509, false) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_ENCRYPT; }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
};

class RSAPKCSPubSoftVerify : public AlgRSAPubSoft {
public:
    RSAPKCSPubSoftVerify() : AlgRSAPubSoft(CKM_RSA_PKCS, true) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_VERIFY; }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) override;
};

// Compares the raised signature with the data, leading zero bytes of both
// ignored: other lengths give CKR_DATA_LEN_RANGE, other bytes
// CKR_SIGNATURE_INVALID.
class RSAX509PubSoftVerify : public AlgRSAPubSoft {
public:
    RSAX509PubSoftVerify() : AlgRSAPubSoft(CKM_RSA_X_509, false) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_VERIFY; }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) override;
};

// Returns the data of a correct type-1 block; any other block is
// CKR_SIGNATURE_INVALID. A missing or short output buffer gets
// RV_BUFFER_TOO_SMALL with the data length.
class RSAPKCSPubSoftVerifyRecover : public AlgRSAPubSoft {
public:
    RSAPKCSPubSoftVerifyRecover() : AlgRSAPubSoft(CKM_RSA_PKCS, false) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_VERIFY_RECOVER; }
    CK_RV Do(const uint8_t* signature, uint32_t signatureLen, uint8_t* out, uint32_t* outLen) override;
};

// PKCS#1 v1.5 signature over the DigestInfo of a digest mechanism's hash.
class RSAPubHashSoft : public AlgRSAPubSoft {
public:
    RSAPubHashSoft(CK_MECHANISM_TYPE mechanism, CK_MECHANISM_TYPE digest)
        : AlgRSAPubSoft(mechanism, true), hashMechanism_(digest) {}

protected:
    CK_RV VerifyDigest(const uint8_t* hash, uint32_t len, const uint8_t* signature);

private:
    CK_MECHANISM_TYPE hashMechanism_;
};

class RSAPubHashVerifySoft : public HashThenVerify<RSAPubHashSoft> {
public:
    RSAPubHashVerifySoft(CK_MECHANISM_TYPE mechanism, CK_MECHANISM_TYPE digest)
        : HashThenVerify<RSAPubHashSoft>(digest, mechanism, digest) {}
};

#define KV_RSA_HASH_VERIFY(Name, Mechanism, Digest)                          \
    class Name : public RSAPubHashVerifySoft {                               \
    public:                                                                  \
        Name() : RSAPubHashVerifySoft(Mechanism, Digest) {}                  \
    };
KV_RSA_HASH_VERIFY(RSAMD2PubSoftVerify, CKM_MD2_RSA_PKCS, CKM_MD2)
KV_RSA_HASH_VERIFY(RSAMD5PubSoftVerify, CKM_MD5_RSA_PKCS, CKM_MD5)
KV_RSA_HASH_VERIFY(RSASHA1PubSoftVerify, CKM_SHA1_RSA_PKCS, CKM_SHA_1)
KV_RSA_HASH_VERIFY(RSASHA224PubSoftVerify, CKM_SHA224_RSA_PKCS, CKM_SHA224)
KV_RSA_HASH_VERIFY(RSASHA256PubSoftVerify, CKM_SHA256_RSA_PKCS, CKM_SHA256)
KV_RSA_HASH_VERIFY(RSASHA384PubSoftVerify, CKM_SHA384_RSA_PKCS, CKM_SHA384)
KV_RSA_HASH_VERIFY(RSASHA512PubSoftVerify, CKM_SHA512_RSA_PKCS, CKM_SHA512)
#undef KV_RSA_HASH_VERIFY

#endif
