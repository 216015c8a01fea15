#include "obj_mgr.h"

#include "cont_mgr_fs_store.h"
#include "istore.h"

namespace {

uint32_t ClassOf(const ObjPtr& obj, RV& rv) {
    uint32_t cls = 0, len = 4;
    rv = obj->GetAttr(CKA_CLASS, &cls, &len);
    return cls;
}

bool InContainers(uint32_t cls) { return cls == CKO_CERTIFICATE || cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY; }

void Append(std::vector<ObjPtr>* to, const std::vector<ObjPtr>& from) {
    if (to) to->insert(to->end(), from.begin(), from.end());
}

}  // namespace

uint32_t ObjMgrImpl::MakeIDFor(const ObjPtr& obj) {
    const uint32_t previous = lastHandle_;
    if (!obj || obj->GetHandle()) return previous;
    do {
        ++lastHandle_;
    } while (lastHandle_ == 0 || GetObject(lastHandle_));
    obj->SetHandle(lastHandle_);
    return previous;
}

RV ObjMgrImpl::AddObject(ObjPtr obj) {
    if (!obj) return CKR_ARGUMENTS_BAD;
    MakeIDFor(obj);
    objects_[obj->GetHandle()] = obj;
    return 0;
}

RV ObjMgrImpl::DestroyObject(ObjPtr obj) {
    if (!obj) return CKR_ARGUMENTS_BAD;
    objects_.erase(obj->GetHandle());
    return 0;
}

ObjPtr ObjMgrImpl::GetObject(uint32_t handle) {
    auto it = objects_.find(handle);
    return it == objects_.end() ? ObjPtr() : it->second;
}

RV ObjMgrImpl::GetAllObj(std::vector<ObjPtr>& all) {
    for (const auto& entry : objects_) all.push_back(entry.second);
    return 0;
}

RV ObjMgrWithStore::AddObject(ObjPtr obj) {
    if (!store_) return CKR_TOKEN_NOT_RECOGNIZED;
    if (!obj) return CKR_ARGUMENTS_BAD;
    MakeIDFor(obj);
    RV rv = store_->StoreObj(obj);
    return rv ? rv : ObjMgrImpl::AddObject(obj);
}

RV ObjMgrWithStore::UpdateObject(ObjPtr obj) {
    if (!store_) return CKR_TOKEN_NOT_RECOGNIZED;
    RV rv = store_->StoreObj(obj);
    return rv ? rv : ObjMgrImpl::UpdateObject(obj);
}

RV ObjMgrWithStore::DestroyObject(ObjPtr obj) {
    if (!store_) return CKR_TOKEN_NOT_RECOGNIZED;
    RV rv = store_->PurgeObj(obj);
    return rv ? rv : ObjMgrImpl::DestroyObject(obj);
}

RV ObjMgrWithStore::CheckUpdate(std::vector<ObjPtr>* added, std::vector<ObjPtr>* changed,
                                std::vector<ObjPtr>* removed) {
    if (!store_) return CKR_TOKEN_NOT_RECOGNIZED;
    std::vector<ObjPtr> known, a, r, c;
    GetAllObj(known);
    RV rv = store_->CheckUpdate(known, a, r, c);
    if (rv) return rv;
    for (const auto& obj : a) {
        if ((rv = ObjMgrImpl::AddObject(obj))) return rv;
    }
    for (const auto& obj : r) {
        if ((rv = ObjMgrImpl::DestroyObject(obj))) return rv;
    }
    for (const auto& obj : c) {
        if ((rv = ObjMgrImpl::UpdateObject(obj))) return rv;
    }
    Append(added, a);
    Append(changed, c);
    Append(removed, r);
    return 0;
}

RV ObjMgrWithCont::AddObject(ObjPtr obj) {
    if (!inner_ || !containers_) return CKR_GENERAL_ERROR;
    RV rv = inner_->AddObject(obj);
    if (rv) return rv;
    const uint32_t cls = ClassOf(obj, rv);
    if (rv) return rv;
    return InContainers(cls) ? containers_->AddObj(obj) : 0;
}

RV ObjMgrWithCont::DestroyObject(ObjPtr obj) {
    if (!inner_ || !containers_) return CKR_GENERAL_ERROR;
    RV rv = inner_->DestroyObject(obj);
    if (rv) return rv;
    const uint32_t cls = ClassOf(obj, rv);
    if (rv) return rv;
    return InContainers(cls) ? containers_->RemoveObj(obj, true) : 0;
}

RV ObjMgrWithCont::UpdateObject(ObjPtr obj) {
    return inner_ ? inner_->UpdateObject(obj) : CKR_GENERAL_ERROR;
}

ObjPtr ObjMgrWithCont::GetObject(uint32_t handle) { return inner_ ? inner_->GetObject(handle) : ObjPtr(); }

RV ObjMgrWithCont::GetAllObj(std::vector<ObjPtr>& all) { return inner_ ? inner_->GetAllObj(all) : CKR_GENERAL_ERROR; }

RV ObjMgrWithCont::CheckUpdate(std::vector<ObjPtr>*, std::vector<ObjPtr>*, std::vector<ObjPtr>*) {
    return inner_ && containers_ ? containers_->CheckUpdate() : CKR_GENERAL_ERROR;
}

RV ObjMgrWithCont::CheckUpdate2(std::vector<ObjPtr>* added, std::vector<ObjPtr>* changed,
                                std::vector<ObjPtr>* removed) {
    if (!inner_ || !containers_) return CKR_GENERAL_ERROR;
    std::vector<ObjPtr> a, c, r;
    RV rv = inner_->CheckUpdate(&a, &c, &r);
    if (rv) return rv;
    // Changes that came from the token are not written back to the map files.
    auto* fsStore = dynamic_cast<ContMgrFsStore*>(containers_);
    const bool suppressed = fsStore && !fsStore->SaveSuppressed();
    if (suppressed) fsStore->SetSaveSuppressed(true);
    struct Restore {
        ContMgrFsStore* store;
        bool active;
        ~Restore() {
            if (active) store->SetSaveSuppressed(false);
        }
    } restore{fsStore, suppressed};

    for (const auto& obj : r) {
        if ((rv = containers_->ForgetObj(obj))) return rv;
    }
    // Private keys first, so their containers exist for the public keys and certificates.
    for (uint32_t pass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) {
        for (const auto& obj : a) {
            const uint32_t cls = ClassOf(obj, rv);
            if (rv) return rv;
            if (cls == pass && (rv = containers_->AddObj(obj))) return rv;
        }
    }
    Append(added, a);
    Append(changed, c);
    Append(removed, r);
    return 0;
}
