#include "command_apdu.h"

namespace sim {
namespace {

// Le after the data: one non-zero byte, or 00 hi lo. Zero bytes are taken
// for padding.
void ReadTrailingLe(const Bytes& raw, size_t at, CommandApdu& c) {
    size_t n = raw.size();
    if (at >= n) return;
    if (raw[at] != 0) {
        c.le = raw[at];
        c.hasLe = true;
    } else if (at + 3 <= n && (raw[at + 1] || raw[at + 2])) {
        c.le = (uint32_t(raw[at + 1]) << 8) | raw[at + 2];
        c.hasLe = true;
    }
}

}  // namespace

std::optional<CommandApdu> ParseCommand(const Bytes& raw) {
    size_t n = raw.size();
    if (n < 4) return std::nullopt;
    CommandApdu c;
    c.cla = raw[0];
    c.ins = raw[1];
    c.p1 = raw[2];
    c.p2 = raw[3];
    if (n == 4) return c;
    if (n == 5) {  // case 2 short, or the five-byte command ending 00
        if (raw[4] != 0) {
            c.le = raw[4];
            c.hasLe = true;
        }
        return c;
    }
    if (raw[4] != 0) {
        size_t lc = raw[4];
        if (5 + lc > n) return std::nullopt;
        c.data.assign(raw.begin() + 5, raw.begin() + static_cast<long>(5 + lc));
        ReadTrailingLe(raw, 5 + lc, c);
        return c;
    }
    if (n < 7) return std::nullopt;
    size_t value = (size_t(raw[5]) << 8) | raw[6];
    if (value > 0 && n - 7 >= value) {  // extended Lc with its data
        c.data.assign(raw.begin() + 7, raw.begin() + static_cast<long>(7 + value));
        ReadTrailingLe(raw, 7 + value, c);
    } else if (value > 0) {  // extended Le, no data
        c.le = static_cast<uint32_t>(value);
        c.hasLe = true;
    }
    return c;
}

}  // namespace sim
