#include "obj_factory.h"

#include <cstring>
#include <vector>

#include "utils.h"

ObjFactory::Registry& ObjFactory::GetCreators() {
    static Registry registry;
    return registry;
}

bool ObjFactory::RegistObjCreator(CK_OBJECT_CLASS cls, CK_ULONG subtype, ObjCreator creator) {
    auto& slot = GetCreators()[cls][subtype];
    if (slot) return false;
    slot = creator;
    return true;
}

kv::shared_ptr<IObj> ObjFactory::CreateObject(CK_OBJECT_CLASS cls, CK_ULONG subtype, const CK_ATTRIBUTE* tmpl,
                                              CK_ULONG count, AttrForm form) {
    auto& registry = GetCreators();
    auto byClass = registry.find(cls);
    if (byClass == registry.end()) return {};
    auto creator = byClass->second.find(subtype);
    if (creator == byClass->second.end() || !creator->second) return {};
    kv::shared_ptr<IObj> obj;
    if (creator->second(obj) != CKR_OK || !obj) return {};
    if (obj->Init(tmpl, count, form) != CKR_OK) return {};
    return obj;
}

namespace {

// A 4-byte value (after narrowing) of a non-null entry.
bool ULongValue(const CK_ATTRIBUTE& a, CK_ULONG& value) {
    uint32_t len = a.ulValueLen > 0xFFFFFFFFUL ? 0 : static_cast<uint32_t>(a.ulValueLen);
    ResizeLength(static_cast<uint32_t>(a.type), &len);
    if (!a.pValue || len != 4) return false;
    uint32_t v;
    std::memcpy(&v, a.pValue, 4);
    value = v;
    return true;
}

}  // namespace

kv::shared_ptr<IObj> ObjFactory::CreateObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, AttrForm form) {
    if (count && !tmpl) return {};
    const CK_ATTRIBUTE* cls = FindAttr(tmpl, count, CKA_CLASS);
    CK_ULONG clsValue = 0;
    if (!cls || !ULongValue(*cls, clsValue)) return {};
    // The subtype is the key type of a key and the certificate type of a
    // certificate, whatever else the template holds and in whichever order.
    CK_ULONG subtype = 0;
    const CK_ATTRIBUTE_TYPE subtypeAttr = clsValue == CKO_CERTIFICATE ? CKA_CERTIFICATE_TYPE : CKA_KEY_TYPE;
    if (clsValue != CKO_DATA) {
        const CK_ATTRIBUTE* sub = FindAttr(tmpl, count, subtypeAttr);
        if (sub && !ULongValue(*sub, subtype)) return {};
    }
    return CreateObject(clsValue, subtype, tmpl, count, form);
}
