#include "cipher_hard.h"

#include "hard_key.h"
#include "itoken.h"

namespace {

const TokenCipherOps kDesOps = {&IToken::DES_ECB_OP, &IToken::DES_Encrypt_CBC, &IToken::DES_Decrypt_CBC};
const TokenCipherOps kAesOps = {&IToken::AES_ECB_OP, &IToken::AES_Encrypt_CBC, &IToken::AES_Decrypt_CBC};

}  // namespace

CK_RV SymKeyHard::ReadKeyNumber(const ObjPtr& key) {
    uint32_t ref = 0;
    CK_RV rv = ReadKeyRef(key, ref);
    keyNumber_ = ref & 0xFFu;
    return rv;
}

RV SymKeyHard::Ecb(const uint8_t* in, uint8_t* out, uint32_t len, bool encrypt) {
    return (token_->*ops_.ecb)(keyNumber_, in, out, len, encrypt);
}

RV SymKeyHard::Cbc(uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len, bool encrypt) {
    return (token_->*(encrypt ? ops_.encryptCbc : ops_.decryptCbc))(keyNumber_, iv, in, out, len);
}

DESHard::DESHard(IToken* token) : SymKeyHard(token, kDesOps) {}

CK_RV DESHard::LoadKey(const ObjPtr& key) {
    const ByteVec* value = key->Value(CKA_VALUE);
    uint32_t keyType = 0;
    CK_RV rv = ReadULong(key, CKA_KEY_TYPE, keyType);
    if (rv) return rv;
    const size_t len = value ? value->size() : 0;
    if (keyType == CKK_DES) {
        if (len != 8) return CKR_KEY_TYPE_INCONSISTENT;
    } else if (keyType == CKK_DES3) {
        if (len != 16 && len != 24) return CKR_KEY_TYPE_INCONSISTENT;
    } else {
        return CKR_GENERAL_ERROR;
    }
    return ReadKeyNumber(key);
}

AESHard::AESHard(IToken* token) : SymKeyHard(token, kAesOps) {}

CK_RV AESHard::LoadKey(const ObjPtr& key) {
    const ByteVec* value = key->Value(CKA_VALUE);
    const size_t len = value ? value->size() : 0;
    if (len != 16 && len != 24 && len != 32) return CKR_KEY_TYPE_INCONSISTENT;
    return ReadKeyNumber(key);
}
