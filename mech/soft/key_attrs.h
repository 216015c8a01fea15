// Attribute reads shared by the software mechanisms that load keys.
#ifndef KV_MECH_SOFT_KEY_ATTRS_H
#define KV_MECH_SOFT_KEY_ATTRS_H

#include "iobj.h"

// The bytes of an attribute, read in place (key material is not copied);
// RV_NOT_FOUND when absent, as GetAttr reports it.
inline CK_RV AttrBytes(const ObjPtr& obj, uint32_t type, const ByteVec*& value) {
    value = obj->Value(type);
    return value ? CKR_OK : RV_NOT_FOUND;
}

// Two attributes; the first failed read is returned.
inline CK_RV AttrBytes(const ObjPtr& obj, uint32_t type1, const ByteVec*& value1, uint32_t type2,
                       const ByteVec*& value2) {
    CK_RV rv = AttrBytes(obj, type1, value1);
    return rv ? rv : AttrBytes(obj, type2, value2);
}

#endif
