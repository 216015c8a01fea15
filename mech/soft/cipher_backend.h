// The cipher primitives behind the software cipher classes. OpenSSL's EVP
// serves AES (it uses the processor's AES instructions); mbed TLS serves DES,
// 3DES and RC4 (3DES measured as fast as EVP's here, and OpenSSL 3 keeps
// single DES and RC4 in its legacy provider); OpenSSL's own RC2 routines
// serve RC2, whose EVP form is in the legacy provider too. Nothing above this
// file knows which library runs. Each object holds one key schedule for one
// mode and direction and wipes it when it goes.
#ifndef KV_MECH_SOFT_CIPHER_BACKEND_H
#define KV_MECH_SOFT_CIPHER_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <memory>

enum class CipherMode { Ecb, Cbc };

class BlockCipher {
public:
    virtual ~BlockCipher() = default;
    // Transforms len bytes, a multiple of the block size; in and out may be
    // the same buffer. In CBC mode it chains from iv (one block) and leaves
    // the IV for the next call there; in ECB mode iv is not used.
    virtual bool Crypt(const uint8_t* in, uint8_t* out, size_t len, uint8_t* iv) = 0;

    // Key lengths: DES 8; 3DES 16 (two keys) or 24; AES 16, 24 or 32; RC2 1
    // to 128, with effective bits outside 1..1024 taken as 1024. Null for
    // any other length or a failing library call.
    static std::unique_ptr<BlockCipher> Des(const uint8_t* key, CipherMode mode, bool encrypt);
    static std::unique_ptr<BlockCipher> Des3(const uint8_t* key, size_t len, CipherMode mode, bool encrypt);
    static std::unique_ptr<BlockCipher> Aes(const uint8_t* key, size_t len, CipherMode mode, bool encrypt);
    static std::unique_ptr<BlockCipher> Rc2(const uint8_t* key, size_t len, uint32_t effectiveBits, CipherMode mode,
                                            bool encrypt);
};

class StreamCipher {
public:
    virtual ~StreamCipher() = default;
    virtual bool Crypt(const uint8_t* in, uint8_t* out, size_t len) = 0;

    // RC4 with a key of 1 to 256 bytes; null otherwise.
    static std::unique_ptr<StreamCipher> Rc4(const uint8_t* key, size_t len);
};

#endif
