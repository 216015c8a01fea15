#include "template_values.h"

#include <atomic>
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

namespace {

std::atomic<bool> g_ecPointDer{false};

}  // namespace

void ChooseEcPointForm(const char* setting) { g_ecPointDer = setting && std::strcmp(setting, "der") == 0; }

ByteVec CallerEcPoint(const ByteVec& xy) {
    ByteVec point{0x04};
    point.insert(point.end(), xy.begin(), xy.end());
    if (!g_ecPointDer) return point;
    ByteVec der{0x04};
    if (point.size() >= 0x80) der.push_back(point.size() > 0xFF ? 0x82 : 0x81);
    if (point.size() > 0xFF) der.push_back(static_cast<uint8_t>(point.size() >> 8));
    der.push_back(static_cast<uint8_t>(point.size()));
    der.insert(der.end(), point.begin(), point.end());
    return der;
}

ByteVec RawEcPoint(const uint8_t* value, size_t length) {
    if (!value || !length) return ByteVec();
    if (length % 8 == 1 && value[0] == 0x04) return ByteVec(value + 1, value + length);
    // DER OCTET STRING (short length form) holding 04 || x || y.
    if (length % 8 == 3 && value[0] == 0x04 && value[1] == length - 2 && value[2] == 0x04)
        return ByteVec(value + 3, value + length);
    return ByteVec(value, value + length);
}
