// Container operations that also create or destroy the PKCS#11 objects.
#ifndef KV_STORAGE_CONT_MGR_WITH_OBJ_H
#define KV_STORAGE_CONT_MGR_WITH_OBJ_H

#include "icontainer_manager.h"
#include "iobject_manager.h"

class ContMgrWithObj : public IContainerManager {
public:
    ContMgrWithObj(IContainerManager* containers, IObjectManager* objects)
        : containers_(containers), objects_(objects) {}

    RV CheckUpdate() override;
    RV GetContainerList(std::vector<uint32_t>& indexes) override;
    RV GetContainerName(uint32_t index, std::string& name) override;
    RV GetContainerIndex(const std::string& name, uint32_t* index) override;
    RV CreateContainer(const std::string& name, uint32_t* index) override;
    RV DestroyContainer(uint32_t index) override;
    RV AddObj(ObjPtr obj, const uint32_t* index = nullptr, const uint32_t* usage = nullptr,
              const uint32_t* type = nullptr) override;
    RV RemoveObj(ObjPtr obj, bool destroyEmpty) override;
    RV ForgetObj(ObjPtr obj) override;
    RV GetObj(uint32_t index, uint32_t usage, uint32_t type, ObjPtr& obj) override;
    RV GetObjContainer(ObjPtr obj, uint32_t* index, uint32_t* usage, uint32_t* type) override;
    bool CheckMatchedKeyObj(ObjPtr obj, uint32_t* index) override;

private:
    IContainerManager* containers_;
    IObjectManager* objects_;
};

#endif
