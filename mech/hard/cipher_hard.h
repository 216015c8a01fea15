// DES, 3DES and AES in ECB, CBC and CBC-PAD with secret keys held on the
// token: the token transforms the blocks, the mode classes buffer, chain
// and pad exactly as for the software ciphers.
#ifndef KV_MECH_HARD_CIPHER_HARD_H
#define KV_MECH_HARD_CIPHER_HARD_H

#include <type_traits>

#include "cipher_modes.h"

class IToken;

// The token's operations for one cipher.
struct TokenCipherOps {
    RV (IToken::*ecb)(uint32_t keyNumber, const uint8_t* in, uint8_t* out, uint32_t len, bool encrypt);
    RV (IToken::*encryptCbc)(uint32_t keyNumber, uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len);
    RV (IToken::*decryptCbc)(uint32_t keyNumber, uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len);
};

// A secret key on the token, addressed by the low byte of its reference.
class SymKeyHard {
public:
    virtual ~SymKeyHard() = default;

protected:
    SymKeyHard(IToken* token, const TokenCipherOps& ops) : token_(token), ops_(ops) {}
    // CKA_VENDOR_KEY_REF; a failed read is returned as it is.
    CK_RV ReadKeyNumber(const ObjPtr& key);
    RV Ecb(const uint8_t* in, uint8_t* out, uint32_t len, bool encrypt);
    // The token leaves in iv the block that continues the chain.
    RV Cbc(uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len, bool encrypt);

private:
    IToken* token_;
    const TokenCipherOps& ops_;
    uint32_t keyNumber_ = 0;
};

// The key class of one cipher: its block size and its rule for the key
// object (LoadKey, which then reads the reference).
#define KV_SYM_KEY_HARD(Name, Block)                  \
    class Name : public SymKeyHard {                  \
    public:                                           \
        static constexpr uint32_t kBlockSize = Block; \
        explicit Name(IToken* token);                 \
                                                      \
    protected:                                        \
        CK_RV LoadKey(const ObjPtr& key);             \
    };
// DES (CKK_DES, 8 bytes) and 3DES (CKK_DES3, 16 or 24 bytes): another length
// is CKR_KEY_TYPE_INCONSISTENT, another key type CKR_GENERAL_ERROR.
KV_SYM_KEY_HARD(DESHard, 8)
// AES: CKA_VALUE of 16, 24 or 32 bytes, else CKR_KEY_TYPE_INCONSISTENT; the
// key type is not looked at.
KV_SYM_KEY_HARD(AESHard, 16)
#undef KV_SYM_KEY_HARD

// One cipher in one mode and direction. Init checks the key class, loads
// the key, then copies the CBC modes' parameter into the IV area; every run
// of blocks goes to the token in one call, which a token failure turns into
// CKR_DEVICE_ERROR.
template <class Key, class Mode, KV_MECH_FUNC_E Func>
class HardBlockCipher : public Key, public Mode {
public:
    explicit HardBlockCipher(IToken* token) : Key(token) {}
    KV_MECH_FUNC_E GetFunc() const override { return Func; }
    uint32_t GetBlockSize() const override { return Key::kBlockSize; }
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override {
        CK_RV rv = AlgMultiPart::Init(mechanism, key);
        if (rv == CKR_OK) rv = this->LoadKey(key);
        if constexpr (kChained) {
            if (rv == CKR_OK) rv = this->SetIV(mechanism->pParameter, mechanism->ulParameterLen);
        }
        return rv;
    }
    CK_RV DoCryptBlocks(const uint8_t* in, uint8_t* out, uint32_t len) override {
        RV rv = 0;
        if constexpr (kChained) {
            rv = this->Cbc(this->iv_, in, out, len, Func == MECH_FUNC_ENCRYPT);
        } else {
            rv = this->Ecb(in, out, len, Func == MECH_FUNC_ENCRYPT);
        }
        return rv ? CKR_DEVICE_ERROR : CKR_OK;
    }

private:
    static constexpr bool kChained = std::is_base_of<CBC, Mode>::value;
};

#define KV_HARD_BLOCK_CIPHER(Cipher, Mode)                                                \
    using Cipher##Mode##HardEnc = HardBlockCipher<Cipher##Hard, Mode, MECH_FUNC_ENCRYPT>; \
    using Cipher##Mode##HardDec = HardBlockCipher<Cipher##Hard, Mode, MECH_FUNC_DECRYPT>;
KV_HARD_BLOCK_CIPHER(DES, ECB)
KV_HARD_BLOCK_CIPHER(DES, CBC)
KV_HARD_BLOCK_CIPHER(DES, CBCPAD)
KV_HARD_BLOCK_CIPHER(AES, ECB)
KV_HARD_BLOCK_CIPHER(AES, CBC)
KV_HARD_BLOCK_CIPHER(AES, CBCPAD)
#undef KV_HARD_BLOCK_CIPHER

#endif
