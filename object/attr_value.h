// How an object keeps an attribute value, from the two places values come
// from: a caller's template, and an object file on the token or the phone.
#ifndef KV_OBJECT_ATTR_VALUE_H
#define KV_OBJECT_ATTR_VALUE_H

#include <cstdint>
#include <vector>

#include "kv_types.h"

// Caller: CK_ULONG values in 4 or 8 bytes, templates as CK_ATTRIBUTE arrays
// with pointers. Stored: CK_ULONG values in 4 bytes, templates in the
// self-contained form below; nothing in it is trusted.
enum class AttrForm { Caller, Stored };

bool IsBoolAttribute(CK_ATTRIBUTE_TYPE type);

// The kept value of an attribute, or false when the value is malformed:
// a CK_BBOOL is 1 byte; a CK_ULONG 4 bytes (8 from a caller, narrowed);
// CKA_ALLOWED_MECHANISMS a list of mechanism numbers, 8 bytes each,
// little-endian; any other array attribute a template, kept as entries of
// type (8 bytes), length (8 bytes) and value, little-endian, no pointers.
bool KeepAttrValue(uint32_t type, const void* data, uint32_t length, AttrForm form, ByteVec& kept);

// The array attributes that hold templates (CKA_WRAP_TEMPLATE,
// CKA_UNWRAP_TEMPLATE): the only ones whose caller value is followed as a
// CK_ATTRIBUTE array. Any other array attribute but CKA_ALLOWED_MECHANISMS
// is refused from a caller.
bool HoldsTemplate(CK_ATTRIBUTE_TYPE type);

// One entry of a template in the kept form; value points into the kept bytes.
struct FlatEntry {
    uint32_t type;
    const uint8_t* value;
    uint32_t length;
};
// The entries of a kept template; false when the bytes are malformed.
bool ReadFlatTemplate(const ByteVec& kept, std::vector<FlatEntry>& entries);

#endif
