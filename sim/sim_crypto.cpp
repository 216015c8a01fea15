#include "sim_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace sim {
namespace {

const EVP_CIPHER* PickCbc(Cipher c, size_t keyLen) {
    if (c == Cipher::Aes128) return EVP_aes_128_cbc();
    return keyLen == 24 ? EVP_des_ede3_cbc() : EVP_des_ede_cbc();
}

// One pass of an unpadded EVP cipher over whole blocks; nullopt on failure.
std::optional<Bytes> RunEvp(const EVP_CIPHER* type, const uint8_t* key, const uint8_t* iv, const Bytes& in,
                            bool encrypt) {
    size_t b = static_cast<size_t>(EVP_CIPHER_get_block_size(type));
    if (in.size() % b != 0) return std::nullopt;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + b);
    int n1 = 0, n2 = 0;
    bool ok = ctx && EVP_CipherInit_ex(ctx, type, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return std::nullopt;
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

Bytes RunCbc(Cipher c, const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
    size_t b = BlockSize(c);
    if (in.size() % b != 0) throw std::invalid_argument("not whole blocks");
    Bytes ivFull(iv);
    ivFull.resize(b, 0);
    auto out = RunEvp(PickCbc(c, key.size()), key.data(), ivFull.data(), in, encrypt);
    if (!out) throw std::runtime_error("cipher failed");
    return *out;
}

const EVP_CIPHER* PickSecret(SecretFamily f, bool cbc, size_t keyLen) {
    if (f == SecretFamily::Aes) {
        switch (keyLen) {
            case 16: return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
            case 24: return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
            case 32: return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
            default: return nullptr;
        }
    }
    switch (keyLen) {
        case 8:  // single DES runs as three-key EDE with the key three times
        case 24: return cbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
        case 16: return cbc ? EVP_des_ede_cbc() : EVP_des_ede_ecb();
        default: return nullptr;
    }
}

}  // namespace

size_t BlockSize(Cipher c) { return c == Cipher::Aes128 ? 16 : 8; }

size_t BlockSize(SecretFamily f) { return f == SecretFamily::Aes ? 16 : 8; }

void Wipe(void* p, size_t n) { OPENSSL_cleanse(p, n); }

std::optional<Bytes> SecretKeyCrypt(SecretFamily f, bool cbc, const SecretBytes& key, const Bytes& in, bool encrypt) {
    const EVP_CIPHER* type = PickSecret(f, cbc, key.size());
    if (!type) return std::nullopt;
    SecretBytes k(key);
    if (k.size() == 8) {
        k.insert(k.end(), key.begin(), key.end());
        k.insert(k.end(), key.begin(), key.end());
    }
    const uint8_t zeroIv[16] = {};
    return RunEvp(type, k.data(), zeroIv, in, encrypt);
}

Bytes CbcEncrypt(Cipher c, const Bytes& key, const Bytes& iv, const Bytes& in) { return RunCbc(c, key, iv, in, true); }

Bytes CbcDecrypt(Cipher c, const Bytes& key, const Bytes& iv, const Bytes& in) { return RunCbc(c, key, iv, in, false); }

Bytes EcbEncrypt(Cipher c, const Bytes& key, const Bytes& in) {
    size_t b = BlockSize(c);
    Bytes out;
    for (size_t i = 0; i < in.size(); i += b) {
        Bytes block(in.begin() + static_cast<long>(i), in.begin() + static_cast<long>(i + b));
        Bytes enc = CbcEncrypt(c, key, Bytes(), block);
        out.insert(out.end(), enc.begin(), enc.end());
    }
    return out;
}

Bytes RetailMac(const Bytes& key16, const Bytes& iv8, const Bytes& in) {
    // Single DES as three-key EDE with one key repeated.
    Bytes k1(key16.begin(), key16.begin() + 8), k2(key16.begin() + 8, key16.end());
    Bytes k1x3, k2x3;
    for (int i = 0; i < 3; ++i) {
        k1x3.insert(k1x3.end(), k1.begin(), k1.end());
        k2x3.insert(k2x3.end(), k2.begin(), k2.end());
    }
    Bytes chain = CbcEncrypt(Cipher::Tdes2, k1x3, iv8, in);
    Bytes last(chain.end() - 8, chain.end());
    Bytes mid = CbcDecrypt(Cipher::Tdes2, k2x3, Bytes(), last);
    return CbcEncrypt(Cipher::Tdes2, k1x3, Bytes(), mid);
}

Bytes RandomBytes(size_t n) {
    Bytes out(n);
    if (n && RAND_bytes(out.data(), static_cast<int>(n)) != 1) throw std::runtime_error("no randomness");
    return out;
}

Bytes PadIso(const Bytes& data, size_t block) {
    Bytes out(data);
    out.push_back(0x80);
    while (out.size() % block) out.push_back(0);
    return out;
}

}  // namespace sim
