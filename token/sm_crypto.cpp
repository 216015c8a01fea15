#include "sm_crypto.h"

#include <cstring>
#include <vector>

#include "cipher_backend.h"
#include "secure_wipe.h"

namespace {

// One CBC run from iv (null: zeros) with a cipher made for it.
bool Cbc(std::unique_ptr<BlockCipher> cipher, size_t block, const uint8_t* iv, const uint8_t* in, size_t len,
         uint8_t* out) {
    uint8_t chain[16] = {};
    if (iv) std::memcpy(chain, iv, block);
    return cipher && cipher->Crypt(in, out, len, chain);
}

bool AesCbc(const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out, bool encrypt) {
    return Cbc(BlockCipher::Aes(key, 16, CipherMode::Cbc, encrypt), 16, iv, in, len, out);
}

bool Des3Cbc(const uint8_t* key, size_t keyLen, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out,
             bool encrypt) {
    return Cbc(BlockCipher::Des3(key, keyLen, CipherMode::Cbc, encrypt), 8, iv, in, len, out);
}

bool DesCbc(const uint8_t* key8, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out, bool encrypt) {
    return Cbc(BlockCipher::Des(key8, CipherMode::Cbc, encrypt), 8, iv, in, len, out);
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
