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

// Starts the history of a new key: made here (generated) or brought in
// (created from a template, unwrapped). CKA_LOCAL tells which; a key made
// here is CKA_ALWAYS_SENSITIVE and CKA_NEVER_EXTRACTABLE as far as its
// flags say now, a key brought in neither, whatever its template claimed.
CK_RV StartKeyHistory(const ObjPtr& key, bool madeHere);

// The history attributes of a key as a relying party reads and matches
// them, worked out from what the key holds, so that an older file never
// claims more than it knows: CKA_ALWAYS_SENSITIVE only while the key is
// still sensitive, CKA_NEVER_EXTRACTABLE only while it is still
// unextractable, CKA_KEY_GEN_MECHANISM the mechanism that made a key
// generated here and CK_UNAVAILABLE_INFORMATION for any other key. The
// value in the caller's form (a CK_BBOOL, a CK_ULONG); false for other
// attributes and for objects that are not such keys.
bool KeyHistoryValue(const IObj& obj, CK_ATTRIBUTE_TYPE type, ByteVec& callerForm);

// A caller's template for a new object or a change: its pointers and value
// shapes (CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_VALUE_INVALID), no library-owned
// attribute, and CKA_TRUSTED true only from the security officer
// (CKR_ATTRIBUTE_READ_ONLY).
CK_RV CheckCallerTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool securityOfficer);

#endif
