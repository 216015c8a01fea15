#include "attr_value.h"

#include <cstring>

#include "byte_order.h"
#include "utils.h"

namespace {

constexpr uint32_t kEntryHeader = 16;


bool FlattenTemplate(const void* data, uint32_t length, ByteVec& out) {
    if (length % sizeof(CK_ATTRIBUTE)) return false;
    const auto* entries = static_cast<const CK_ATTRIBUTE*>(data);
    for (uint32_t i = 0; i < length / sizeof(CK_ATTRIBUTE); ++i) {
        const CK_ATTRIBUTE& a = entries[i];
        if (!a.pValue && a.ulValueLen) return false;
        if (a.ulValueLen > 0xFFFFFFFFUL || (a.type & CKF_ARRAY_ATTRIBUTE)) return false;  // no nesting
        AppendLe64(out, a.type);
        AppendLe64(out, a.ulValueLen);
        const auto* bytes = static_cast<const uint8_t*>(a.pValue);
        if (a.ulValueLen) out.insert(out.end(), bytes, bytes + a.ulValueLen);
    }
    return true;
}

bool ParseFlat(const uint8_t* bytes, uint32_t length, std::vector<FlatEntry>* entries) {
    uint32_t pos = 0;
    while (pos < length) {
        if (length - pos < kEntryHeader) return false;
        const uint64_t type = LoadLe64(bytes + pos);
        const uint64_t len = LoadLe64(bytes + pos + 8);
        if (type > 0xFFFFFFFFULL || (type & CKF_ARRAY_ATTRIBUTE) || len > length - pos - kEntryHeader) return false;
        if (entries) entries->push_back({static_cast<uint32_t>(type), bytes + pos + kEntryHeader, static_cast<uint32_t>(len)});
        pos += kEntryHeader + static_cast<uint32_t>(len);
    }
    return true;
}

bool ValidFlatTemplate(const uint8_t* bytes, uint32_t length) { return ParseFlat(bytes, length, nullptr); }

bool KeepMechanisms(const void* data, uint32_t length, AttrForm form, ByteVec& kept) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (form == AttrForm::Stored) {
        if (length % 8) return false;
        if (length) kept.assign(bytes, bytes + length);
        return true;
    }
    if (length % sizeof(CK_MECHANISM_TYPE)) return false;
    for (uint32_t at = 0; at < length; at += sizeof(CK_MECHANISM_TYPE)) {
        CK_MECHANISM_TYPE m;
        std::memcpy(&m, bytes + at, sizeof m);
        AppendLe64(kept, m);
    }
    return true;
}

}  // namespace

bool IsBoolAttribute(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_TOKEN: case CKA_PRIVATE: case CKA_TRUSTED: case CKA_SENSITIVE: case CKA_ENCRYPT:
        case CKA_DECRYPT: case CKA_WRAP: case CKA_UNWRAP: case CKA_SIGN: case CKA_SIGN_RECOVER:
        case CKA_VERIFY: case CKA_VERIFY_RECOVER: case CKA_DERIVE: case CKA_EXTRACTABLE: case CKA_LOCAL:
        case CKA_NEVER_EXTRACTABLE: case CKA_ALWAYS_SENSITIVE: case CKA_MODIFIABLE: case CKA_SECONDARY_AUTH:
        case CKA_ALWAYS_AUTHENTICATE: case CKA_WRAP_WITH_TRUSTED: case CKA_RESET_ON_INIT: case CKA_HAS_RESET:
            return true;
        default:
            return false;
    }
}

bool KeepAttrValue(uint32_t type, const void* data, uint32_t length, AttrForm form, ByteVec& kept) {
    kept.clear();
    if (!data && length) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (type == CKA_ALLOWED_MECHANISMS) return KeepMechanisms(data, length, form, kept);
    if (type & CKF_ARRAY_ATTRIBUTE) {
        // A caller's value is followed only where it is known to be a template.
        if (form == AttrForm::Caller) return HoldsTemplate(type) && FlattenTemplate(data, length, kept);
        if (!ValidFlatTemplate(bytes, length)) return false;
    } else if (IsBoolAttribute(type)) {
        if (length != 1) return false;
    } else if (IsULongAttribute(type)) {
        if (form == AttrForm::Caller) ResizeLength(type, &length);
        if (length != 4) return false;
    }
    if (length) kept.assign(bytes, bytes + length);
    return true;
}

bool HoldsTemplate(CK_ATTRIBUTE_TYPE type) { return type == CKA_WRAP_TEMPLATE || type == CKA_UNWRAP_TEMPLATE; }

bool ReadFlatTemplate(const ByteVec& kept, std::vector<FlatEntry>& entries) {
    entries.clear();
    return kept.size() <= 0xFFFFFFFFu && ParseFlat(kept.data(), static_cast<uint32_t>(kept.size()), &entries);
}
