// What the key-management mechanisms read from key objects: flags, CK_ULONG
// numbers, and the lengths each secret key type takes.
#ifndef KV_MECH_SOFT_KEY_RULES_H
#define KV_MECH_SOFT_KEY_RULES_H

#include <initializer_list>

#include "iobj.h"

// A CK_BBOOL attribute; the read's own status when it fails.
inline CK_RV ReadFlag(const ObjPtr& obj, uint32_t type, bool& value) {
    uint8_t flag = 0;
    uint32_t len = sizeof flag;
    const CK_RV rv = obj->GetAttr(type, &flag, &len);
    value = flag != 0;
    return rv;
}

// A CK_ULONG attribute, kept in 4 bytes (an empty one reads as 0); the
// read's own status when it fails.
inline CK_RV ReadULong(const ObjPtr& obj, uint32_t type, uint32_t& value) {
    value = 0;
    uint32_t len = sizeof value;
    return obj->GetAttr(type, &value, &len);
}

// CKR_OK when the CK_ULONG attribute holds the value, the read's own status
// when it fails, else mismatch.
inline CK_RV ExpectULong(const ObjPtr& obj, uint32_t type, uint32_t want, CK_RV mismatch) {
    uint32_t value = 0;
    const CK_RV rv = ReadULong(obj, type, value);
    return rv ? rv : value == want ? CKR_OK : mismatch;
}

// One expected CK_ULONG value of an object.
struct ULongCheck {
    const ObjPtr& obj;
    uint32_t type;
    CK_ULONG want;
};

// The checks in order: the first failed read gives its own status, the
// first other value mismatch.
inline CK_RV ExpectULongs(std::initializer_list<ULongCheck> checks, CK_RV mismatch) {
    for (const ULongCheck& c : checks) {
        const CK_RV rv = ExpectULong(c.obj, c.type, static_cast<uint32_t>(c.want), mismatch);
        if (rv) return rv;
    }
    return CKR_OK;
}

// CKR_OK when the flag is true, the read's own status when it fails, else
// mismatch.
inline CK_RV ExpectFlag(const ObjPtr& obj, uint32_t type, CK_RV mismatch) {
    bool value = false;
    const CK_RV rv = ReadFlag(obj, type, value);
    return rv ? rv : value ? CKR_OK : mismatch;
}

// The key lengths, in bytes, of one key type: from min to max in steps, and
// the length a key gets when none is asked for.
struct KeyLengthRule {
    CK_KEY_TYPE keyType;
    uint32_t min, max, step;
    uint32_t standard;

    bool Allows(uint32_t len) const { return len >= min && len <= max && (len - min) % step == 0; }
};

// The lengths secret keys of each type take; null for other types.
inline const KeyLengthRule* SecretKeyLengths(CK_KEY_TYPE type) {
    static const KeyLengthRule kRules[] = {
        {CKK_DES, 8, 8, 1, 8},       {CKK_DES2, 16, 16, 1, 16}, {CKK_DES3, 24, 24, 1, 24},
        {CKK_AES, 16, 32, 8, 16},    {CKK_RC2, 1, 128, 1, 16},  {CKK_RC4, 1, 256, 1, 16},
        {CKK_GENERIC_SECRET, 1, 0xFFFF, 1, 16},
    };
    for (const KeyLengthRule& rule : kRules) {
        if (rule.keyType == type) return &rule;
    }
    return nullptr;
}

// A value of length bytes fits the new key: its type takes that length
// (else CKR_WRAPPED_KEY_LEN_RANGE) and a CKA_VALUE_LEN it was given names it
// (else CKR_TEMPLATE_INCONSISTENT).
inline CK_RV CheckUnwrappedLength(const ObjPtr& key, uint32_t length) {
    uint32_t type = 0;
    if (ReadULong(key, CKA_KEY_TYPE, type) != CKR_OK) return CKR_TEMPLATE_INCOMPLETE;
    const KeyLengthRule* rule = SecretKeyLengths(type);
    if (!rule || !rule->Allows(length)) return CKR_WRAPPED_KEY_LEN_RANGE;
    uint32_t asked = 0;
    if (ReadULong(key, CKA_VALUE_LEN, asked) == CKR_OK && key->HasAttr(CKA_VALUE_LEN) && asked != length)
        return CKR_TEMPLATE_INCONSISTENT;
    return CKR_OK;
}

// The length a new key asks for in CKA_VALUE_LEN, or the rule's standard one
// when it asks for none (with zeroIsAbsent also when it asks for 0); false
// for a length the rule refuses.
inline bool AskedLength(const ObjPtr& key, const KeyLengthRule& rule, bool zeroIsAbsent, uint32_t& length) {
    const CK_RV rv = ReadULong(key, CKA_VALUE_LEN, length);
    if (rv == RV_NOT_FOUND || (rv == CKR_OK && length == 0 && zeroIsAbsent)) {
        length = rule.standard;
        return true;
    }
    return rv == CKR_OK && rule.Allows(length);
}

#endif
