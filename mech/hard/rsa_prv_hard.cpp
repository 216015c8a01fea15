#include "rsa_prv_hard.h"

#include <algorithm>
#include <cstring>

#include "digest_soft.h"
#include "hard_key.h"
#include "itoken.h"
#include "padding.h"
#include "secure_wipe.h"

CK_RV RSAPrvHard::GetKeyParams(ObjPtr key) {
    const ByteVec* modulus = key->Value(CKA_MODULUS);
    k_ = modulus ? static_cast<uint32_t>(std::min<size_t>(modulus->size(), UINT32_MAX)) : 0;
    // 512, 1024, 1536 or 2048 bits: what the token's key files hold.
    return k_ == 0 || k_ % 64 || k_ > kMaxModulusBytes ? CKR_KEY_TYPE_INCONSISTENT : CKR_OK;
}

CK_RV RSAPrvHard::RawCipher(uint32_t ref, const uint8_t* block, uint8_t* out) {
    uint32_t got = k_;
    return ExactAnswer(token_->RSAPrvRawCipher(ref, block, k_, out, &got), got, k_);
}

CK_RV RSAPrvHard::SignPkcs1(uint32_t ref, const uint8_t* data, uint32_t len, uint8_t* out) {
    ByteVec block(k_);
    CK_RV rv = RSA_padding_add_PKCS1_before_sign(block.data(), static_cast<int>(k_), data, static_cast<int>(len));
    rv = rv ? CKR_GENERAL_ERROR : RawCipher(ref, block.data(), out);
    SecureWipe(block);
    return rv;
}

CK_RV RSAPKCSPrvHardDecrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!Ready()) return CKR_GENERAL_ERROR;
    if (inLen == 0 || inLen % k_) return CKR_DATA_LEN_RANGE;
    if (!out) {
        *outLen = inLen;
        return CKR_OK;
    }
    if (!in) return CKR_ARGUMENTS_BAD;
    uint32_t ref = 0;
    CK_RV rv = KeyRef(ref);
    if (rv) return rv;
    // Every block through the token first, then every padding checked.
    ByteVec blocks(inLen);
    ByteVec plain(inLen);
    uint32_t total = 0;
    for (uint32_t at = 0; rv == CKR_OK && at < inLen; at += k_) rv = RawCipher(ref, in + at, blocks.data() + at);
    for (uint32_t at = 0; rv == CKR_OK && at < inLen; at += k_) {
        int len = static_cast<int>(k_);
        rv = RSA_padding_strip_PKCS1_after_decrypt(plain.data() + total, len, blocks.data() + at, static_cast<int>(k_));
        if (rv == CKR_OK) total += static_cast<uint32_t>(len);
    }
    if (rv == CKR_OK) {
        const uint32_t capacity = *outLen;
        *outLen = total;
        if (capacity < total) {
            rv = RV_BUFFER_TOO_SMALL;
        } else if (total) {
            std::memcpy(out, plain.data(), total);
        }
    }
    SecureWipe(blocks);
    SecureWipe(plain);
    return rv;
}

CK_RV RSAPKCSPrvHardSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!Ready()) return CKR_GENERAL_ERROR;
    if (inLen == 0 || inLen > k_ - 11) return CKR_DATA_LEN_RANGE;
    CK_RV rv = OfferOutput(k_, out, outLen);
    if (rv || !out) return rv;
    if (!in) return CKR_ARGUMENTS_BAD;
    uint32_t ref = 0;
    rv = KeyRef(ref);
    return rv ? rv : SignPkcs1(ref, in, inLen, out);
}

CK_RV RSAX509PrvHardDecrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen || !in) return CKR_ARGUMENTS_BAD;
    if (!Ready()) return CKR_GENERAL_ERROR;
    if (inLen != k_) return CKR_DATA_LEN_RANGE;
    CK_RV rv = OfferOutput(k_, out, outLen);
    if (rv || !out) return rv;
    uint32_t ref = 0;
    rv = KeyRef(ref);
    if (rv) return rv;
    ByteVec result(k_);
    rv = RawCipher(ref, in, result.data());
    if (rv == CKR_OK) {
        uint32_t zeros = 0;
        while (zeros < k_ && result[zeros] == 0) ++zeros;
        if (k_ > zeros) std::memcpy(out, result.data() + zeros, k_ - zeros);
        *outLen = k_ - zeros;
    }
    SecureWipe(result);
    return rv;
}

CK_RV RSAX509PrvHardSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!Ready()) return CKR_GENERAL_ERROR;
    if (inLen == 0 || inLen > k_) return CKR_DATA_LEN_RANGE;
    CK_RV rv = OfferOutput(k_, out, outLen);
    if (rv || !out) return rv;
    if (!in) return CKR_ARGUMENTS_BAD;
    uint32_t ref = 0;
    rv = KeyRef(ref);
    if (rv) return rv;
    ByteVec block(k_, 0);
    std::memcpy(block.data() + (k_ - inLen), in, inLen);
    rv = RawCipher(ref, block.data(), out);
    SecureWipe(block);
    return rv;
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
    uint32_t ref = 0;
    rv = KeyRef(ref);
    if (rv) return rv;
    if (tokenHashes_) {
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
    ByteVec encoded = rv ? ByteVec() : DigestInfo(digestMechanism_, hash);
    SecureWipe(hash, sizeof hash);
    if (rv) return rv;
    if (encoded.empty()) return CKR_GENERAL_ERROR;
    rv = SignPkcs1(ref, encoded.data(), static_cast<uint32_t>(encoded.size()), out);
    SecureWipe(encoded);
    return rv;
}
