// Object search of a session: a snapshot of the matching token objects at
// init, handed out in pieces; private objects only while the user is
// logged in.
#include "attr_find.h"
#include "iobject_manager.h"
#include "key_rules.h"
#include "session_base.h"
#include "session_slot.h"
#include "template_rules.h"
#include "template_values.h"

CK_RV CSessionBase::FindObjInit(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    FindObjFinal();
    if (activeOps_) return CKR_OPERATION_ACTIVE;
    CK_RV rv = CheckTemplatePointers(tmpl, count);
    if (rv == CKR_OK) rv = CheckTemplateValues(tmpl, count);
    if (rv) return rv;
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    if ((rv = frame.Refresh(true))) return rv;
    IObjectManager* objects = frame.slot->GetObjectManager();
    std::vector<ObjPtr> all;
    if (!objects || objects->GetAllObj(all) != 0) return CKR_GENERAL_ERROR;
    bool byContainer = false;
    for (CK_ULONG i = 0; i < count; ++i) byContainer = byContainer || tmpl[i].type == CKA_VENDOR_CONTAINER_NAME;
    IContainerManager* containers = byContainer ? frame.slot->GetContainerManager() : nullptr;
    for (const ObjPtr& obj : all) {
        if (AttrFind(obj, tmpl, count, containers)) found_.push_back(obj);
    }
    cursor_ = 0;
    activeOps_ |= kOpFind;
    return CKR_OK;
}

CK_RV CSessionBase::FindObj(CK_OBJECT_HANDLE_PTR phObject, CK_ULONG max, CK_ULONG_PTR pulCount) {
    if (!(activeOps_ & kOpFind)) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulCount || (!phObject && max)) return CKR_ARGUMENTS_BAD;
    *pulCount = 0;
    if (max == 0) return CKR_OK;
    SessionSlot frame(SlotId());
    if (frame.rv) return frame.rv;
    if (!frame.slot->HasToken()) return CKR_DEVICE_ERROR;
    CK_RV rv = frame.Refresh(false);
    if (rv) return rv;
    bool user = false;
    if (UserAuthenticated(*frame.slot, user)) return CKR_GENERAL_ERROR;
    while (*pulCount < max && cursor_ < found_.size()) {
        const ObjPtr& obj = found_[cursor_];
        bool isPrivate = false;
        if (ReadFlag(obj, CKA_PRIVATE, isPrivate)) return CKR_GENERAL_ERROR;
        ++cursor_;
        if (isPrivate && !user) continue;
        phObject[(*pulCount)++] = obj->GetHandle();
    }
    return CKR_OK;
}

CK_RV CSessionBase::FindObjFinal() {
    found_.clear();
    cursor_ = 0;
    activeOps_ &= ~static_cast<uint64_t>(kOpFind);
    return CKR_OK;
}
