// What the software public-key classes share: the key checks of Init, the
// single-part default, the signature length check, and hash-then-verify.
#ifndef KV_MECH_SOFT_PUBKEY_SOFT_H
#define KV_MECH_SOFT_PUBKEY_SOFT_H

#include <memory>
#include <utility>

#include "alg_factory.h"
#include "digest_soft.h"

// A public key object loaded for one operation. Single-part unless a
// subclass says more; a signature to check arrives in the output pair.
class AlgPubKeySoft : public AlgMultiPart {
public:
    // The mechanism the class serves and the key type it takes. A key of
    // another class or type gives wrongKey; with mechanismFirst the
    // mechanism is checked before the key (a mismatch is CKR_ARGUMENTS_BAD),
    // else after it (CKR_MECHANISM_INVALID).
    AlgPubKeySoft(CK_MECHANISM_TYPE mechanism, CK_KEY_TYPE keyType, CK_RV wrongKey, bool mechanismFirst)
        : mechanism_(mechanism), keyType_(keyType), wrongKey_(wrongKey), mechanismFirst_(mechanismFirst) {}
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    CK_RV Update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }
    CK_RV Final(uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }
    // Loads the key material of a key of the right kind.
    virtual CK_RV GetKeyParams(ObjPtr key) = 0;

protected:
    // The signature length the key makes; 0 before a key is loaded.
    virtual uint32_t SignatureLength() const = 0;
    // A signature of another length is CKR_SIGNATURE_LEN_RANGE.
    CK_RV CheckSignature(const uint8_t* signature, const uint32_t* signatureLen) const;

private:
    CK_MECHANISM_TYPE mechanism_;
    CK_KEY_TYPE keyType_;
    CK_RV wrongKey_;
    bool mechanismFirst_;
};

// Hash-then-verify over a verifier of digests (a class with VerifyDigest):
// Update feeds an owned digest object, Final finishes it, Do hashes the
// whole message. The signature's length is checked before the digest is
// finished, so a wrong length keeps the state.
template <class Verifier>
class HashThenVerify : public Verifier {
public:
    template <class... Args>
    explicit HashThenVerify(CK_MECHANISM_TYPE digest, Args&&... args)
        : Verifier(std::forward<Args>(args)...), digestMechanism_(digest) {}

    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_VERIFY; }
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override {
        CK_RV rv = Verifier::Init(mechanism, key);
        return rv ? rv : StartDigest(digestMechanism_, digest_);
    }
    CK_RV Update(const uint8_t* in, uint32_t inLen, uint8_t*, uint32_t*) override {
        return digest_ ? digest_->Update(in, inLen, nullptr, nullptr) : CKR_GENERAL_ERROR;
    }
    CK_RV Final(uint8_t* signature, uint32_t* signatureLen) override {
        return Finish(nullptr, 0, false, signature, signatureLen);
    }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) override {
        return Finish(in, inLen, true, signature, signatureLen);
    }

private:
    CK_RV Finish(const uint8_t* in, uint32_t inLen, bool wholeMessage, const uint8_t* signature,
                 const uint32_t* signatureLen) {
        CK_RV rv = this->CheckSignature(signature, signatureLen);
        if (rv) return rv;
        if (!digest_) return CKR_GENERAL_ERROR;
        uint8_t hash[64];
        uint32_t hashLen = sizeof hash;
        rv = wholeMessage ? digest_->Do(in, inLen, hash, &hashLen) : digest_->Final(hash, &hashLen);
        return rv ? rv : this->VerifyDigest(hash, hashLen, signature);
    }

    CK_MECHANISM_TYPE digestMechanism_;
    std::unique_ptr<AlgMultiPart> digest_;
};

#endif
