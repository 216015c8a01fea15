#include "iobj.h"

#include <cstring>
#include <set>

#include "secure_wipe.h"

IObj::~IObj() { Destroy(); }

void IObj::Destroy() {
    for (auto& entry : attributes_) SecureWipe(entry.second);
    attributes_.clear();
}

CK_RV IObj::CheckAttributes() { return HasAttr(CKA_CLASS) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE; }

const ByteVec* IObj::Value(uint32_t type) const {
    auto it = attributes_.find(type);
    return it == attributes_.end() ? nullptr : &it->second;
}

CK_RV IObj::GetAttr(uint32_t type, void* buffer, uint32_t* length) const {
    if (!length) return CKR_ARGUMENTS_BAD;
    const ByteVec* v = Value(type);
    if (!v) {
        *length = 0;
        return RV_NOT_FOUND;
    }
    if (!buffer) {
        *length = static_cast<uint32_t>(v->size());
        return CKR_OK;
    }
    if (*length < v->size()) return RV_BUFFER_TOO_SMALL;
    std::memset(buffer, 0, *length);
    if (!v->empty()) std::memcpy(buffer, v->data(), v->size());
    *length = static_cast<uint32_t>(v->size());
    return CKR_OK;
}

CK_RV IObj::SetAttr(uint32_t type, const void* data, uint32_t length, AttrForm form) {
    ByteVec value;
    if (!KeepAttrValue(type, data, length, form, value)) {
        SecureWipe(value);
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    ByteVec& slot = attributes_[type];
    SecureWipe(slot);
    slot = std::move(value);
    return CKR_OK;
}

CK_RV IObj::Init(const CK_ATTRIBUTE* tmpl, CK_ULONG count, AttrForm form) {
    if (count && !tmpl) return CKR_ARGUMENTS_BAD;
    std::set<CK_ATTRIBUTE_TYPE> seen;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (!seen.insert(tmpl[i].type).second) return CKR_TEMPLATE_INCONSISTENT;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        if (tmpl[i].ulValueLen > 0xFFFFFFFFUL || tmpl[i].type > 0xFFFFFFFFUL) return CKR_ATTRIBUTE_VALUE_INVALID;
        CK_RV rv = SetAttr(static_cast<uint32_t>(tmpl[i].type), tmpl[i].pValue,
                           static_cast<uint32_t>(tmpl[i].ulValueLen), form);
        if (rv) return rv;
    }
    return CheckAttributes();
}

void IObj::GetAllTags(std::vector<uint32_t>& tags) const {
    for (const auto& entry : attributes_) tags.push_back(static_cast<uint32_t>(entry.first));
}

void IObj::Default(uint32_t type, const void* data, uint32_t length) {
    if (HasAttr(type)) return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    ByteVec& slot = attributes_[type];
    if (length) slot.assign(bytes, bytes + length);
}

void IObj::DefaultBool(uint32_t type, bool value) {
    const uint8_t b = value ? 1 : 0;
    Default(type, &b, 1);
}

CK_RV IObj::Expect(uint32_t type, uint32_t value) const {
    uint32_t read = 0, len = sizeof read;
    if (GetAttr(type, &read, &len) != CKR_OK || len != sizeof read) return CKR_TEMPLATE_INCOMPLETE;
    return read == value ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
}

const CK_ATTRIBUTE* FindAttr(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
    if (!tmpl) return nullptr;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (tmpl[i].type == type) return &tmpl[i];
    }
    return nullptr;
}
