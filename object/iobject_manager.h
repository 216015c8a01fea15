// The objects a slot exposes and their handles.
#ifndef KV_OBJECT_IOBJECT_MANAGER_H
#define KV_OBJECT_IOBJECT_MANAGER_H

#include <vector>

#include "iobj.h"

class IObjectManager {
public:
    virtual ~IObjectManager() = default;
    virtual RV CheckUpdate(std::vector<ObjPtr>* added, std::vector<ObjPtr>* changed, std::vector<ObjPtr>* removed) = 0;
    virtual RV CheckUpdate2(std::vector<ObjPtr>*, std::vector<ObjPtr>*, std::vector<ObjPtr>*) {
        return CKR_GENERAL_ERROR;
    }
    virtual RV AddObject(ObjPtr obj) = 0;
    virtual RV UpdateObject(ObjPtr obj) = 0;
    virtual RV DestroyObject(ObjPtr obj) = 0;
    virtual ObjPtr GetObject(uint32_t handle) = 0;
    virtual RV GetAllObj(std::vector<ObjPtr>& all) = 0;
};

#endif
