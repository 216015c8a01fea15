#include "log_hex.h"

namespace {

constexpr size_t kLineBytes = 16;
constexpr size_t kColonColumn = 54;
const char kHexDigits[] = "0123456789ABCDEF";

char Printable(uint8_t b) { return b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.'; }

}  // namespace

std::string msglog_lineprinthex(const uint8_t* data, size_t len) {
    if (len > kLineBytes || (!data && len)) return std::string();
    std::string line(4, ' ');
    for (size_t i = 0; i < len; ++i) {
        line += kHexDigits[data[i] >> 4];
        line += kHexDigits[data[i] & 0x0F];
        line += i == 7 ? '-' : ' ';
    }
    line.resize(kColonColumn, ' ');
    line += ": ";
    for (size_t i = 0; i < len; ++i) line += Printable(data[i]);
    line += "\r\n";
    return line;
}

std::string msglog_hexdump(const uint8_t* data, size_t len) {
    if (!data) return "NULL";
    const bool cut = len > kLogDumpMaxBytes;
    const size_t shown = cut ? kLogDumpMaxBytes : len;
    std::string dump;
    dump.reserve((shown / kLineBytes + 1) * (kColonColumn + 2 + kLineBytes + 2));
    size_t at = 0;
    for (; at + kLineBytes <= shown; at += kLineBytes) dump += msglog_lineprinthex(data + at, kLineBytes);
    if (!cut) dump += msglog_lineprinthex(data + at, shown - at);
    return dump;
}
