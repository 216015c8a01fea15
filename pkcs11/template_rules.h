// Checks on a caller's template made before any object is built from it.
#ifndef KV_PKCS11_TEMPLATE_RULES_H
#define KV_PKCS11_TEMPLATE_RULES_H

#include "pkcs11.h"

class Slot;

// A null template with a non-zero count is CKR_ARGUMENTS_BAD, and so is an
// entry with a null value and a non-zero length.
CK_RV CheckTemplatePointers(const CK_ATTRIBUTE* tmpl, CK_ULONG count);

// The first entry's CK_BBOOL (its first byte); false when absent or empty.
bool TemplateFlag(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type);

// A CK_ULONG entry of 4 or 8 bytes whose value fits in 32 bits; false when
// absent or malformed.
bool TemplateULong(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type, CK_ULONG& value);

// A public or private key template carrying CKA_MODULUS needs a modulus of
// 65 to 511 bytes; else CKR_TEMPLATE_INCONSISTENT.
CK_RV CheckModulusLength(const CK_ATTRIBUTE* tmpl, CK_ULONG count);

// The template's value lengths (summed without wrapping) must fit in the
// token's free public memory; else CKR_DEVICE_MEMORY, and CKR_DEVICE_ERROR
// when the token info cannot be read.
CK_RV CheckFreeSpace(Slot& slot, const CK_ATTRIBUTE* tmpl, CK_ULONG count);

#endif
