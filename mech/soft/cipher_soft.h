// Software DES, 3DES, AES and RC2 in ECB, CBC and CBC-PAD, and RC4, for
// encryption and decryption with secret key objects held by the library.
#ifndef KV_MECH_SOFT_CIPHER_SOFT_H
#define KV_MECH_SOFT_CIPHER_SOFT_H

#include <memory>
#include <type_traits>

#include "cipher_backend.h"
#include "cipher_modes.h"

// What a cipher takes from the mechanism parameter.
struct CipherParameter {
    const void* iv = nullptr;  // CBC modes: the IV bytes
    CK_ULONG ivLen = 0;
    uint32_t effectiveBits = 0;  // RC2 only
};

// Holds the key schedule of one cipher, built from the key's CKA_VALUE for
// one mode and direction; the key type attribute is not consulted.
class SymKeySoft {
public:
    virtual ~SymKeySoft() = default;

protected:
    // DES, 3DES and AES: CBC modes take the whole parameter as the IV.
    virtual CK_RV ReadParameter(const CK_MECHANISM* mechanism, CipherMode mode, CipherParameter& p) const;
    // Null when the value's length does not suit the cipher.
    virtual std::unique_ptr<BlockCipher> Schedule(const ByteVec& value, uint32_t effectiveBits, CipherMode mode,
                                                  bool encrypt) const = 0;
    // Reads CKA_VALUE (a failed read is returned as it is) and builds the
    // schedule; a length the cipher refuses is CKR_KEY_TYPE_INCONSISTENT.
    CK_RV LoadKey(const ObjPtr& key, uint32_t effectiveBits, CipherMode mode, bool encrypt);
    CK_RV Crypt(const uint8_t* in, uint8_t* out, uint32_t len, uint8_t* iv);

private:
    std::unique_ptr<BlockCipher> cipher_;
};

// The key-holding class of each cipher: its block size and its rule for
// the key value (Schedule).
#define KV_SYM_KEY_SOFT(Name, Block)                                                                     \
    class Name : public SymKeySoft {                                                                     \
    public:                                                                                              \
        static constexpr uint32_t kBlockSize = Block;                                                    \
                                                                                                         \
    protected:                                                                                           \
        std::unique_ptr<BlockCipher> Schedule(const ByteVec& value, uint32_t, CipherMode mode,           \
                                              bool encrypt) const override;                              \
    };
// DES: at least 8 bytes; the first 8 are the key.
KV_SYM_KEY_SOFT(DESSoft, 8)
// 3DES: at least 16 bytes; 16 to 23 make a two-key key of the first 16, 24
// or more a three-key key of the first 24.
KV_SYM_KEY_SOFT(DES3Soft, 8)
// AES: exactly 16, 24 or 32 bytes.
KV_SYM_KEY_SOFT(AESSoft, 16)
#undef KV_SYM_KEY_SOFT

// RC2: 1 to 128 bytes. ECB takes CK_RC2_PARAMS (at least its 8 bytes), CBC modes
// exactly a CK_RC2_CBC_PARAMS; the low 32 bits of the effective-bits word
// are used.
class RC2Soft : public SymKeySoft {
public:
    static constexpr uint32_t kBlockSize = 8;

protected:
    CK_RV ReadParameter(const CK_MECHANISM* mechanism, CipherMode mode, CipherParameter& p) const override;
    std::unique_ptr<BlockCipher> Schedule(const ByteVec& value, uint32_t effectiveBits, CipherMode mode,
                                          bool encrypt) const override;
};

// One cipher in one mode. Init checks the key class, sets up the IV, then
// loads the key for the direction the final class reports. Every run of
// blocks goes to the cipher in one call; CBC chains through the IV area, so
// consecutive Update calls continue one another.
template <class Key, class Mode>
class SoftBlockCipher : public Key, public Mode {
public:
    uint32_t GetBlockSize() const override { return Key::kBlockSize; }
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override {
        CK_RV rv = AlgMultiPart::Init(mechanism, key);
        CipherParameter p;
        if (rv == CKR_OK) rv = this->ReadParameter(mechanism, kMode, p);
        if constexpr (kChained) {
            if (rv == CKR_OK) rv = this->SetIV(p.iv, p.ivLen);
        }
        if (rv == CKR_OK) rv = this->LoadKey(key, p.effectiveBits, kMode, this->GetFunc() == MECH_FUNC_ENCRYPT);
        return rv;
    }
    CK_RV DoCryptBlocks(const uint8_t* in, uint8_t* out, uint32_t len) override {
        if constexpr (kChained) {
            return this->Crypt(in, out, len, this->iv_);
        } else {
            return this->Crypt(in, out, len, nullptr);
        }
    }

private:
    static constexpr bool kChained = std::is_base_of<CBC, Mode>::value;
    static constexpr CipherMode kMode = kChained ? CipherMode::Cbc : CipherMode::Ecb;
};

template <class Base, KV_MECH_FUNC_E Func>
class WithFunc : public Base {
public:
    KV_MECH_FUNC_E GetFunc() const override { return Func; }
};

#define KV_SOFT_BLOCK_CIPHER(Cipher, Mode)                                                   \
    class Cipher##Mode##Soft : public SoftBlockCipher<Cipher##Soft, Mode> {};               \
    class Cipher##Mode##SoftEnc : public WithFunc<Cipher##Mode##Soft, MECH_FUNC_ENCRYPT> {}; \
    class Cipher##Mode##SoftDec : public WithFunc<Cipher##Mode##Soft, MECH_FUNC_DECRYPT> {};
KV_SOFT_BLOCK_CIPHER(DES, ECB)
KV_SOFT_BLOCK_CIPHER(DES, CBC)
KV_SOFT_BLOCK_CIPHER(DES, CBCPAD)
KV_SOFT_BLOCK_CIPHER(DES3, ECB)
KV_SOFT_BLOCK_CIPHER(DES3, CBC)
KV_SOFT_BLOCK_CIPHER(DES3, CBCPAD)
KV_SOFT_BLOCK_CIPHER(AES, ECB)
KV_SOFT_BLOCK_CIPHER(AES, CBC)
KV_SOFT_BLOCK_CIPHER(AES, CBCPAD)
KV_SOFT_BLOCK_CIPHER(RC2, ECB)
KV_SOFT_BLOCK_CIPHER(RC2, CBC)
KV_SOFT_BLOCK_CIPHER(RC2, CBCPAD)
#undef KV_SOFT_BLOCK_CIPHER

// RC4: key of 5 to 256 bytes, no parameter. Every byte is processed at once:
// Update is Do, and Final has nothing left.
class RC4Soft : public AlgMultiPart {
public:
    uint32_t GetBlockSize() const override { return 1; }
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    CK_RV Update(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override {
        return Do(in, inLen, out, outLen);
    }
    CK_RV DoCryptBlocks(const uint8_t* in, uint8_t* out, uint32_t len) override;

private:
    std::unique_ptr<StreamCipher> rc4_;
};

class RC4SoftEnc : public WithFunc<RC4Soft, MECH_FUNC_ENCRYPT> {};
class RC4SoftDec : public WithFunc<RC4Soft, MECH_FUNC_DECRYPT> {};

#endif
