// Object calls of a session: create, destroy, read and change attributes.
#include <cstring>

#include "attr_value.h"
#include "attribute_policy.h"
#include "container_name.h"
#include "icontainer_manager.h"
#include "iobject_manager.h"
#include "key_rules.h"
#include "obj_factory.h"
#include "p11_env.h"
#include "result_codes.h"
#include "secure_wipe.h"
#include "session_base.h"
#include "session_manager.h"
#include "session_slot.h"
#include "template_rules.h"
#include "template_values.h"
#include "utils.h"

namespace {

bool IsKeyClass(uint32_t cls) { return cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY; }

bool UserState(CK_STATE state) { return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS; }

// A copy of the caller's template whose EC point is kept as x || y; the
// point's bytes live in point. (A second EC point entry makes the factory
// refuse the template before any value is read.)
std::vector<CK_ATTRIBUTE> WithRawEcPoint(const CK_ATTRIBUTE* tmpl, CK_ULONG count, ByteVec& point) {
    std::vector<CK_ATTRIBUTE> copy(tmpl, tmpl + count);
    for (CK_ATTRIBUTE& a : copy) {
        if (a.type != CKA_EC_POINT) continue;
        point = RawEcPoint(static_cast<const uint8_t*>(a.pValue), a.ulValueLen);
        a.pValue = point.empty() ? nullptr : point.data();
        a.ulValueLen = point.size();
        break;
    }
    return copy;
}

// Another object of the slot with the key's class and modulus: the same
// key is on the token already.
bool SameKeyExists(IObjectManager& objects, const ObjPtr& key, uint32_t cls) {
    const ByteVec* modulus = key->Value(CKA_MODULUS);
    std::vector<ObjPtr> all;
    if (!modulus || modulus->empty() || objects.GetAllObj(all) != 0) return false;
    for (const ObjPtr& other : all) {
        uint32_t otherCls = 0;
        const ByteVec* otherModulus = other->Value(CKA_MODULUS);
        if (ReadULong(other, CKA_CLASS, otherCls) == CKR_OK && otherCls == cls && otherModulus &&
            *otherModulus == *modulus)
            return true;
    }
    return false;
}

// Files a token key that repeats a key on the token in a container of its
// own, so that it does not take the first key's place: the container of
// its counterpart when that container's place for it is free, else a new
// one. Nothing stays behind on failure but the key file (the caller's).
CK_RV FileInOwnContainer(IContainerManager& containers, const ObjPtr& key) {
    constexpr uint32_t kNoIndex = 0xFFFFFFFF;
    uint32_t type = 0, usage = 0, index = kNoIndex;
    if (GetObjTypeInContainer(*key, type) != 0 || type > KV_OBJ_PUBLIC_KEY ||
        GetObjUsageInContainer(*key, type, usage) != 0)
        return CKR_GENERAL_ERROR;
    ObjPtr occupant;
    const bool fresh = !containers.CheckMatchedKeyObj(key, &index) || index == kNoIndex ||
                       containers.GetObj(index, usage, type, occupant) != 0 || occupant;
    CK_RV rv = fresh ? CreateFreshContainer(containers, &index) : CKR_OK;
    if (rv) return rv;
    // Stores the object, then places it.
    rv = containers.AddObj(key, &index, &usage, &type);
    if (rv) {
        containers.RemoveObj(key, true);  // with the stored object, if it got that far
        if (fresh) containers.DestroyContainer(index);
    }
    return rv;
}

// All attributes of an object, to put back when a change cannot be stored.
struct AttributeSnapshot {
    explicit AttributeSnapshot(const IObj& obj) {
        std::vector<uint32_t> tags;
        obj.GetAllTags(tags);
        for (uint32_t t : tags) values.emplace_back(t, *obj.Value(t));
    }
    ~AttributeSnapshot() {
        for (auto& v : values) SecureWipe(v.second);
    }
    AttributeSnapshot(const AttributeSnapshot&) = delete;
    AttributeSnapshot& operator=(const AttributeSnapshot&) = delete;
    void Restore(IObj& obj) const {
        obj.Destroy();
        for (const auto& v : values)
            obj.SetAttr(v.first, v.second.empty() ? nullptr : v.second.data(), static_cast<uint32_t>(v.second.size()),
                        AttrForm::Stored);
    }

    std::vector<std::pair<uint32_t, ByteVec>> values;
};

// The marks of a C_GetAttributeValue, by priority.
struct ReadMarks {
    bool sensitive = false, typeInvalid = false, tooSmall = false, badArgument = false;
    CK_RV Result() const {
        if (sensitive) return CKR_ATTRIBUTE_SENSITIVE;
        if (typeInvalid) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (tooSmall) return CKR_BUFFER_TOO_SMALL;
        return badArgument ? CKR_ARGUMENTS_BAD : CKR_OK;
    }
};

// Copies a value into a caller's entry: a length query, or the value when
// the buffer holds it (else the too-small mark).
void PutValue(CK_ATTRIBUTE& entry, const void* value, size_t length, ReadMarks& marks) {
    if (!entry.pValue) {
        entry.ulValueLen = length;
    } else if (entry.ulValueLen < length) {
        entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        marks.tooSmall = true;
    } else {
        if (length) std::memcpy(entry.pValue, value, length);
        entry.ulValueLen = length;
    }
}

// A template attribute the way PKCS#11 hands it out: the caller's value is
// an array of CK_ATTRIBUTE. A length query gets the array's size; an array
// gets each entry's type, and each entry's value where its buffer holds it,
// else its length (a length query for a null buffer, the too-small mark for
// a short one).
void ReadTemplateEntry(CK_ATTRIBUTE& entry, const ByteVec& stored, ReadMarks& marks) {
    std::vector<FlatEntry> inner;
    if (!ReadFlatTemplate(stored, inner)) {
        entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        marks.typeInvalid = true;
        return;
    }
    const CK_ULONG size = inner.size() * sizeof(CK_ATTRIBUTE);
    if (!entry.pValue) {
        entry.ulValueLen = size;
        return;
    }
    if (entry.ulValueLen < size) {
        entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        marks.tooSmall = true;
        return;
    }
    auto* out = static_cast<CK_ATTRIBUTE*>(entry.pValue);
    for (size_t i = 0; i < inner.size(); ++i) {
        out[i].type = inner[i].type;
        PutValue(out[i], inner[i].value, inner[i].length, marks);
    }
    entry.ulValueLen = size;
}

// One entry of C_GetAttributeValue that is not sensitive: CK_ULONG values as
// whole CK_ULONGs, the EC point in the chosen form, templates as CK_ATTRIBUTE
// arrays, the rest as kept.
void ReadEntry(const IObj& obj, CK_ATTRIBUTE& entry, ReadMarks& marks) {
    ByteVec history;
    if (KeyHistoryValue(obj, entry.type, history)) {
        PutValue(entry, history.data(), history.size(), marks);
        return;
    }
    const ByteVec* stored = entry.type > 0xFFFFFFFFUL ? nullptr : obj.Value(static_cast<uint32_t>(entry.type));
    if (!stored) {
        entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        marks.typeInvalid = true;
        return;
    }
    if (HoldsTemplate(entry.type)) {
        ReadTemplateEntry(entry, *stored, marks);
    } else if (IsULongAttribute(entry.type) && stored->size() == 4) {
        uint32_t narrow;
        std::memcpy(&narrow, stored->data(), 4);
        const CK_ULONG value = narrow;
        PutValue(entry, &value, sizeof value, marks);
    } else if (entry.type == CKA_EC_POINT && !stored->empty()) {
        const ByteVec point = CallerEcPoint(*stored);
        PutValue(entry, point.data(), point.size(), marks);
    } else {
        PutValue(entry, stored->data(), stored->size(), marks);
    }
}

}  // namespace

CK_RV CSessionBase::CreateObject(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR phObject) {
    if (!phObject) return CKR_ARGUMENTS_BAD;
    CK_RV rv = CheckCallerTemplate(tmpl, count, SecurityOfficer());
    if (rv) return rv;
    const bool onToken = TemplateFlag(tmpl, count, CKA_TOKEN);
    if (onToken && !ReadWrite()) return CKR_SESSION_READ_ONLY;
    if ((rv = CheckModulusLength(tmpl, count))) return rv;

    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    if ((rv = frame.Refresh(true, true))) return rv;
    Slot& slot = *frame.slot;
    if ((rv = CheckFreeSpace(slot, tmpl, count))) return rv;
    ByteVec point;
    const std::vector<CK_ATTRIBUTE> kept = WithRawEcPoint(tmpl, count, point);
    ObjPtr obj = ObjFactory::CreateObject(kept.data(), count);
    if (!obj) return CKR_TEMPLATE_INCONSISTENT;

    CK_SESSION_INFO info;
    if (GetSessionInfo(&info)) return CKR_GENERAL_ERROR;
    uint32_t cls = 0;
    if (ReadULong(obj, CKA_CLASS, cls)) return CKR_GENERAL_ERROR;
    if (IsKeyClass(cls) && (rv = StartKeyHistory(obj, false))) return rv;
    if (!FindAttr(tmpl, count, CKA_PRIVATE)) {
        // Keys with secrets are private by default where the user can make them.
        const bool readWriteState = info.state != CKS_RO_PUBLIC_SESSION && info.state != CKS_RO_USER_FUNCTIONS;
        const uint8_t isPrivate = readWriteState && (cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY);
        obj->SetAttr(CKA_PRIVATE, &isPrivate, 1);
    }
    bool isPrivate = false, user = false;
    if (ReadFlag(obj, CKA_PRIVATE, isPrivate)) return CKR_GENERAL_ERROR;
    if (isPrivate) {
        if (UserAuthenticated(slot, user)) return CKR_GENERAL_ERROR;
        if (!user) return CKR_USER_NOT_LOGGED_IN;
    }
    if (!onToken) return FileObject(slot, obj, phObject);

    if (IsKeyClass(cls)) {
        // Key material the token refuses is the template's fault.
        rv = ImportTokenKey(slot, obj);
        if (rv) return TemplateValuesRv(rv);
    }
    IObjectManager* objects = slot.GetObjectManager();
    uint32_t keyType = 0;
    const bool pairKey = (cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY) &&
                         ReadULong(obj, CKA_KEY_TYPE, keyType) == CKR_OK && keyType != CKK_EC;
    if (objects && pairKey && SameKeyExists(*objects, obj, cls)) {
        IContainerManager* containers = slot.GetContainerManager();
        rv = containers ? FileInOwnContainer(*containers, obj) : CKR_GENERAL_ERROR;
        if (rv) {
            RemoveKeyFile(slot, obj);
            return TokenWriteRv(rv);
        }
        *phObject = obj->GetHandle();
        return CKR_OK;
    }
    return TokenWriteRv(FileObject(slot, obj, phObject));
}

CK_RV CSessionBase::DestroyObject(CK_OBJECT_HANDLE hObject) {
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    CK_RV rv = frame.Refresh(true, true);
    if (rv) return rv;
    Slot& slot = *frame.slot;
    ObjPtr obj = GetObject(slot, hObject);
    if (!obj) return CKR_OBJECT_HANDLE_INVALID;
    bool onToken = false, isPrivate = false, user = false;
    if (ReadFlag(obj, CKA_TOKEN, onToken) || ReadFlag(obj, CKA_PRIVATE, isPrivate)) return CKR_GENERAL_ERROR;
    if (onToken && !ReadWrite()) return CKR_SESSION_READ_ONLY;
    if (isPrivate) {
        if (UserAuthenticated(slot, user)) return CKR_GENERAL_ERROR;
        if (!user) return CKR_TOKEN_WRITE_PROTECTED;
    }
    if (onToken) {
        IObjectManager* objects = slot.GetObjectManager();
        return objects ? TokenWriteRv(objects->DestroyObject(obj)) : CKR_GENERAL_ERROR;
    }
    auto sessions = KVEnv::GetCP11SessionManager();
    if (!sessions) return CKR_HOST_MEMORY;
    if (sessions->SessionObjects().DestroyObject(obj)) return CKR_GENERAL_ERROR;
    for (auto it = sessionObjects.begin(); it != sessionObjects.end(); ++it) {
        if (*it == hObject) {
            sessionObjects.erase(it);
            break;
        }
    }
    return CKR_OK;
}

CK_RV CSessionBase::GetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    if (!tmpl && count) return CKR_ARGUMENTS_BAD;
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    CK_RV rv = frame.Refresh(false);
    if (rv) return rv;
    Slot& slot = *frame.slot;
    ObjPtr obj = GetObject(slot, hObject);
    if (!obj) return CKR_OBJECT_HANDLE_INVALID;
    bool isPrivate = false, user = false;
    if (ReadFlag(obj, CKA_PRIVATE, isPrivate)) return CKR_GENERAL_ERROR;
    CK_SESSION_INFO info;
    if ((rv = GetSessionInfo(&info))) return rv;
    if (isPrivate) {
        if (UserAuthenticated(slot, user)) return CKR_GENERAL_ERROR;
        if (!UserState(info.state) || !user) return CKR_SESSION_HANDLE_INVALID;
    }
    ReadMarks marks;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& entry = tmpl[i];
        if (HiddenAttribute(*obj, entry.type)) {
            entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            marks.sensitive = true;
        } else if (entry.type == CKA_VENDOR_CONTAINER_NAME) {
            IContainerManager* containers = slot.GetContainerManager();
            std::string name;
            rv = containers ? ObjectContainerName(*containers, obj, name) : CKR_GENERAL_ERROR;
            if (rv == RV_NOT_FOUND) {
                entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                marks.typeInvalid = true;
            } else if (rv) {
                return CKR_GENERAL_ERROR;
            } else {
                PutValue(entry, name.data(), name.size(), marks);
            }
        } else {
            ReadEntry(*obj, entry, marks);
        }
    }
    return marks.Result();
}

CK_RV CSessionBase::SetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    CK_RV rv = CheckTemplatePointers(tmpl, count);
    if (rv) return rv;
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv == CKR_GENERAL_ERROR && !frame.slot ? CKR_SESSION_HANDLE_INVALID : frame.rv;
    if ((rv = frame.Refresh(false, true))) return rv;
    Slot& slot = *frame.slot;
    ObjPtr obj = GetObject(slot, hObject);
    if (!obj) return CKR_OBJECT_HANDLE_INVALID;
    if (!slot.HasToken()) return CKR_DEVICE_ERROR;
    CK_SESSION_INFO info;
    if ((rv = GetSessionInfo(&info))) return rv;
    if (info.state == CKS_RW_SO_FUNCTIONS) return CKR_SESSION_HANDLE_INVALID;
    if ((rv = CheckCallerTemplate(tmpl, count, false))) return rv;
    bool modifiable = true, onToken = false, isPrivate = false, user = false;
    if (obj->HasAttr(CKA_MODIFIABLE) && ReadFlag(obj, CKA_MODIFIABLE, modifiable)) return CKR_GENERAL_ERROR;
    if (!modifiable) return CKR_ATTRIBUTE_READ_ONLY;
    if (ReadFlag(obj, CKA_TOKEN, onToken) || ReadFlag(obj, CKA_PRIVATE, isPrivate)) return CKR_GENERAL_ERROR;
    if (onToken && !ReadWrite()) return CKR_SESSION_READ_ONLY;
    if (isPrivate) {
        if (UserAuthenticated(slot, user)) return CKR_GENERAL_ERROR;
        if (!UserState(info.state) || !user) return CKR_USER_NOT_LOGGED_IN;
    }

    // Every entry is checked before anything changes.
    uint32_t cls = 0;
    if (ReadULong(obj, CKA_CLASS, cls)) return CKR_GENERAL_ERROR;
    bool sensitive = false, extractable = true;
    if (obj->HasAttr(CKA_SENSITIVE) && ReadFlag(obj, CKA_SENSITIVE, sensitive)) return CKR_GENERAL_ERROR;
    if (obj->HasAttr(CKA_EXTRACTABLE) && ReadFlag(obj, CKA_EXTRACTABLE, extractable)) return CKR_GENERAL_ERROR;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = tmpl[i];
        // Of a certificate only the fields naming it may change.
        if (cls == CKO_CERTIFICATE && a.type != CKA_ISSUER && a.type != CKA_SERIAL_NUMBER && a.type != CKA_ID)
            return CKR_ATTRIBUTE_READ_ONLY;
        if (IsFixedAttribute(a.type, IsKeyClass(cls))) return CKR_ATTRIBUTE_READ_ONLY;
        if ((rv = CheckTemplateValues(&a, 1))) return rv;
        const bool flag = TemplateFlag(&a, 1, a.type);
        if (a.type == CKA_ALWAYS_AUTHENTICATE && flag && cls == CKO_PRIVATE_KEY && !isPrivate)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if ((a.type == CKA_SENSITIVE && sensitive && !flag) || (a.type == CKA_EXTRACTABLE && !extractable && flag))
            return CKR_ATTRIBUTE_READ_ONLY;
    }

    const AttributeSnapshot before(*obj);
    for (CK_ULONG i = 0; i < count; ++i) {
        if (obj->SetAttr(static_cast<uint32_t>(tmpl[i].type), tmpl[i].pValue,
                         static_cast<uint32_t>(tmpl[i].ulValueLen))) {
            before.Restore(*obj);
            return CKR_GENERAL_ERROR;
        }
    }
    if (onToken) {
        IObjectManager* objects = slot.GetObjectManager();
        rv = objects ? TokenWriteRv(objects->UpdateObject(obj)) : CKR_GENERAL_ERROR;
    } else {
        auto sessions = KVEnv::GetCP11SessionManager();
        rv = !sessions ? CKR_HOST_MEMORY : sessions->SessionObjects().UpdateObject(obj) ? CKR_GENERAL_ERROR : CKR_OK;
    }
    if (rv) before.Restore(*obj);
    return rv;
}
