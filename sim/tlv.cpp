#include "tlv.h"

namespace sim {

std::optional<std::map<uint8_t, Bytes>> ParseTlvRun(const Bytes& data, size_t from, size_t to) {
    if (to > data.size() || from > to) return std::nullopt;
    std::map<uint8_t, Bytes> objects;
    size_t pos = from;
    while (pos < to) {
        if (to - pos < 2) return std::nullopt;
        uint8_t tag = data[pos];
        size_t len = data[pos + 1];
        pos += 2;
        if (len == 0x81 || len == 0x82) {
            size_t extra = len - 0x80;
            if (to - pos < extra) return std::nullopt;
            len = extra == 1 ? data[pos] : (size_t(data[pos]) << 8) | data[pos + 1];
            pos += extra;
        } else if (len > 0x82) {
            return std::nullopt;
        }
        if (to - pos < len) return std::nullopt;
        objects[tag].assign(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + len));
        pos += len;
    }
    return objects;
}

}  // namespace sim
