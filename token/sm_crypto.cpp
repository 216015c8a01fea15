#include "sm_crypto.h"

#include <mbedtls/des.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "secure_wipe.h"

namespace {

bool AesCbc(const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out, bool encrypt) {
    uint8_t zero[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv ? iv : zero, encrypt) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out, &n1, in, static_cast<int>(len)) == 1 &&
              EVP_CipherFinal_ex(ctx, out + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

bool Des3Cbc(const uint8_t* key, size_t keyLen, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out,
             bool encrypt) {
    mbedtls_des3_context ctx;
    mbedtls_des3_init(&ctx);
    uint8_t chain[8] = {};
    if (iv) std::memcpy(chain, iv, 8);
    int rc;
    if (keyLen == 24) {
        rc = encrypt ? mbedtls_des3_set3key_enc(&ctx, key) : mbedtls_des3_set3key_dec(&ctx, key);
    } else {
        rc = encrypt ? mbedtls_des3_set2key_enc(&ctx, key) : mbedtls_des3_set2key_dec(&ctx, key);
    }
    if (rc == 0)
        rc = mbedtls_des3_crypt_cbc(&ctx, encrypt ? MBEDTLS_DES_ENCRYPT : MBEDTLS_DES_DECRYPT, len, chain, in, out);
    mbedtls_des3_free(&ctx);
    return rc == 0;
}

bool DesCbc(const uint8_t* key8, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out, bool encrypt) {
    mbedtls_des_context ctx;
    mbedtls_des_init(&ctx);
    uint8_t chain[8] = {};
    if (iv) std::memcpy(chain, iv, 8);
    int rc = encrypt ? mbedtls_des_setkey_enc(&ctx, key8) : mbedtls_des_setkey_dec(&ctx, key8);
    if (rc == 0)
        rc = mbedtls_des_crypt_cbc(&ctx, encrypt ? MBEDTLS_DES_ENCRYPT : MBEDTLS_DES_DECRYPT, len, chain, in, out);
    mbedtls_des_free(&ctx);
    return rc == 0;
}

}  // namespace

bool SmCbcEncrypt(SessionCipher c, const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out) {
    if (len % BlockSizeOf(c)) return false;
    return c == SessionCipher::Aes128 ? AesCbc(key, iv, in, len, out, true) : Des3Cbc(key, 16, iv, in, len, out, true);
}

bool SmCbcDecrypt(SessionCipher c, const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out) {
    if (len % BlockSizeOf(c)) return false;
    return c == SessionCipher::Aes128 ? AesCbc(key, iv, in, len, out, false)
                                      : Des3Cbc(key, 16, iv, in, len, out, false);
}

bool SmEcbEncrypt(SessionCipher c, const uint8_t* key, const uint8_t* in, size_t len, uint8_t* out) {
    size_t b = BlockSizeOf(c);
    if (len % b) return false;
    for (size_t i = 0; i < len; i += b) {
        if (!SmCbcEncrypt(c, key, nullptr, in + i, b, out + i)) return false;
    }
    return true;
}

bool SmRetailMac(const uint8_t* key16, const uint8_t* iv8, const uint8_t* in, size_t len, uint8_t* mac8) {
    if (len == 0 || len % 8) return false;
    std::vector<uint8_t> chain(len);
    uint8_t mid[8];
    bool ok = DesCbc(key16, iv8, in, len, chain.data(), true) &&
              DesCbc(key16 + 8, nullptr, chain.data() + len - 8, 8, mid, false) &&
              DesCbc(key16, nullptr, mid, 8, mac8, true);
    SecureWipe(chain);
    SecureWipe(mid, sizeof mid);
    return ok;
}

bool TdesCbcEncrypt(const uint8_t* key, size_t keyLen, const uint8_t* in, size_t len, uint8_t* out) {
    if ((keyLen != 16 && keyLen != 24) || len % 8) return false;
    return Des3Cbc(key, keyLen, nullptr, in, len, out, true);
}
