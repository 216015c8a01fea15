#include "cont_mgr_with_obj.h"

RV ContMgrWithObj::CheckUpdate() { return containers_ ? containers_->CheckUpdate() : CKR_GENERAL_ERROR; }

RV ContMgrWithObj::GetContainerList(std::vector<uint32_t>& indexes) {
    return containers_ ? containers_->GetContainerList(indexes) : CKR_GENERAL_ERROR;
}

RV ContMgrWithObj::GetContainerName(uint32_t index, std::string& name) {
    return containers_ ? containers_->GetContainerName(index, name) : CKR_GENERAL_ERROR;
}

RV ContMgrWithObj::GetContainerIndex(const std::string& name, uint32_t* index) {
    return containers_ ? containers_->GetContainerIndex(name, index) : CKR_GENERAL_ERROR;
}

RV ContMgrWithObj::CreateContainer(const std::string& name, uint32_t* index) {
    return containers_ ? containers_->CreateContainer(name, index) : CKR_GENERAL_ERROR;
}

RV ContMgrWithObj::GetObj(uint32_t index, uint32_t usage, uint32_t type, ObjPtr& obj) {
    return containers_ ? containers_->GetObj(index, usage, type, obj) : CKR_GENERAL_ERROR;
}

RV ContMgrWithObj::GetObjContainer(ObjPtr obj, uint32_t* index, uint32_t* usage, uint32_t* type) {
    return containers_ ? containers_->GetObjContainer(obj, index, usage, type) : CKR_GENERAL_ERROR;
}

bool ContMgrWithObj::CheckMatchedKeyObj(ObjPtr obj, uint32_t* index) {
    return containers_ ? containers_->CheckMatchedKeyObj(obj, index) : true;
}

RV ContMgrWithObj::AddObj(ObjPtr obj, const uint32_t* index, const uint32_t* usage, const uint32_t* type) {
    if (!containers_ || !objects_) return CKR_GENERAL_ERROR;
    RV rv = objects_->AddObject(obj);
    return rv ? rv : containers_->AddObj(obj, index, usage, type);
}

RV ContMgrWithObj::RemoveObj(ObjPtr obj, bool destroyEmpty) {
    if (!containers_ || !objects_) return CKR_GENERAL_ERROR;
    RV rv = objects_->DestroyObject(obj);
    return rv ? rv : containers_->RemoveObj(obj, destroyEmpty);
}

RV ContMgrWithObj::ForgetObj(ObjPtr obj) { return containers_ ? containers_->ForgetObj(obj) : CKR_GENERAL_ERROR; }

RV ContMgrWithObj::DestroyContainer(uint32_t index) {
    if (!containers_ || !objects_) return CKR_GENERAL_ERROR;
    for (uint32_t usage = 0; usage < 2; ++usage) {
        for (uint32_t type = 0; type < 3; ++type) {
            ObjPtr obj;
            if (containers_->GetObj(index, usage, type, obj) == 0 && obj) {
                RV rv = RemoveObj(obj, false);
                if (rv) return rv;
            }
        }
    }
    return containers_->DestroyContainer(index);
}
