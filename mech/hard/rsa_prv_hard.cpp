#include "rsa_prv_hard.h"

#include <algorithm>

#include "digest_soft.h"
#include "hard_key.h"
#include "itoken.h"
#include "rsa_blocks.h"
#include "secure_wipe.h"

CK_RV RSAPrvHard::GetKeyParams(ObjPtr key) {
    const ByteVec* modulus = key->Value(CKA_MODULUS);
    k_ = modulus ? static_cast<uint32_t>(std::min<size_t>(modulus->size(), UINT32_MAX)) : 0;
    // 512, 1024, 1536 or 2048 bits: what the token's key files hold.
    return k_ == 0 || k_ % 64 || k_ > kMaxModulusBytes ? CKR_KEY_TYPE_INCONSISTENT : CKR_OK;
}

RsaRawOperation RSAPrvHard::RawCipher() {
    return [this](const uint8_t* block, uint8_t* out) {
        uint32_t ref = 0, got = k_;
        const CK_RV rv = KeyRef(ref);
        return rv ? rv : ExactAnswer(token_->RSAPrvRawCipher(ref, block, k_, out, &got), got, k_);
    };
}

CK_RV RSAPKCSPrvHardDecrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Ready() ? RsaDecryptPkcs1(RawCipher(), k_, in, inLen, out, outLen) : CKR_GENERAL_ERROR;
}

CK_RV RSAPKCSPrvHardSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Ready() ? RsaSignPkcs1Call(RawCipher(), k_, in, inLen, out, outLen) : CKR_GENERAL_ERROR;
}

CK_RV RSAX509PrvHardDecrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Ready() ? RsaDecryptRaw(RawCipher(), k_, in, inLen, out, outLen) : CKR_GENERAL_ERROR;
}

CK_RV RSAX509PrvHardSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Ready() ? RsaSignRawCall(RawCipher(), k_, in, inLen, out, outLen) : CKR_GENERAL_ERROR;
}

CK_RV RSAHashPrvHardSign::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    CK_RV rv = RSAPrvHard::Init(mechanism, key);
    if (rv) return rv;
    message_.clear();
    digest_.reset();
    tokenHashes_ = token_->IsHardwareSupportAlg(mechanism_);
    return tokenHashes_ ? CKR_OK : StartDigest(digestMechanism_, digest_);
}

CK_RV RSAHashPrvHardSign::Update(const uint8_t* in, uint32_t inLen, uint8_t*, uint32_t* outLen) {
    if (outLen) *outLen = 0;
    if (inLen == 0) return CKR_OK;
    if (!in) return CKR_ARGUMENTS_BAD;
    if (tokenHashes_) {
        message_.insert(message_.end(), in, in + inLen);
        return CKR_OK;
    }
    return digest_ ? digest_->Update(in, inLen, nullptr, nullptr) : CKR_ARGUMENTS_BAD;
}

CK_RV RSAHashPrvHardSign::Final(uint8_t* out, uint32_t* outLen) { return Sign(nullptr, 0, false, out, outLen); }

CK_RV RSAHashPrvHardSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Sign(in, inLen, true, out, outLen);
}

CK_RV RSAHashPrvHardSign::Sign(const uint8_t* in, uint32_t inLen, bool whole, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!Ready()) return CKR_GENERAL_ERROR;
    CK_RV rv = OfferOutput(k_, out, outLen);
    if (rv || !out) return rv;
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    if (tokenHashes_) {
        uint32_t ref = 0;
        if ((rv = KeyRef(ref))) return rv;
        const uint8_t* message = whole ? in : message_.data();
        const uint32_t length = whole ? inLen : static_cast<uint32_t>(message_.size());
        uint32_t got = k_;
        return ExactAnswer(token_->RSASign(ref, message, length, out, &got, static_cast<uint32_t>(mechanism_)), got,
                           k_);
    }
    if (!digest_) return CKR_ARGUMENTS_BAD;
    uint8_t hash[64];
    uint32_t hashLen = sizeof hash;
    rv = whole ? digest_->Do(in, inLen, hash, &hashLen) : digest_->Final(hash, &hashLen);
    if (rv == CKR_OK) rv = RsaSignDigestInfo(RawCipher(), k_, digestMechanism_, hash, out);
    SecureWipe(hash, sizeof hash);
    return rv;
}
