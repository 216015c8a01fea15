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

}  // namespace

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
