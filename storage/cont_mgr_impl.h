// Containers in memory and the rules that match objects into them.
#ifndef KV_STORAGE_CONT_MGR_IMPL_H
#define KV_STORAGE_CONT_MGR_IMPL_H

#include <map>

#include "icontainer_manager.h"

class ContMgrImpl : public IContainerManager {
public:
    RV CheckUpdate() override { return 0; }
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

    const std::map<uint32_t, container_t>& Containers() const { return containers_; }

protected:
    // A key object's key reference (its key file), 0 when it has none.
    static uint32_t KeyRef(const IObj& obj);
    // Records a key reference for a slot; empties the slot unless its object carries it.
    static void SetReference(container_t& c, uint32_t reference, uint32_t usage, uint32_t type);
    // The slot object's key reference, or the one recorded from the map file.
    static uint32_t GetReference(const container_t& c, uint32_t usage, uint32_t type);
    // The container and the half (usage) that record a key reference.
    RV FindContainerByReference(uint32_t reference, uint32_t& index, uint32_t& usage) const;
    RV FindContainerByCheckvalue(const ByteVec& value, uint32_t& index, uint32_t& usage) const;
    static std::string NewContainerName();

    std::map<uint32_t, container_t> containers_;
};

#endif
