#include "cipher_soft.h"

#include <cstddef>
#include <cstring>

#include "key_attrs.h"
#include "soft_registration.h"

namespace {

// A CK_ULONG of the parameter, read without assuming its alignment.
uint32_t LowWord(const void* param) {
    CK_ULONG v = 0;
    std::memcpy(&v, param, sizeof v);
    return static_cast<uint32_t>(v);
}

}  // namespace

CK_RV SymKeySoft::ReadParameter(const CK_MECHANISM* mechanism, CipherMode mode, CipherParameter& p) const {
    if (mode == CipherMode::Cbc) {
        p.iv = mechanism->pParameter;
        p.ivLen = mechanism->ulParameterLen;
    }
    return CKR_OK;
}

CK_RV SymKeySoft::LoadKey(const ObjPtr& key, uint32_t effectiveBits, CipherMode mode, bool encrypt) {
    const ByteVec* value = nullptr;
    CK_RV rv = AttrBytes(key, CKA_VALUE, value);
    if (rv) return rv;
    cipher_ = Schedule(*value, effectiveBits, mode, encrypt);
    return cipher_ ? CKR_OK : CKR_KEY_TYPE_INCONSISTENT;
}

CK_RV SymKeySoft::Crypt(const uint8_t* in, uint8_t* out, uint32_t len, uint8_t* iv) {
    return cipher_ && cipher_->Crypt(in, out, len, iv) ? CKR_OK : CKR_GENERAL_ERROR;
}

std::unique_ptr<BlockCipher> DESSoft::Schedule(const ByteVec& value, uint32_t, CipherMode mode, bool encrypt) const {
    return value.size() >= 8 ? BlockCipher::Des(value.data(), mode, encrypt) : nullptr;
}

std::unique_ptr<BlockCipher> DES3Soft::Schedule(const ByteVec& value, uint32_t, CipherMode mode, bool encrypt) const {
    if (value.size() < 16) return nullptr;
    return BlockCipher::Des3(value.data(), value.size() >= 24 ? 24 : 16, mode, encrypt);
}

std::unique_ptr<BlockCipher> AESSoft::Schedule(const ByteVec& value, uint32_t, CipherMode mode, bool encrypt) const {
    return BlockCipher::Aes(value.data(), value.size(), mode, encrypt);
}

CK_RV RC2Soft::ReadParameter(const CK_MECHANISM* mechanism, CipherMode mode, CipherParameter& p) const {
    const void* param = mechanism->pParameter;
    const CK_ULONG len = mechanism->ulParameterLen;
    if (!param) return CKR_MECHANISM_PARAM_INVALID;
    if (mode == CipherMode::Ecb) {
        if (len < sizeof(CK_RC2_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
        p.effectiveBits = LowWord(param);
        return CKR_OK;
    }
    if (len != sizeof(CK_RC2_CBC_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
    p.effectiveBits = LowWord(param);
    p.iv = static_cast<const uint8_t*>(param) + offsetof(CK_RC2_CBC_PARAMS, iv);
    p.ivLen = sizeof(CK_RC2_CBC_PARAMS::iv);
    return CKR_OK;
}

std::unique_ptr<BlockCipher> RC2Soft::Schedule(const ByteVec& value, uint32_t effectiveBits, CipherMode mode,
                                               bool encrypt) const {
    return BlockCipher::Rc2(value.data(), value.size(), effectiveBits, mode, encrypt);
}

CK_RV RC4Soft::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    CK_RV rv = AlgMultiPart::Init(mechanism, key);
    const ByteVec* value = nullptr;
    if (rv == CKR_OK) rv = AttrBytes(key, CKA_VALUE, value);
    if (rv) return rv;
    if (value->size() < 5 || value->size() > 256) return CKR_KEY_TYPE_INCONSISTENT;
    rc4_ = StreamCipher::Rc4(value->data(), value->size());
    return rc4_ ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV RC4Soft::DoCryptBlocks(const uint8_t* in, uint8_t* out, uint32_t len) {
    return rc4_ && rc4_->Crypt(in, out, len) ? CKR_OK : CKR_GENERAL_ERROR;
}

KV_REGISTER_SOFT(CKM_RC2_ECB, RC2ECBSoftEnc)
KV_REGISTER_SOFT(CKM_RC2_ECB, RC2ECBSoftDec)
KV_REGISTER_SOFT(CKM_RC2_CBC, RC2CBCSoftEnc)
KV_REGISTER_SOFT(CKM_RC2_CBC, RC2CBCSoftDec)
KV_REGISTER_SOFT(CKM_RC2_CBC_PAD, RC2CBCPADSoftEnc)
KV_REGISTER_SOFT(CKM_RC2_CBC_PAD, RC2CBCPADSoftDec)
KV_REGISTER_SOFT(CKM_RC4, RC4SoftEnc)
KV_REGISTER_SOFT(CKM_RC4, RC4SoftDec)
KV_REGISTER_SOFT(CKM_DES_ECB, DESECBSoftEnc)
KV_REGISTER_SOFT(CKM_DES_ECB, DESECBSoftDec)
KV_REGISTER_SOFT(CKM_DES_CBC, DESCBCSoftEnc)
KV_REGISTER_SOFT(CKM_DES_CBC, DESCBCSoftDec)
KV_REGISTER_SOFT(CKM_DES_CBC_PAD, DESCBCPADSoftEnc)
KV_REGISTER_SOFT(CKM_DES_CBC_PAD, DESCBCPADSoftDec)
KV_REGISTER_SOFT(CKM_DES3_ECB, DES3ECBSoftEnc)
KV_REGISTER_SOFT(CKM_DES3_ECB, DES3ECBSoftDec)
KV_REGISTER_SOFT(CKM_DES3_CBC, DES3CBCSoftEnc)
KV_REGISTER_SOFT(CKM_DES3_CBC, DES3CBCSoftDec)
KV_REGISTER_SOFT(CKM_DES3_CBC_PAD, DES3CBCPADSoftEnc)
KV_REGISTER_SOFT(CKM_DES3_CBC_PAD, DES3CBCPADSoftDec)
KV_REGISTER_SOFT(CKM_AES_ECB, AESECBSoftEnc)
KV_REGISTER_SOFT(CKM_AES_ECB, AESECBSoftDec)
KV_REGISTER_SOFT(CKM_AES_CBC, AESCBCSoftEnc)
KV_REGISTER_SOFT(CKM_AES_CBC, AESCBCSoftDec)
KV_REGISTER_SOFT(CKM_AES_CBC_PAD, AESCBCPADSoftEnc)
KV_REGISTER_SOFT(CKM_AES_CBC_PAD, AESCBCPADSoftDec)
