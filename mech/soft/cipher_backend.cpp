#include "cipher_backend.h"

// RC2 has no EVP form in OpenSSL's default provider; its own routines are
// marked deprecated but stay in libcrypto.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <mbedtls/arc4.h>
#include <mbedtls/des.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rc2.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// DES and 3DES share one shape in mbed TLS: a context, an ECB routine for one
// block and a CBC routine for a run. The free routines wipe the schedule.
template <class Ctx, void (*Init)(Ctx*), void (*Free)(Ctx*), int (*Ecb)(Ctx*, const unsigned char*, unsigned char*),
          int (*Cbc)(Ctx*, int, size_t, unsigned char*, const unsigned char*, unsigned char*)>
class MbedDes : public BlockCipher {
public:
    MbedDes(CipherMode mode, bool encrypt) : mode_(mode), encrypt_(encrypt) { Init(&ctx_); }
    ~MbedDes() override { Free(&ctx_); }
    MbedDes(const MbedDes&) = delete;
    MbedDes& operator=(const MbedDes&) = delete;

    Ctx* Context() { return &ctx_; }
    bool Crypt(const uint8_t* in, uint8_t* out, size_t len, uint8_t* iv) override {
        if (mode_ == CipherMode::Cbc)
            return Cbc(&ctx_, encrypt_ ? MBEDTLS_DES_ENCRYPT : MBEDTLS_DES_DECRYPT, len, iv, in, out) == 0;
        for (size_t i = 0; i + 8 <= len; i += 8) {
            if (Ecb(&ctx_, in + i, out + i) != 0) return false;
        }
        return true;
    }

private:
    Ctx ctx_;
    CipherMode mode_;
    bool encrypt_;
};

using MbedSingleDes = MbedDes<mbedtls_des_context, mbedtls_des_init, mbedtls_des_free, mbedtls_des_crypt_ecb,
                              mbedtls_des_crypt_cbc>;
using MbedTripleDes = MbedDes<mbedtls_des3_context, mbedtls_des3_init, mbedtls_des3_free, mbedtls_des3_crypt_ecb,
                              mbedtls_des3_crypt_cbc>;

// AES through EVP. The context keeps its own chaining value between calls;
// it is restarted only when the caller's IV differs from the one the last
// call handed back, which saves the restart on every call of a running CBC
// operation.
class EvpAes : public BlockCipher {
public:
    EvpAes() : ctx_(EVP_CIPHER_CTX_new()) {}
    ~EvpAes() override { EVP_CIPHER_CTX_free(ctx_); }  // cleanses the key schedule
    EvpAes(const EvpAes&) = delete;
    EvpAes& operator=(const EvpAes&) = delete;

    bool Start(const EVP_CIPHER* cipher, const uint8_t* key, bool encrypt) {
        if (!ctx_ || !cipher || EVP_CipherInit_ex(ctx_, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) != 1)
            return false;
        cbc_ = EVP_CIPHER_get_mode(cipher) == EVP_CIPH_CBC_MODE;
        encrypt_ = encrypt;
        return EVP_CIPHER_CTX_set_padding(ctx_, 0) == 1;
    }
    bool Crypt(const uint8_t* in, uint8_t* out, size_t len, uint8_t* iv) override {
        if (len % kBlock) return false;
        if (!cbc_) return Update(in, out, len);
        if (len == 0) return true;
        if (!chained_ || std::memcmp(iv, chain_, kBlock) != 0) {
            if (EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, iv, -1) != 1) return false;
        }
        // The next IV is the last ciphertext block: the input's when
        // decrypting (kept before an in-place call overwrites it).
        if (!encrypt_) std::memcpy(chain_, in + len - kBlock, kBlock);
        chained_ = Update(in, out, len);
        if (encrypt_) std::memcpy(chain_, out + len - kBlock, kBlock);
        std::memcpy(iv, chain_, kBlock);
        return chained_;
    }

private:
    bool Update(const uint8_t* in, uint8_t* out, size_t len) {
        constexpr size_t kChunk = INT_MAX / kBlock * kBlock;
        while (len) {
            const size_t n = std::min(len, kChunk);
            int written = 0;
            if (EVP_CipherUpdate(ctx_, out, &written, in, static_cast<int>(n)) != 1) return false;
            in += n;
            out += n;
            len -= n;
        }
        return true;
    }

    static constexpr size_t kBlock = 16;
    EVP_CIPHER_CTX* ctx_;
    bool cbc_ = false;
    bool encrypt_ = false;
    bool chained_ = false;
    uint8_t chain_[kBlock] = {};
};

const EVP_CIPHER* AesCipher(size_t len, CipherMode mode) {
    const bool cbc = mode == CipherMode::Cbc;
    switch (len) {
        case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        case 32: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
        default: return nullptr;
    }
}

class OpensslRc2 : public BlockCipher {
public:
    OpensslRc2(const uint8_t* key, size_t len, uint32_t effectiveBits, CipherMode mode, bool encrypt)
        : mode_(mode), enc_(encrypt ? RC2_ENCRYPT : RC2_DECRYPT) {
        const int bits = effectiveBits >= 1 && effectiveBits <= 1024 ? static_cast<int>(effectiveBits) : 1024;
        RC2_set_key(&key_, static_cast<int>(len), key, bits);
    }
    ~OpensslRc2() override { OPENSSL_cleanse(&key_, sizeof key_); }
    OpensslRc2(const OpensslRc2&) = delete;
    OpensslRc2& operator=(const OpensslRc2&) = delete;

    bool Crypt(const uint8_t* in, uint8_t* out, size_t len, uint8_t* iv) override {
        if (mode_ == CipherMode::Cbc) {
            RC2_cbc_encrypt(in, out, static_cast<long>(len), &key_, iv, enc_);
            return true;
        }
        for (size_t i = 0; i + RC2_BLOCK <= len; i += RC2_BLOCK) RC2_ecb_encrypt(in + i, out + i, &key_, enc_);
        return true;
    }

private:
    RC2_KEY key_;
    CipherMode mode_;
    int enc_;
};

class MbedRc4 : public StreamCipher {
public:
    MbedRc4(const uint8_t* key, size_t len) {
        mbedtls_arc4_init(&ctx_);
        mbedtls_arc4_setup(&ctx_, key, static_cast<unsigned int>(len));
    }
    ~MbedRc4() override { mbedtls_arc4_free(&ctx_); }  // zeroizes the state
    MbedRc4(const MbedRc4&) = delete;
    MbedRc4& operator=(const MbedRc4&) = delete;

    bool Crypt(const uint8_t* in, uint8_t* out, size_t len) override {
        return mbedtls_arc4_crypt(&ctx_, len, in, out) == 0;
    }

private:
    mbedtls_arc4_context ctx_;
};

}  // namespace

std::unique_ptr<BlockCipher> BlockCipher::Des(const uint8_t* key, CipherMode mode, bool encrypt) {
    auto c = std::make_unique<MbedSingleDes>(mode, encrypt);
    const int rc = encrypt ? mbedtls_des_setkey_enc(c->Context(), key) : mbedtls_des_setkey_dec(c->Context(), key);
    return rc == 0 ? std::move(c) : nullptr;
}

std::unique_ptr<BlockCipher> BlockCipher::Des3(const uint8_t* key, size_t len, CipherMode mode, bool encrypt) {
    auto c = std::make_unique<MbedTripleDes>(mode, encrypt);
    int rc = -1;
    mbedtls_des3_context* ctx = c->Context();
    if (len == 16) rc = encrypt ? mbedtls_des3_set2key_enc(ctx, key) : mbedtls_des3_set2key_dec(ctx, key);
    if (len == 24) rc = encrypt ? mbedtls_des3_set3key_enc(ctx, key) : mbedtls_des3_set3key_dec(ctx, key);
    return rc == 0 ? std::move(c) : nullptr;
}

std::unique_ptr<BlockCipher> BlockCipher::Aes(const uint8_t* key, size_t len, CipherMode mode, bool encrypt) {
    auto c = std::make_unique<EvpAes>();
    return c->Start(AesCipher(len, mode), key, encrypt) ? std::move(c) : nullptr;
}

std::unique_ptr<BlockCipher> BlockCipher::Rc2(const uint8_t* key, size_t len, uint32_t effectiveBits, CipherMode mode,
                                              bool encrypt) {
    if (len < 1 || len > 128) return nullptr;
    return std::make_unique<OpensslRc2>(key, len, effectiveBits, mode, encrypt);
}

std::unique_ptr<StreamCipher> StreamCipher::Rc4(const uint8_t* key, size_t len) {
    if (len < 1 || len > 256) return nullptr;
    return std::make_unique<MbedRc4>(key, len);
}
