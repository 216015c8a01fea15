// Key container names as the PKCS#11 calls see them: the vendor attribute
// CKA_VENDOR_CONTAINER_NAME of an object, and fresh names for new containers.
#ifndef KV_PKCS11_CONTAINER_NAME_H
#define KV_PKCS11_CONTAINER_NAME_H

#include <string>

#include "icontainer_manager.h"

// The name of the container holding the object; a certificate in no
// container is named after its key material (its public modulus, else the
// start of its CKA_VALUE). RV_NOT_FOUND when the object has no name; a
// failing look-up CKR_GENERAL_ERROR.
CK_RV ObjectContainerName(IContainerManager& containers, const ObjPtr& obj, std::string& name);

// A new, empty container under a random name no container carries (the
// name is drawn again on a collision); its index goes to *index.
CK_RV CreateFreshContainer(IContainerManager& containers, uint32_t* index);

#endif
