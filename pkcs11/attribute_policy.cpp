#include "attribute_policy.h"

#include "key_rules.h"
#include "template_rules.h"
#include "template_values.h"

namespace {

// The private parts of an RSA key, whatever object holds them.
bool IsRsaPrivatePart(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_PRIVATE_EXPONENT: case CKA_PRIME_1: case CKA_PRIME_2: case CKA_EXPONENT_1: case CKA_EXPONENT_2:
        case CKA_COEFFICIENT:
            return true;
        default:
            return false;
    }
}

// A flag of the object; absent counts as fallback, unreadable as hiding.
bool Flag(const IObj& obj, uint32_t type, bool fallback, bool unreadable) {
    if (!obj.HasAttr(type)) return fallback;
    uint8_t value = 0;
    uint32_t len = 1;
    if (obj.GetAttr(type, &value, &len) != CKR_OK || len != 1) return unreadable;
    return value != 0;
}

uint32_t ULongOf(const IObj& obj, uint32_t type) {
    uint32_t value = 0, len = sizeof value;
    return obj.GetAttr(type, &value, &len) == CKR_OK && len == sizeof value ? value : 0xFFFFFFFFu;
}

// The mechanism that generates keys of a class and type here.
CK_ULONG GeneratingMechanism(uint32_t cls, uint32_t keyType) {
    if (cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY) {
        switch (keyType) {
            case CKK_RSA: return CKM_RSA_PKCS_KEY_PAIR_GEN;
            case CKK_EC: return CKM_EC_KEY_PAIR_GEN;
            case CKK_DH: return CKM_DH_PKCS_KEY_PAIR_GEN;
            default: return CK_UNAVAILABLE_INFORMATION;
        }
    }
    switch (keyType) {
        case CKK_AES: return CKM_AES_KEY_GEN;
        case CKK_DES: return CKM_DES_KEY_GEN;
        case CKK_DES3: return CKM_DES3_KEY_GEN;
        case CKK_RC2: return CKM_RC2_KEY_GEN;
        case CKK_RC4: return CKM_RC4_KEY_GEN;
        case CKK_GENERIC_SECRET: return CKM_GENERIC_SECRET_KEY_GEN;
        default: return CK_UNAVAILABLE_INFORMATION;
    }
}

}  // namespace

CK_RV StartKeyHistory(const ObjPtr& key, bool madeHere) {
    const CK_BBOOL local = madeHere ? CK_TRUE : CK_FALSE;
    if (!key || key->SetAttr(CKA_LOCAL, &local, 1) != CKR_OK) return CKR_GENERAL_ERROR;
    const uint32_t cls = ULongOf(*key, CKA_CLASS);
    if (cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY) return CKR_OK;
    const CK_BBOOL always = madeHere && Flag(*key, CKA_SENSITIVE, false, false) ? CK_TRUE : CK_FALSE;
    const CK_BBOOL never = madeHere && !Flag(*key, CKA_EXTRACTABLE, true, true) ? CK_TRUE : CK_FALSE;
    return key->SetAttr(CKA_ALWAYS_SENSITIVE, &always, 1) == CKR_OK &&
                   key->SetAttr(CKA_NEVER_EXTRACTABLE, &never, 1) == CKR_OK
               ? CKR_OK
               : CKR_GENERAL_ERROR;
}

bool KeyHistoryValue(const IObj& obj, CK_ATTRIBUTE_TYPE type, ByteVec& callerForm) {
    const uint32_t cls = ULongOf(obj, CKA_CLASS);
    if (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY) return false;
    bool flag = false;
    switch (type) {
        case CKA_KEY_GEN_MECHANISM: {
            const CK_ULONG mechanism = Flag(obj, CKA_LOCAL, false, false)
                                           ? GeneratingMechanism(cls, ULongOf(obj, CKA_KEY_TYPE))
                                           : CK_UNAVAILABLE_INFORMATION;
            const auto* bytes = reinterpret_cast<const uint8_t*>(&mechanism);
            callerForm.assign(bytes, bytes + sizeof mechanism);
            return true;
        }
        case CKA_ALWAYS_SENSITIVE:
            if (!obj.HasAttr(CKA_ALWAYS_SENSITIVE)) return false;
            flag = Flag(obj, CKA_ALWAYS_SENSITIVE, false, false) && Flag(obj, CKA_SENSITIVE, false, false);
            break;
        case CKA_NEVER_EXTRACTABLE:
            if (!obj.HasAttr(CKA_NEVER_EXTRACTABLE)) return false;
            flag = Flag(obj, CKA_NEVER_EXTRACTABLE, false, false) && !Flag(obj, CKA_EXTRACTABLE, true, true);
            break;
        default:
            return false;
    }
    callerForm.assign(1, flag ? CK_TRUE : CK_FALSE);
    return true;
}

bool LibraryOwned(CK_ATTRIBUTE_TYPE type) {
    return type == CKA_VENDOR_KEY_REF || type == CKA_VENDOR_CONTAINER_NAME || type == CKA_VENDOR_OBJECT_STAMP;
}

bool IsFixedAttribute(CK_ATTRIBUTE_TYPE type, bool isKey) {
    switch (type) {
        case CKA_CLASS: case CKA_KEY_TYPE: case CKA_CERTIFICATE_TYPE: case CKA_TOKEN: case CKA_PRIVATE:
        case CKA_MODIFIABLE: case CKA_LOCAL: case CKA_KEY_GEN_MECHANISM: case CKA_ALWAYS_SENSITIVE:
        case CKA_NEVER_EXTRACTABLE: case CKA_MODULUS: case CKA_MODULUS_BITS: case CKA_PUBLIC_EXPONENT:
        case CKA_PRIME: case CKA_SUBPRIME: case CKA_BASE: case CKA_VALUE_BITS: case CKA_VALUE_LEN:
        case CKA_EC_PARAMS: case CKA_EC_POINT:
            return true;
        case CKA_VALUE:
            return isKey;
        default:
            return IsRsaPrivatePart(type) || LibraryOwned(type);
    }
}

bool HiddenAttribute(const IObj& obj, CK_ATTRIBUTE_TYPE type) {
    if (type != CKA_VALUE && !IsRsaPrivatePart(type)) return false;
    return Flag(obj, CKA_SENSITIVE, false, true) || !Flag(obj, CKA_EXTRACTABLE, true, false);
}

CK_RV CheckCallerTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool securityOfficer) {
    CK_RV rv = CheckTemplatePointers(tmpl, count);
    if (rv == CKR_OK) rv = CheckTemplateValues(tmpl, count);
    if (rv) return rv;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (LibraryOwned(tmpl[i].type)) return CKR_ATTRIBUTE_READ_ONLY;
    }
    if (!securityOfficer && TemplateFlag(tmpl, count, CKA_TRUSTED)) return CKR_ATTRIBUTE_READ_ONLY;
    return CKR_OK;
}
