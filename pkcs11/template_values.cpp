#include "template_values.h"

#include <cstring>

#include "attr_value.h"
#include "secure_wipe.h"
#include "utils.h"

namespace {

// The number in a CK_ULONG entry of 8 bytes.
uint64_t Wide(const CK_ATTRIBUTE& entry) {
    uint64_t v;
    std::memcpy(&v, entry.pValue, 8);
    return v;
}

}  // namespace

CK_RV CheckTemplateValues(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = tmpl[i];
        if (a.ulValueLen > 0xFFFFFFFFUL || a.type > 0xFFFFFFFFUL) return CKR_ATTRIBUTE_VALUE_INVALID;
        ByteVec kept;
        const bool wellFormed = KeepAttrValue(static_cast<uint32_t>(a.type), a.pValue,
                                              static_cast<uint32_t>(a.ulValueLen), AttrForm::Caller, kept);
        SecureWipe(kept);
        if (!wellFormed) return CKR_ATTRIBUTE_VALUE_INVALID;
        // The kept form narrows 8 bytes to their low half: the high half must be zero.
        if (IsULongAttribute(a.type) && a.ulValueLen == 8 && Wide(a) > 0xFFFFFFFFULL)
            return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return CKR_OK;
}

ByteVec RawEcPoint(const uint8_t* value, size_t length) {
    if (!value || !length) return ByteVec();
    if (length % 8 == 1 && value[0] == 0x04) return ByteVec(value + 1, value + length);
    // DER OCTET STRING (short length form) holding 04 || x || y.
    if (length % 8 == 3 && value[0] == 0x04 && value[1] == length - 2 && value[2] == 0x04)
        return ByteVec(value + 3, value + length);
    return ByteVec(value, value + length);
}
