// ECDSA signing with EC private keys held on the token, on P-192 and P-256.
// Signatures are what the token returns: r || s, each of the curve's
// coordinate length, without DER wrapping.
#ifndef KV_MECH_HARD_ECC_PRV_HARD_H
#define KV_MECH_HARD_ECC_PRV_HARD_H

#include "prv_key_hard.h"

// A token EC private key; the block size is the coordinate length, 24 or
// 32. Does nothing unless a subclass says more.
class ECCPrvHard : public PrvKeyHard {
public:
    ECCPrvHard(IToken* token, CK_MECHANISM_TYPE mechanism) : PrvKeyHard(token, mechanism, CKK_EC) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_SIGN; }
    uint32_t GetBlockSize() const override { return coordLen_; }
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }
    // The coordinate length of the curve CKA_EC_PARAMS names; another
    // curve is CKR_ARGUMENTS_BAD.
    CK_RV GetKeyParams(ObjPtr key) override;

protected:
    // The token's signature of the message under the class's mechanism,
    // with the output-length protocol.
    CK_RV Sign(const uint8_t* message, uint32_t len, uint8_t* out, uint32_t* outLen);

private:
    uint32_t coordLen_ = 0;
};

// The data is the hash, at most 32 bytes; single-part only.
class ECCECDSAPrvHardSign : public ECCPrvHard {
public:
    explicit ECCECDSAPrvHardSign(IToken* token) : ECCPrvHard(token, CKM_ECDSA) {}
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
};

// The token hashes the message with SHA-1 and signs.
class ECCECDSASHA1PrvHardSign : public ECCPrvHard {
public:
    explicit ECCECDSASHA1PrvHardSign(IToken* token) : ECCPrvHard(token, CKM_ECDSA_SHA1) {}
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    // Takes more of the message; produces no output.
    CK_RV Update(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
    CK_RV Final(uint8_t* out, uint32_t* outLen) override;
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;

private:
    ByteVec message_;
};

#endif
