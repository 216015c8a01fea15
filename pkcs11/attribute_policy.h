// What callers may do with each attribute: the one place that says which
// attributes the library alone sets, which values stay hidden, which
// attributes only the security officer may set true, and what an existing
// object keeps for ever. Every call that makes, changes, reads or matches
// an object asks here.
#ifndef KV_PKCS11_ATTRIBUTE_POLICY_H
#define KV_PKCS11_ATTRIBUTE_POLICY_H

#include "iobj.h"
#include "pkcs11.h"

// Set by the library alone: no caller's template names them.
bool LibraryOwned(CK_ATTRIBUTE_TYPE type);

// What an object is and the key material it holds: fixed once it exists.
bool IsFixedAttribute(CK_ATTRIBUTE_TYPE type, bool isKey);

// A value C_GetAttributeValue refuses (CKR_ATTRIBUTE_SENSITIVE): the secret
// parts of a sensitive or unextractable key. A flag that cannot be read
// counts as hiding. Hidden values are neither read nor matched.
bool HiddenAttribute(const IObj& obj, CK_ATTRIBUTE_TYPE type);

// A caller's template for a new object or a change: its pointers and value
// shapes (CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_VALUE_INVALID), no library-owned
// attribute, and CKA_TRUSTED true only from the security officer
// (CKR_ATTRIBUTE_READ_ONLY).
CK_RV CheckCallerTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool securityOfficer);

#endif
