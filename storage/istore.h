// Token objects kept on the token.
#ifndef KV_STORAGE_ISTORE_H
#define KV_STORAGE_ISTORE_H

#include <vector>

#include "iobj.h"

class IStore {
public:
    virtual ~IStore() = default;
    virtual RV StoreObj(ObjPtr obj) = 0;
    virtual RV PurgeObj(ObjPtr obj) = 0;
    // What appeared, vanished and changed on the token since the last report.
    virtual RV CheckUpdate(const std::vector<ObjPtr>& known, std::vector<ObjPtr>& added, std::vector<ObjPtr>& removed,
                           std::vector<ObjPtr>& changed) = 0;
    virtual RV AllocKeyFID(CK_ULONG, CK_ULONG, uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV CheckUpdate(bool) { return RV_NOT_SUPPORTED; }
    // Whether a key object of the last refresh names the key file; true when
    // that cannot be told (the file must then be kept).
    virtual bool NamesKeyFile(uint32_t) { return true; }
    // Whether the last refresh read every object file, each of them surely
    // on the token: only then does a key file no object names belong to
    // nobody, and one an object names belong to that object.
    virtual bool ViewComplete() const { return false; }
};

#endif
