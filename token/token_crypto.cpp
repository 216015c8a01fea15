// CTokenTarn: security environment and security operations: signing with
// an on-token or phone-side hash, private-key deciphering, ECB and CBC with
// on-token secret keys, and the on-token HMAC.
#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "device_lock.h"
#include "hash_backend.h"
#include "secure_wipe.h"
#include "token_tarn.h"

namespace {

constexpr uint32_t kAnswerArea = 2048;
constexpr uint16_t kHashFid = 0xA000;

uint8_t Hi(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(uint32_t v) { return static_cast<uint8_t>(v); }

// Algorithm byte and hash length of a hash-and-sign or hash mechanism.
bool HashAlgorithm(uint32_t mechanism, uint32_t length, uint32_t kind, uint8_t& algorithm, uint32_t& digestLen) {
    if (kind == CTokenTarn::kKindRsa) {
        if (mechanism == CKM_SHA_1 || mechanism == CKM_SHA1_RSA_PKCS) {
            algorithm = 0x81;
            digestLen = 20;
        } else if (mechanism == CKM_SHA256 || mechanism == CKM_SHA256_RSA_PKCS) {
            algorithm = 0x82;
            digestLen = 32;
        } else {
            return false;
        }
        return true;
    }
    if (mechanism == CKM_ECDSA_SHA1) {
        algorithm = 0x91;
        digestLen = 20;
    } else if (mechanism == CKM_ECDSA && (length == 20 || length == 32)) {
        algorithm = length == 20 ? 0x91 : 0x92;
        digestLen = 0;
    } else {
        return false;
    }
    return true;
}

}  // namespace

RV CTokenTarn::cmdSetMSE(uint8_t p1, uint8_t p2, uint8_t algorithm, uint32_t reference, bool secretKey) {
    ByteVec data = {0x80, 0x01, algorithm};
    if (secretKey) {
        data.insert(data.end(), {0x83, 0x01, Lo(reference)});
    } else {
        data.insert(data.end(), {0x81, 0x02, Hi(reference), Lo(reference)});
    }
    // A secret-key environment the token holds from earlier in this lock
    // scope (the pieces of one long cipher call) is not sent again: nobody
    // else had the token since, and a new channel or a reset forgets it.
    ByteVec environment{p1, p2};
    environment.insert(environment.end(), data.begin(), data.end());
    if (secretKey && lockDepth_ && environment == lastMse_ && lastMseEpoch_ == lockEpoch_ && channelEpoch_ == lastMseChannel_)
        return 0;
    lastMse_.clear();
    RV rv = CommandResult(im_TransmitAPDU(apdu::MseSet(p1, p2, data), nullptr, nullptr, false));
    if (rv == 0 && secretKey) {
        lastMse_ = environment;
        lastMseEpoch_ = lockEpoch_;
        lastMseChannel_ = channelEpoch_;
    }
    return rv;
}

RV CTokenTarn::cmdPSO(apdu::PsoKind kind, const uint8_t* data, uint32_t length, uint32_t le, uint8_t* out,
                      uint32_t* outLen) {
    if (length > kAnswerArea) return CKR_ARGUMENTS_BAD;
    uint8_t answer[kAnswerArea];
    uint32_t got = sizeof answer;
    uint16_t sw = im_TransmitAPDU(apdu::Pso(kind, data, length, le), answer, &got, true);
    RV rv = CommandResult(sw);
    if (rv == 0 && outLen) {
        if (out && got > *outLen) rv = CKR_DEVICE_ERROR;  // more than the caller's area
        else if (out && got) std::memcpy(out, answer, got);
        if (rv == 0) *outLen = got;
    }
    SecureWipe(answer, sizeof answer);
    return rv;
}

RV CTokenTarn::cmdSetHash(uint32_t fid, const uint8_t* message, uint32_t length, uint32_t mechanism, uint32_t kind,
                          uint8_t* output) {
    if (length && !message) return CKR_ARGUMENTS_BAD;
    uint8_t algorithm = 0;
    uint32_t digestLen = 0;
    if (!HashAlgorithm(mechanism, length, kind, algorithm, digestLen)) return CKR_GENERAL_ERROR;
    RV rv = cmdSetMSE(apdu::kMseSetCompute, apdu::kMseSignTemplate, algorithm, fid, false);
    if (rv || mechanism == CKM_ECDSA) return rv;
    uint32_t outLen = digestLen;
    if (length < BlockLength())
        return cmdPSO(apdu::kPsoHash, message, length, digestLen, output, output ? &outLen : nullptr);
    // Whole blocks of the head are hashed here; the token finishes with the tail.
    const uint32_t tail = length % 64 ? length % 64 : 64;
    const uint32_t head = length - tail;
    ByteVec data = {0x81, 0x04, 0, 0, 0, 0};
    StoreBe32(data.data() + 2, head / 64);
    data.insert(data.end(), {0x90, static_cast<uint8_t>(digestLen)});
    HashBackend::ChainingValue(digestLen, message, head, data);
    data.insert(data.end(), {0x80, static_cast<uint8_t>(tail)});
    data.insert(data.end(), message + head, message + length);
    rv = cmdPSO(apdu::kPsoHashRest, data.data(), static_cast<uint32_t>(data.size()), digestLen, output,
                output ? &outLen : nullptr);
    SecureWipe(data);
    return rv;
}

RV CTokenTarn::GetHash(uint32_t mechanism, const uint8_t* message, uint32_t length, uint8_t* output) {
    if (!output) return CKR_ARGUMENTS_BAD;
    DeviceLock lock(*this);
    if (lock.Result() || cmdSetHash(kHashFid, message, length, mechanism, kKindRsa, output) != 0) return CKR_DEVICE_ERROR;
    return 0;
}

RV CTokenTarn::RSASign(uint32_t fid, const uint8_t* message, uint32_t length, uint8_t* output, uint32_t* outLen,
                       uint32_t mechanism) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    DeviceLock lock(*this);
    if (RV rv = lock.Result()) return rv;
    RV rv = cmdSetHash(fid, message, length, mechanism, kKindRsa, nullptr);
    return rv ? rv : cmdPSO(apdu::kPsoSign, nullptr, 0, 0, output, outLen);
}

RV CTokenTarn::ECCSign(uint32_t fid, const uint8_t* message, uint32_t length, uint8_t* output, uint32_t* outLen,
                       uint32_t mechanism) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    DeviceLock lock(*this);
    if (RV rv = lock.Result()) return rv;
    RV rv = cmdSetHash(fid, message, length, mechanism, kKindEc, nullptr);
    if (rv) return rv;
    // The token signs the hash it kept, or the hash given with CKM_ECDSA.
    return mechanism == CKM_ECDSA ? cmdPSO(apdu::kPsoSign, message, length, 0, output, outLen)
                                  : cmdPSO(apdu::kPsoSign, nullptr, 0, 0, output, outLen);
}

RV CTokenTarn::PrivateDecipher(uint32_t fid, uint8_t algorithm, const uint8_t* input, uint32_t length, uint8_t* output,
                               uint32_t* outLen) {
    if (!outLen || (length && !input) || length > kAnswerArea) return CKR_ARGUMENTS_BAD;
    DeviceLock lock(*this);
    if (RV rv = lock.Result()) return rv;
    RV rv = cmdSetMSE(apdu::kMseSetCompute, apdu::kMseCipherTemplate, algorithm, fid, false);
    return rv ? rv : cmdPSO(apdu::kPsoDecipher, input, length, 0, output, outLen);
}

// The raw RSA private-key operation goes out as PSO DECIPHER (algorithm 84);
// RSA PKCS#1 signing takes this way too, with the block padded beforehand.
RV CTokenTarn::RSAPrvRawCipher(uint32_t fid, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen) {
    return PrivateDecipher(fid, 0x84, input, length, output, outLen);
}

RV CTokenTarn::ECCDecrypt(uint32_t fid, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    uint8_t plain[kAnswerArea];
    uint32_t got = sizeof plain;
    RV rv = PrivateDecipher(fid, 0x93, input, length, plain, &got);
    if (rv == 0 && got != length / 4) rv = CKR_DEVICE_ERROR;
    if (rv == 0 && output && got > *outLen) rv = CKR_DEVICE_ERROR;
    if (rv == 0) {
        if (output && got) std::memcpy(output, plain, got);
        *outLen = got;
    }
    SecureWipe(plain, sizeof plain);
    return rv;
}

RV CTokenTarn::cmd_Symmetric_Alg_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length,
                                    uint8_t algorithm, uint32_t block, bool encrypt) {
    if (!input || !output || length % block) return CKR_ARGUMENTS_BAD;
    DeviceLock lock(*this);
    if (RV rv = lock.Result()) return rv;
    RV rv = cmdSetMSE(encrypt ? apdu::kMseSetEncipher : apdu::kMseSetCompute, apdu::kMseCipherTemplate, algorithm,
                      keyNumber, true);
    if (rv) return rv;
    uint32_t got = length;
    rv = cmdPSO(encrypt ? apdu::kPsoEncipher : apdu::kPsoDecipher, input, length, 0, output, &got);
    return rv == 0 && got != length ? CKR_DEVICE_ERROR : rv;
}

RV CTokenTarn::ECB_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length, uint8_t algorithm,
                      uint32_t block, bool encrypt) {
    if (!input || !output || length % block) return CKR_ARGUMENTS_BAD;
    const uint32_t piece = BlockLength();
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = std::min(piece, length - done);
        RV rv = cmd_Symmetric_Alg_OP(keyNumber, input + done, output + done, n, algorithm, block, encrypt);
        if (rv) return rv;
        done += n;
    }
    return 0;
}

// The token runs CBC with a zero IV inside each command; the chain between
// commands, and between calls through iv, is carried here. Input and output
// may be one buffer.
RV CTokenTarn::Encrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length,
                           uint8_t algorithm, uint32_t block) {
    if (!iv || !input || !output || length % block) return CKR_ARGUMENTS_BAD;
    ByteVec copy(input, input + length);
    const uint32_t piece = BlockLength();
    const uint8_t* chain = iv;
    RV rv = 0;
    for (uint32_t done = 0; done < length && rv == 0; done += std::min(piece, length - done)) {
        const uint32_t n = std::min(piece, length - done);
        for (uint32_t i = 0; i < block; ++i) copy[done + i] ^= chain[i];
        rv = cmd_Symmetric_Alg_OP(keyNumber, copy.data() + done, output + done, n, algorithm, block, true);
        chain = output + done + n - block;
    }
    SecureWipe(copy);
    if (rv == 0 && length) std::memcpy(iv, output + length - block, block);  // a failure leaves the chain as it was
    return rv;
}

RV CTokenTarn::Decrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length,
                           uint8_t algorithm, uint32_t block) {
    if (!iv || !input || !output || length % block) return CKR_ARGUMENTS_BAD;
    const uint32_t piece = BlockLength();
    uint8_t next[16];
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = std::min(piece, length - done);
        std::memcpy(next, input + done + n - block, block);  // before an in-place output overwrites it
        RV rv = cmd_Symmetric_Alg_OP(keyNumber, input + done, output + done, n, algorithm, block, false);
        if (rv) return rv;
        for (uint32_t i = 0; i < block; ++i) output[done + i] ^= iv[i];
        std::memcpy(iv, next, block);
        done += n;
    }
    return 0;
}

RV CTokenTarn::AES_ECB_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt) {
    return ECB_OP(keyNumber, input, output, length, 3, 16, encrypt);
}

RV CTokenTarn::DES_ECB_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt) {
    return ECB_OP(keyNumber, input, output, length, 1, 8, encrypt);
}

RV CTokenTarn::AES_Encrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) {
    return Encrypt_CBC(keyNumber, iv, input, output, length, 4, 16);
}

RV CTokenTarn::AES_Decrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) {
    return Decrypt_CBC(keyNumber, iv, input, output, length, 4, 16);
}

RV CTokenTarn::DES_Encrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) {
    return Encrypt_CBC(keyNumber, iv, input, output, length, 2, 8);
}

RV CTokenTarn::DES_Decrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) {
    return Decrypt_CBC(keyNumber, iv, input, output, length, 2, 8);
}

RV CTokenTarn::GetHmacResult(const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outLen) {
    if ((length && !data) || !output || !outLen || length > kAnswerArea) return CKR_ARGUMENTS_BAD;
    uint8_t answer[32];
    uint32_t got = sizeof answer;
    uint16_t sw = im_TransmitAPDU(apdu::Hmac(data, length), answer, &got, true);
    RV rv = CommandResult(sw);
    if (rv == 0 && got > *outLen) rv = CKR_DEVICE_ERROR;
    if (rv == 0) {
        std::memcpy(output, answer, got);
        *outLen = got;
    }
    return rv;
}
