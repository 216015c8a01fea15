// The shape of a caller's attribute values, checked before anything reads
// them, and the one form an EC point is kept in.
#ifndef KV_PKCS11_TEMPLATE_VALUES_H
#define KV_PKCS11_TEMPLATE_VALUES_H

#include <cstddef>

#include "kv_types.h"

// Every entry's value has the shape its type takes: a CK_BBOOL of 1 byte, a
// CK_ULONG of 4 or 8 bytes whose value fits in 32 bits, a well-formed list
// or template for the array attributes; else CKR_ATTRIBUTE_VALUE_INVALID.
CK_RV CheckTemplateValues(const CK_ATTRIBUTE* tmpl, CK_ULONG count);

// x || y out of the forms an EC point arrives in: x || y itself, 04 || x || y
// (one more than a multiple of 8 bytes), or that inside a DER OCTET STRING.
// Any other value is kept as it is.
ByteVec RawEcPoint(const uint8_t* value, size_t length);

// The form C_GetAttributeValue gives a kept x || y in: 04 || x || y, or,
// after ChooseEcPointForm("der"), that inside a DER OCTET STRING (what
// PKCS#11 2.20 clients such as GnuTLS and OpenSSH expect). Chosen at
// C_Initialize from $KVP11_EC_POINT ("der" or "raw"; anything else is raw).
void ChooseEcPointForm(const char* setting);
ByteVec CallerEcPoint(const ByteVec& xy);

#endif
