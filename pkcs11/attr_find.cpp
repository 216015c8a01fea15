#include "attr_find.h"

#include <cstring>

#include "attr_value.h"
#include "attribute_policy.h"
#include "container_name.h"
#include "secure_wipe.h"
#include "template_values.h"

namespace {

bool SameBytes(const ByteVec& stored, const void* value, size_t length) {
    return stored.size() == length && (length == 0 || std::memcmp(stored.data(), value, length) == 0);
}

bool EntryMatches(const ObjPtr& obj, const CK_ATTRIBUTE& entry, IContainerManager* containers) {
    if (entry.type == CKA_VENDOR_CONTAINER_NAME) {
        std::string name;
        return containers && ObjectContainerName(*containers, obj, name) == CKR_OK &&
               SameBytes(ByteVec(name.begin(), name.end()), entry.pValue, entry.ulValueLen);
    }
    // A value the caller may not read is never matched: a match would
    // confirm a guess.
    if (HiddenAttribute(*obj, entry.type)) return false;
    ByteVec history;
    if (KeyHistoryValue(*obj, entry.type, history)) return SameBytes(history, entry.pValue, entry.ulValueLen);
    const ByteVec* stored = obj->Value(static_cast<uint32_t>(entry.type));
    if (!stored) return false;
    if (entry.type == CKA_EC_POINT) {
        const ByteVec raw = RawEcPoint(static_cast<const uint8_t*>(entry.pValue), entry.ulValueLen);
        return SameBytes(*stored, raw.data(), raw.size());
    }
    // Compared in the form the object keeps: CK_ULONG values by number,
    // mechanism lists and templates in their flat form.
    ByteVec wanted;
    const bool same = KeepAttrValue(static_cast<uint32_t>(entry.type), entry.pValue,
                                    static_cast<uint32_t>(entry.ulValueLen), AttrForm::Caller, wanted) &&
                      wanted == *stored;
    SecureWipe(wanted);
    return same;
}

}  // namespace

bool AttrFind(const ObjPtr& obj, const CK_ATTRIBUTE* tmpl, CK_ULONG count, IContainerManager* containers) {
    if (!obj) return false;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (!EntryMatches(obj, tmpl[i], containers)) return false;
    }
    return true;
}
