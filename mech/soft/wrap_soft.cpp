#include "wrap_soft.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "attr_value.h"
#include "key_attrs.h"
#include "key_rules.h"
#include "secure_wipe.h"
#include "soft_registration.h"
#include "utils.h"

namespace {

bool IsRsaWrapMechanism(const CK_MECHANISM* mechanism) {
    return mechanism && (mechanism->mechanism == CKM_RSA_PKCS || mechanism->mechanism == CKM_RSA_X_509);
}

// Runs the cipher over the input into a buffer of the length the cipher
// reports for it. A cipher that then finds the buffer short is broken, and
// its internal code must not reach the caller.
CK_RV RunCipher(AlgMultiPart& cipher, const uint8_t* in, uint32_t len, ByteVec& out) {
    uint32_t needed = 0;
    CK_RV rv = cipher.Do(in, len, nullptr, &needed);
    out.assign(needed, 0);
    uint32_t produced = needed;
    if (rv == CKR_OK) rv = cipher.Do(in, len, out.data(), &produced);
    if (rv == RV_BUFFER_TOO_SMALL || (rv == CKR_OK && produced > needed)) rv = CKR_GENERAL_ERROR;
    if (rv == CKR_OK) {
        SecureWipe(out.data() + produced, needed - produced);  // nothing of a key behind the output
        out.resize(produced);
    }
    return rv;
}

}  // namespace

CK_RV CheckWrappingTemplate(const ObjPtr& wrappingKey, const ObjPtr& keyToWrap) {
    if (!wrappingKey || !keyToWrap) return CKR_OBJECT_HANDLE_INVALID;
    const ByteVec* kept = wrappingKey->Value(CKA_WRAP_TEMPLATE);
    if (!kept) return CKR_OK;
    std::vector<FlatEntry> entries;
    if (!ReadFlatTemplate(*kept, entries)) return CKR_GENERAL_ERROR;
    for (FlatEntry& e : entries) {
        ResizeLength(e.type, &e.length);
        const ByteVec* held = keyToWrap->Value(e.type);
        if (!held || held->size() != e.length || !std::equal(held->begin(), held->end(), e.value))
            return CKR_OBJECT_HANDLE_INVALID;
    }
    return CKR_OK;
}

CK_RV WrapKeySoft::Init(const CK_MECHANISM* mechanism, ObjPtr wrappingKey, ObjPtr keyToWrap, AlgMultiPart* cipher) {
    if (!mechanism || !wrappingKey || !keyToWrap || !cipher) return CKR_ARGUMENTS_BAD;
    CK_RV rv = ExpectFlag(wrappingKey, CKA_WRAP, CKR_GENERAL_ERROR);
    if (!rv) rv = ExpectFlag(keyToWrap, CKA_EXTRACTABLE, CKR_KEY_UNEXTRACTABLE);
    bool trustedOnly = false;
    if (!rv) rv = ReadFlag(keyToWrap, CKA_WRAP_WITH_TRUSTED, trustedOnly);
    if (!rv && trustedOnly) rv = ExpectFlag(wrappingKey, CKA_TRUSTED, CKR_GENERAL_ERROR);
    if (!rv) rv = CheckWrappingTemplate(wrappingKey, keyToWrap);
    if (rv) return rv;
    wrappingKey_ = wrappingKey;
    keyToWrap_ = keyToWrap;
    mechanism_ = mechanism->mechanism;
    const auto* parameter = static_cast<const uint8_t*>(mechanism->pParameter);
    if (parameter) parameter_.assign(parameter, parameter + mechanism->ulParameterLen);
    cipher_ = cipher;
    return CKR_OK;
}

CK_RV WrapKeySoft::Do(const uint8_t*, uint32_t, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!cipher_) return CKR_GENERAL_ERROR;
    const ByteVec* value = nullptr;
    CK_RV rv = AttrBytes(keyToWrap_, CKA_VALUE, value);
    if (rv) return rv;
    if (value->empty()) return CKR_KEY_NOT_WRAPPABLE;
    CK_MECHANISM mechanism{mechanism_, parameter_.empty() ? nullptr : parameter_.data(), parameter_.size()};
    rv = cipher_->Init(&mechanism, wrappingKey_);
    ByteVec wrapped;
    if (rv == CKR_OK) rv = RunCipher(*cipher_, value->data(), static_cast<uint32_t>(value->size()), wrapped);
    if (rv) return rv;
    const uint32_t capacity = *outLen;
    *outLen = static_cast<uint32_t>(wrapped.size());
    if (!out) return CKR_OK;
    if (capacity < wrapped.size()) return RV_BUFFER_TOO_SMALL;
    if (!wrapped.empty()) std::memcpy(out, wrapped.data(), wrapped.size());
    return CKR_OK;
}

CK_RV WrapSecKeyWithRSAPubSoft::Init(const CK_MECHANISM* mechanism, ObjPtr wrappingKey, ObjPtr keyToWrap,
                                     AlgMultiPart* cipher) {
    if (!IsRsaWrapMechanism(mechanism)) return CKR_MECHANISM_INVALID;
    return WrapKeySoft::Init(mechanism, wrappingKey, keyToWrap, cipher);
}

CK_RV UnwrapKey::Init(const CK_MECHANISM* mechanism, ObjPtr unwrappingKey, ObjPtr newKey, AlgMultiPart* cipher) {
    if (!IsRsaWrapMechanism(mechanism)) return CKR_MECHANISM_INVALID;
    if (!unwrappingKey || !newKey || !cipher) return CKR_ARGUMENTS_BAD;
    // Any failed read or condition counts alike.
    CK_RV rv = ExpectFlag(unwrappingKey, CKA_UNWRAP, CKR_GENERAL_ERROR);
    if (!rv) rv = ExpectFlag(unwrappingKey, CKA_TOKEN, CKR_GENERAL_ERROR);
    if (!rv) {
        rv = ExpectULongs({{unwrappingKey, CKA_CLASS, CKO_PRIVATE_KEY}, {unwrappingKey, CKA_KEY_TYPE, CKK_RSA}},
                          CKR_GENERAL_ERROR);
    }
    if (rv) return CKR_GENERAL_ERROR;
    newKey_ = newKey;
    cipher_ = cipher;
    return CKR_OK;
}

CK_RV UnwrapKey::Do(const uint8_t* wrapped, uint32_t wrappedLen, uint8_t*, uint32_t*) {
    if (!wrapped || wrappedLen == 0) return CKR_ARGUMENTS_BAD;
    if (!cipher_) return CKR_GENERAL_ERROR;
    ByteVec value;
    CK_RV rv = RunCipher(*cipher_, wrapped, wrappedLen, value);
    // One code for every wrapped block that does not open, whatever failed in it.
    if (rv == CKR_ENCRYPTED_DATA_INVALID) rv = CKR_WRAPPED_KEY_INVALID;
    if (rv == CKR_DATA_LEN_RANGE || rv == CKR_ENCRYPTED_DATA_LEN_RANGE) rv = CKR_WRAPPED_KEY_LEN_RANGE;
    if (rv == CKR_OK) rv = CheckUnwrappedLength(newKey_, static_cast<uint32_t>(value.size()));
    if (rv == CKR_OK) rv = newKey_->SetAttr(CKA_VALUE, value.data(), static_cast<uint32_t>(value.size()));
    SecureWipe(value);
    return rv;
}

KV_REGISTER_SOFT(CKM_RSA_PKCS, WrapSecKeyWithRSAPubSoft)
KV_REGISTER_SOFT(CKM_RSA_PKCS, UnwrapKey)
KV_REGISTER_SOFT(CKM_RSA_X_509, WrapSecKeyWithRSAPubSoft)
KV_REGISTER_SOFT(CKM_RSA_X_509, UnwrapKey)
