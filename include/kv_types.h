/* Shared types of the library: internal status codes, vendor values, byte vectors. */
#ifndef KV_TYPES_H
#define KV_TYPES_H

#include <cstdint>
#include <vector>

#include "pkcs11.h"

static_assert(sizeof(CK_ULONG) == sizeof(void*), "CK_ULONG follows the platform's long (LP64: 64 bits)");

using ByteVec = std::vector<uint8_t>;
using RV = uint32_t;  // 32-bit result code between layers

// Internal status codes; never returned to an application unmapped.
constexpr RV RV_ALREADY_EXISTS = 0x00010001;
constexpr RV RV_NO_CONTAINER = 0x00010002;
constexpr RV RV_NOT_FOUND = 0x00010003;
constexpr RV RV_BUFFER_TOO_SMALL = 0x00010004;
constexpr RV RV_NOT_SUPPORTED = 0x00010005;
// An update whose input, with what the operation holds queued, would pass
// 32 bits: refused before anything is queued, the operation kept.
constexpr RV RV_INPUT_TOO_LONG = 0x00010006;
// A token command that could not be encoded: its data did not fit the
// command buffer or the secure-messaging wrapping, or did not match its Lc.
constexpr RV RV_ENCODING_FAILED = 0x00010007;

// Smart-card results and the library's own vendor codes.
constexpr RV SCARD_E_DIR_NOT_FOUND = 0x80100023;
constexpr RV SCARD_E_FILE_NOT_FOUND = 0x80100024;
constexpr RV SCARD_E_NO_SUCH_DIRECTORY = 0x80100025;
constexpr RV SCARD_E_NO_SUCH_FILE = 0x80100026;
constexpr RV SCARD_E_NO_KEY_CONTAINER = 0x80100030;
constexpr RV SCARD_E_UNEXPECTED = 0x8000FFFF;
constexpr RV KV_E_DIR_NOT_EMPTY = 0x80800001;
constexpr RV KV_E_OBJ_DIR_UNLISTABLE = 0xE0000008;

// Vendor attributes and mechanism.
constexpr CK_ATTRIBUTE_TYPE CKA_VENDOR_KEY_REF = 0x80000100UL;
// Eight random bytes the object store gives a token object when it is first
// filed (one filed before stamps existed: at its next edit); edits keep
// them, so they tell an edited object from another one filed later under
// its freed name. Set by the library alone.
constexpr CK_ATTRIBUTE_TYPE CKA_VENDOR_OBJECT_STAMP = 0x80000101UL;
constexpr CK_ATTRIBUTE_TYPE CKA_VENDOR_CONTAINER_NAME = 0x80564D42UL;
constexpr CK_ATTRIBUTE_TYPE CKA_VENDOR_CERT_ATTR = 0x80564D44UL;
constexpr CK_MECHANISM_TYPE CKM_VENDOR_IMPORT_KEY = 0x80000001UL;

// Fixed token file identifiers.
constexpr uint16_t FID_MF = 0x3F00;
constexpr uint16_t FID_ADF = 0x4E51;
constexpr uint16_t FID_RECORD = 0x6F01;
constexpr uint16_t FID_FIRST_NAMED = 0x2400;

#endif
