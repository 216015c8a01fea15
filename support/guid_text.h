// GUID-shaped text, the form of key container names.
#ifndef KV_SUPPORT_GUID_TEXT_H
#define KV_SUPPORT_GUID_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

// 16 bytes (zero-padded when fewer) as upper-case hex text in GUID layout,
// 8-4-4-4-12 digits.
std::string GuidText(const uint8_t* bytes, size_t length);

#endif
