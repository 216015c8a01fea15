// The handle table and its decorators: the object store and the containers.
#ifndef KV_OBJECT_OBJ_MGR_H
#define KV_OBJECT_OBJ_MGR_H

#include <map>

#include "iobject_manager.h"

class IStore;
class IContainerManager;

class ObjMgrImpl : public IObjectManager {
public:
    // firstHandle: the counter's start; the first object gets firstHandle + 1.
    explicit ObjMgrImpl(uint32_t firstHandle = 1) : lastHandle_(firstHandle) {}

    RV CheckUpdate(std::vector<ObjPtr>*, std::vector<ObjPtr>*, std::vector<ObjPtr>*) override { return 0; }
    RV AddObject(ObjPtr obj) override;
    RV UpdateObject(ObjPtr) override { return 0; }
    RV DestroyObject(ObjPtr obj) override;
    ObjPtr GetObject(uint32_t handle) override;
    RV GetAllObj(std::vector<ObjPtr>& all) override;
    // Gives the object the next handle no object holds (unless it has one).
    uint32_t MakeIDFor(const ObjPtr& obj);
    uint32_t LastHandle() const { return lastHandle_; }

private:
    std::map<uint32_t, ObjPtr> objects_;
    uint32_t lastHandle_;
};

class ObjMgrWithStore : public ObjMgrImpl {
public:
    explicit ObjMgrWithStore(IStore* store, uint32_t firstHandle = 1) : ObjMgrImpl(firstHandle), store_(store) {}

    RV CheckUpdate(std::vector<ObjPtr>* added, std::vector<ObjPtr>* changed, std::vector<ObjPtr>* removed) override;
    RV AddObject(ObjPtr obj) override;
    RV UpdateObject(ObjPtr obj) override;
    RV DestroyObject(ObjPtr obj) override;

private:
    IStore* store_;
};

class ObjMgrWithCont : public IObjectManager {
public:
    ObjMgrWithCont(IObjectManager* inner, IContainerManager* containers) : inner_(inner), containers_(containers) {}

    RV CheckUpdate(std::vector<ObjPtr>* added, std::vector<ObjPtr>* changed, std::vector<ObjPtr>* removed) override;
    RV CheckUpdate2(std::vector<ObjPtr>* added, std::vector<ObjPtr>* changed, std::vector<ObjPtr>* removed) override;
    RV AddObject(ObjPtr obj) override;
    RV UpdateObject(ObjPtr obj) override;
    RV DestroyObject(ObjPtr obj) override;
    ObjPtr GetObject(uint32_t handle) override;
    RV GetAllObj(std::vector<ObjPtr>& all) override;

private:
    IObjectManager* inner_;
    IContainerManager* containers_;
};

#endif
