// Software RSA private-key operations for keys the library holds (session
// keys): PKCS#1 and raw signing and decryption, and PKCS#1 hash-and-sign
// with each digest. The key is built from the object's CKA_MODULUS,
// CKA_PUBLIC_EXPONENT and CKA_PRIVATE_EXPONENT, with the CRT parts
// (CKA_PRIME_1 .. CKA_COEFFICIENT) when all five are there; a key without
// n, e or d cannot do any of these (CKR_KEY_FUNCTION_NOT_PERMITTED).
#ifndef KV_MECH_SOFT_RSA_PRV_SOFT_H
#define KV_MECH_SOFT_RSA_PRV_SOFT_H

#include <memory>

#include "alg.h"
#include "rsa_backend.h"
#include "rsa_blocks.h"

// An RSA private key in the library; the block size k is the modulus
// length in bytes. Single-part unless a subclass says more.
class RSAPrvSoft : public AlgMultiPart {
public:
    explicit RSAPrvSoft(CK_MECHANISM_TYPE mechanism) : mechanism_(mechanism) {}
    uint32_t GetBlockSize() const override { return k_; }
    // A CKO_PRIVATE_KEY of type CKK_RSA (else CKR_KEY_TYPE_INCONSISTENT; a
    // failed read is returned as it is), whose parts build a key (else
    // CKR_KEY_FUNCTION_NOT_PERMITTED) of at least 12 bytes (else
    // CKR_KEY_SIZE_RANGE), then the class's mechanism (else
    // CKR_MECHANISM_INVALID).
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    CK_RV Update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }
    CK_RV Final(uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }

protected:
    // The private-key operation of the loaded key; a failure (a value not
    // below the modulus) is CKR_DATA_INVALID.
    RsaRawOperation Raw();
    bool Ready() const { return static_cast<bool>(rsa_); }

    CK_MECHANISM_TYPE mechanism_;
    uint32_t k_ = 0;

private:
    std::unique_ptr<RsaPrivateKey> rsa_;
};

#define KV_RSA_PRV_SOFT(Name, Mechanism, Func)                                                \
    class Name : public RSAPrvSoft {                                                          \
    public:                                                                                   \
        Name() : RSAPrvSoft(Mechanism) {}                                                     \
        KV_MECH_FUNC_E GetFunc() const override { return Func; }                              \
        CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override; \
    };
// A whole number of k-byte blocks; the messages of their type-2 blocks are
// returned one after the other. Every malformed block is
// CKR_ENCRYPTED_DATA_INVALID.
KV_RSA_PRV_SOFT(RSAPKCSPrvSoftDecrypt, CKM_RSA_PKCS, MECH_FUNC_DECRYPT)
// 1 to k - 11 bytes of data in a type-1 block.
KV_RSA_PRV_SOFT(RSAPKCSPrvSoftSign, CKM_RSA_PKCS, MECH_FUNC_SIGN)
// One k-byte block; the result without its leading zero bytes.
KV_RSA_PRV_SOFT(RSAX509PrvSoftDecrypt, CKM_RSA_X_509, MECH_FUNC_DECRYPT)
// 1 to k bytes, right-aligned in a zeroed k-byte block.
KV_RSA_PRV_SOFT(RSAX509PrvSoftSign, CKM_RSA_X_509, MECH_FUNC_SIGN)
#undef KV_RSA_PRV_SOFT

// PKCS#1 v1.5 signature of a message: the library hashes it (Update takes
// more of it, Final signs) and signs DigestInfo || hash.
class RSAHashPrvSoftSign : public RSAPrvSoft {
public:
    RSAHashPrvSoftSign(CK_MECHANISM_TYPE mechanism, CK_MECHANISM_TYPE digest)
        : RSAPrvSoft(mechanism), digestMechanism_(digest) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_SIGN; }
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    // Takes more of the message; produces no output.
    CK_RV Update(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
    CK_RV Final(uint8_t* out, uint32_t* outLen) override;
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;

private:
    // The signature of the message taken so far, or of in when whole.
    CK_RV Sign(const uint8_t* in, uint32_t inLen, bool whole, uint8_t* out, uint32_t* outLen);

    CK_MECHANISM_TYPE digestMechanism_;
    std::unique_ptr<AlgMultiPart> digest_;
};

#define KV_RSA_HASH_SIGN(Name, Mechanism, Digest)                         \
    class Name : public RSAHashPrvSoftSign {                              \
    public:                                                               \
        Name() : RSAHashPrvSoftSign(Mechanism, Digest) {}                 \
    };
KV_RSA_HASH_SIGN(RSAMD2PrvSoftSign, CKM_MD2_RSA_PKCS, CKM_MD2)
KV_RSA_HASH_SIGN(RSAMD5PrvSoftSign, CKM_MD5_RSA_PKCS, CKM_MD5)
KV_RSA_HASH_SIGN(RSASHA1PrvSoftSign, CKM_SHA1_RSA_PKCS, CKM_SHA_1)
KV_RSA_HASH_SIGN(RSASHA224PrvSoftSign, CKM_SHA224_RSA_PKCS, CKM_SHA224)
KV_RSA_HASH_SIGN(RSASHA256PrvSoftSign, CKM_SHA256_RSA_PKCS, CKM_SHA256)
KV_RSA_HASH_SIGN(RSASHA384PrvSoftSign, CKM_SHA384_RSA_PKCS, CKM_SHA384)
KV_RSA_HASH_SIGN(RSASHA512PrvSoftSign, CKM_SHA512_RSA_PKCS, CKM_SHA512)
#undef KV_RSA_HASH_SIGN

#endif
