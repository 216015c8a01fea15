// Registry of object creators by class and subtype (key or certificate type).
#ifndef KV_OBJECT_OBJ_FACTORY_H
#define KV_OBJECT_OBJ_FACTORY_H

#include <map>

#include "iobj.h"
#include "shared_ptr.h"

using ObjCreator = CK_RV (*)(kv::shared_ptr<IObj>& out);

class ObjFactory {
public:
    using Registry = std::map<CK_OBJECT_CLASS, std::map<CK_ULONG, ObjCreator>>;

    static Registry& GetCreators();
    // The first registration of a (class, subtype) wins.
    static bool RegistObjCreator(CK_OBJECT_CLASS cls, CK_ULONG subtype, ObjCreator creator);
    static kv::shared_ptr<IObj> CreateObject(CK_OBJECT_CLASS cls, CK_ULONG subtype, const CK_ATTRIBUTE* tmpl,
                                             CK_ULONG count, AttrForm form = AttrForm::Caller);
    // Class and subtype from the template; the caller's template is not changed.
    static kv::shared_ptr<IObj> CreateObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                                             AttrForm form = AttrForm::Caller);
};

#endif
