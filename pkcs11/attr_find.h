// The search template matcher of C_FindObjectsInit.
#ifndef KV_PKCS11_ATTR_FIND_H
#define KV_PKCS11_ATTR_FIND_H

#include "icontainer_manager.h"

// Whether the object matches every entry of a search template whose values
// have been checked (CheckTemplateValues): values as the object keeps them
// (CK_ULONG values by number, EC points in any of their forms), byte for
// byte; an empty value matches an empty attribute. CKA_VENDOR_CONTAINER_NAME compares the
// object's container name; without a container manager it matches nothing.
// An empty template matches every object.
bool AttrFind(const ObjPtr& obj, const CK_ATTRIBUTE* tmpl, CK_ULONG count, IContainerManager* containers);

#endif
