// Fixed-width, blank-padded PKCS#11 character fields.
#ifndef KV_SUPPORT_P11_TEXT_H
#define KV_SUPPORT_P11_TEXT_H

#include <cstddef>

#include "pkcs11.h"

// Blank-fills width bytes and writes text at the start (no NUL); false and
// dst untouched when the text is longer than the field.
bool P11_StrToArray(CK_UTF8CHAR* dst, const char* text, size_t width);

#endif
