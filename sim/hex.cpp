#include "hex.h"

#include <cctype>

namespace sim {

std::string ToHex(const Bytes& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t v : b) {
        s.push_back(digits[v >> 4]);
        s.push_back(digits[v & 15]);
    }
    return s;
}

std::optional<Bytes> FromHex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char ch : text) {
        if (std::isspace(static_cast<unsigned char>(ch))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(ch))) return std::nullopt;
        int v = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : (std::toupper(ch) - 'A' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

}  // namespace sim
