// RSA private-key operations with keys held on the token: PKCS#1 and raw
// signing and decryption, and PKCS#1 hash-and-sign with each digest, where
// either the token or the library hashes.
#ifndef KV_MECH_HARD_RSA_PRV_HARD_H
#define KV_MECH_HARD_RSA_PRV_HARD_H

#include <memory>

#include "prv_key_hard.h"
#include "rsa_blocks.h"

// A token RSA private key; the block size k is the modulus length in bytes.
class RSAPrvHard : public PrvKeyHard {
public:
    RSAPrvHard(IToken* token, CK_MECHANISM_TYPE mechanism) : PrvKeyHard(token, mechanism, CKK_RSA) {}
    uint32_t GetBlockSize() const override { return k_; }
    // k from CKA_MODULUS: a multiple of 64 bytes up to 256, else
    // CKR_KEY_TYPE_INCONSISTENT.
    CK_RV GetKeyParams(ObjPtr key) override;

protected:
    // The token's private-key operation with the key's reference, read when
    // the operation runs.
    RsaRawOperation RawCipher();

    uint32_t k_ = 0;
};

// The single-part classes: Name, mechanism, function.
#define KV_RSA_PRV_HARD(Name, Mechanism, Func)                                                \
    class Name : public RSAPrvHard {                                                          \
    public:                                                                                   \
        explicit Name(IToken* token) : RSAPrvHard(token, Mechanism) {}                        \
        KV_MECH_FUNC_E GetFunc() const override { return Func; }                              \
        CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override; \
    };
// A whole number of k-byte blocks; the messages of their type-2 blocks are
// returned one after the other.
KV_RSA_PRV_HARD(RSAPKCSPrvHardDecrypt, CKM_RSA_PKCS, MECH_FUNC_DECRYPT)
// 1 to k - 11 bytes of data in a type-1 block.
KV_RSA_PRV_HARD(RSAPKCSPrvHardSign, CKM_RSA_PKCS, MECH_FUNC_SIGN)
// One k-byte block; the result without its leading zero bytes.
KV_RSA_PRV_HARD(RSAX509PrvHardDecrypt, CKM_RSA_X_509, MECH_FUNC_DECRYPT)
// 1 to k bytes, right-aligned in a zeroed k-byte block.
KV_RSA_PRV_HARD(RSAX509PrvHardSign, CKM_RSA_X_509, MECH_FUNC_SIGN)
#undef KV_RSA_PRV_HARD

// PKCS#1 v1.5 signature of a message. Init asks the token once whether it
// hashes-and-signs the mechanism itself: then the whole message goes to the
// token; otherwise the library hashes it and signs DigestInfo || hash with
// the private-key operation. The choice holds for the whole operation.
class RSAHashPrvHardSign : public RSAPrvHard {
public:
    RSAHashPrvHardSign(IToken* token, CK_MECHANISM_TYPE mechanism, CK_MECHANISM_TYPE digest)
        : RSAPrvHard(token, mechanism), digestMechanism_(digest) {}
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
    bool tokenHashes_ = false;
    ByteVec message_;                       // when the token hashes
    std::unique_ptr<AlgMultiPart> digest_;  // when the library hashes
};

#define KV_RSA_HASH_SIGN(Name, Mechanism, Digest)                                      \
    class Name : public RSAHashPrvHardSign {                                           \
    public:                                                                            \
        explicit Name(IToken* token) : RSAHashPrvHardSign(token, Mechanism, Digest) {} \
    };
KV_RSA_HASH_SIGN(RSAMD2PrvHardSign, CKM_MD2_RSA_PKCS, CKM_MD2)
KV_RSA_HASH_SIGN(RSAMD5PrvHardSign, CKM_MD5_RSA_PKCS, CKM_MD5)
KV_RSA_HASH_SIGN(RSASHA1PrvHardSign, CKM_SHA1_RSA_PKCS, CKM_SHA_1)
KV_RSA_HASH_SIGN(RSASHA224PrvHardSign, CKM_SHA224_RSA_PKCS, CKM_SHA224)
KV_RSA_HASH_SIGN(RSASHA256PrvHardSign, CKM_SHA256_RSA_PKCS, CKM_SHA256)
KV_RSA_HASH_SIGN(RSASHA384PrvHardSign, CKM_SHA384_RSA_PKCS, CKM_SHA384)
KV_RSA_HASH_SIGN(RSASHA512PrvHardSign, CKM_SHA512_RSA_PKCS, CKM_SHA512)
#undef KV_RSA_HASH_SIGN

#endif
