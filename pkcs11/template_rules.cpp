#include "template_rules.h"

#include <cstring>

#include "iobj.h"
#include "slot.h"

CK_RV CheckTemplatePointers(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    if (!tmpl && count) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (!tmpl[i].pValue && tmpl[i].ulValueLen && tmpl[i].ulValueLen != CK_UNAVAILABLE_INFORMATION)
            return CKR_ARGUMENTS_BAD;
    }
    return CKR_OK;
}

bool TemplateFlag(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
    const CK_ATTRIBUTE* a = tmpl ? FindAttr(tmpl, count, type) : nullptr;
    return a && a->pValue && a->ulValueLen >= 1 && *static_cast<const CK_BYTE*>(a->pValue) != 0;
}

bool TemplateULong(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type, CK_ULONG& value) {
    const CK_ATTRIBUTE* a = tmpl ? FindAttr(tmpl, count, type) : nullptr;
    if (!a || !a->pValue) return false;
    if (a->ulValueLen == 4) {
        uint32_t v;
        std::memcpy(&v, a->pValue, 4);
        value = v;
        return true;
    }
    if (a->ulValueLen != 8) return false;
    uint64_t v;
    std::memcpy(&v, a->pValue, 8);
    if (v > 0xFFFFFFFFu) return false;
    value = static_cast<CK_ULONG>(v);
    return true;
}

CK_RV CheckModulusLength(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    CK_ULONG cls = 0;
    if (!TemplateULong(tmpl, count, CKA_CLASS, cls) || (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY))
        return CKR_OK;
    const CK_ATTRIBUTE* modulus = FindAttr(tmpl, count, CKA_MODULUS);
    if (!modulus) return CKR_OK;
    return modulus->ulValueLen >= 65 && modulus->ulValueLen <= 511 ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
}

CK_RV CheckFreeSpace(Slot& slot, const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    CK_TOKEN_INFO info{};
    if (slot.GetTokenInfo(&info) != 0) return CKR_DEVICE_ERROR;  // the free space could not be read
    CK_ULONG sum = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ULONG len = tmpl[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ? 0 : tmpl[i].ulValueLen;
        sum = len > ~CK_ULONG(0) - sum ? ~CK_ULONG(0) : sum + len;
    }
    return sum > info.ulFreePublicMemory ? CKR_DEVICE_MEMORY : CKR_OK;
}
