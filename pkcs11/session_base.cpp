// What the object, operation and key calls of a session share: the handle
// scheme, filing new objects and writing token keys into the token.
#include "session_base.h"

#include "alg_factory.h"
#include "iobject_manager.h"
#include "itoken.h"
#include "key_rules.h"
#include "p11_env.h"
#include "session_manager.h"
#include "session_slot.h"
#include "slot.h"

void CSessionBase::RemoveKeyFile(Slot& slot, const ObjPtr& obj) {
    uint32_t cls = 0, ref = 0;
    if (ReadULong(obj, CKA_CLASS, cls) != CKR_OK || (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY)) return;
    if (ReadULong(obj, CKA_VENDOR_KEY_REF, ref) != CKR_OK || ref == 0 || ref > 0xFFFF || !slot.Token()) return;
    // Deleted once a fresh look shows no stored object naming it: a write
    // whose answer was lost may have stored the object after all.
    slot.Token()->NoteKeyFile(static_cast<uint16_t>(ref));
    slot.Token()->SweepKeyFiles();
}

bool CSessionBase::SecurityOfficer() {
    CK_SESSION_INFO info;
    return GetSessionInfo(&info) == CKR_OK && info.state == CKS_RW_SO_FUNCTIONS;
}

ObjPtr CSessionBase::GetObject(Slot& slot, CK_OBJECT_HANDLE handle) {
    if (handle == 0 || handle > 0xFFFFFFFFUL) return ObjPtr();
    const uint32_t h = static_cast<uint32_t>(handle);
    if (!(handle & kSessionObjectBit)) {
        IObjectManager* objects = slot.GetObjectManager();
        return objects ? objects->GetObject(h) : ObjPtr();
    }
    auto sessions = KVEnv::GetCP11SessionManager();
    return sessions ? sessions->SessionObjects().GetObject(h) : ObjPtr();
}

ObjPtr CSessionBase::GetKey(SessionSlot& frame, CK_OBJECT_HANDLE handle, CK_RV& rv) {
    rv = CKR_OK;
    ObjPtr key = GetObject(*frame.slot, handle);
    // Unknown here, or a session key: nothing on the token to confirm.
    if (!key || (handle & kSessionObjectBit)) return key;
    if ((rv = frame.Refresh(false, true))) return ObjPtr();
    return GetObject(*frame.slot, handle);
}

CK_RV CSessionBase::FileObject(Slot& slot, const ObjPtr& obj, CK_OBJECT_HANDLE_PTR handle) {
    bool onToken = false;
    if (ReadFlag(obj, CKA_TOKEN, onToken) != CKR_OK) onToken = false;
    if (onToken) {
        IObjectManager* objects = slot.GetObjectManager();
        if (!objects) return CKR_GENERAL_ERROR;
        const CK_RV rv = objects->AddObject(obj);
        if (rv) {
            // Nothing half-written: an object stored before a later step
            // failed goes with its key file, else the key file alone.
            if (objects->GetObject(obj->GetHandle())) objects->DestroyObject(obj);
            else RemoveKeyFile(slot, obj);
            return rv;
        }
    } else {
        auto sessions = KVEnv::GetCP11SessionManager();
        if (!sessions) return CKR_HOST_MEMORY;
        const CK_RV rv = sessions->SessionObjects().AddObject(obj);
        if (rv) return rv;
        sessionObjects.push_back(obj->GetHandle());
    }
    if (handle) *handle = obj->GetHandle();
    return CKR_OK;
}

CK_RV CSessionBase::ImportTokenKey(Slot& slot, const ObjPtr& key) {
    AlgFactory* factory = slot.GetAlgFactory();
    if (!factory) return CKR_GENERAL_ERROR;
    importAlg_.reset();
    CK_MECHANISM mechanism{CKM_VENDOR_IMPORT_KEY, nullptr, 0};
    Alg* alg = nullptr;
    if (factory->CreateImportKeyAlg(&mechanism, key, &alg) != CKR_OK || !alg) {
        delete alg;
        return CKR_GENERAL_ERROR;
    }
    importAlg_.reset(alg);
    return importAlg_->Do(nullptr, 0, nullptr, nullptr);
}
