// Hex texts of the diagnostic log: dump lines with a printable column, and
// whole dumps bounded in size.
#ifndef KV_SUPPORT_LOG_HEX_H
#define KV_SUPPORT_LOG_HEX_H

#include <cstddef>
#include <cstdint>
#include <string>

// Most bytes one dump shows; the rest of a longer buffer is left out.
constexpr size_t kLogDumpMaxBytes = 4096;

// One dump line of at most 16 bytes: four blanks, "XX " per byte ("XX-"
// after the eighth), blanks up to column 53, ":" and a blank, one character
// per byte (printable ASCII as is, else "."), CR LF. Empty for len > 16.
std::string msglog_lineprinthex(const uint8_t* data, size_t len);

// Lines of 16 bytes over at most kLogDumpMaxBytes bytes; up to that bound a
// last line holds the remaining len mod 16 bytes. "NULL" for null data.
std::string msglog_hexdump(const uint8_t* data, size_t len);

#endif
