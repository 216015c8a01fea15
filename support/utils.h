// Small stateless helpers shared by several layers.
#ifndef KV_SUPPORT_UTILS_H
#define KV_SUPPORT_UTILS_H

#include <cstdint>
#include <string>

#include "pkcs11.h"

// Upper-case hex text of len bytes plus a terminator; returns 2*len (0 for len <= 0).
int32_t HexToAsc(char* dst, const uint8_t* src, int32_t len);

// Text of value in radix 2..36 (lower-case digits); any other radix gives "".
char* itoa(int32_t value, char* buffer, int32_t radix);

// Byte-for-byte copy; the selectors are accepted and not interpreted.
std::string ToStringA(const char* text, uint32_t from, uint32_t to);

// Low bytes of len-1 units and a terminator at dst[len-1]; len 0 or 1 writes nothing.
void ConvertU2ToCharArray(const uint16_t* src, char* dst, uint32_t len);

// Widens len bytes (unsigned) to 16-bit units; no terminator.
void ConvertCharArrayToU2(uint16_t* dst, const char* src, uint32_t len);

// True for the CK_ULONG attributes the library keeps in 4 bytes.
bool IsULongAttribute(CK_ATTRIBUTE_TYPE type);

// 8 -> 4 for CK_ULONG attributes; returns the (possibly changed) length.
uint32_t ResizeLength(uint32_t type, uint32_t* len);

// 4 -> 8 in the reported lengths of CK_ULONG attributes.
void RestoreInitialLength(CK_ATTRIBUTE* tmpl, CK_ULONG count);

#endif
