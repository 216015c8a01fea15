#include "secure_channel.h"

#include <algorithm>

namespace sim {
namespace {

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t len) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
}

// Reads one BER-TLV with a 1-byte, 81 or 82 length at pos.
bool ReadTlv(const Bytes& d, size_t& pos, uint8_t& tag, Bytes& value, Bytes& whole) {
    size_t start = pos;
    if (pos + 2 > d.size()) return false;
    tag = d[pos++];
    size_t len = d[pos++];
    if (len == 0x81) {
        if (pos + 1 > d.size()) return false;
        len = d[pos++];
    } else if (len == 0x82) {
        if (pos + 2 > d.size()) return false;
        len = (size_t(d[pos]) << 8) | d[pos + 1];
        pos += 2;
    } else if (len > 0x82) {
        return false;
    }
    if (pos + len > d.size()) return false;
    value = Slice(d, pos, len);
    pos += len;
    whole = Slice(d, start, pos - start);
    return true;
}

}  // namespace

Bytes SecureChannel::Cryptogram(const Bytes& first, const Bytes& second) const {
    Bytes m = PadIso(Concat({first, second}), BlockSize(cipher_));
    return Slice(CbcEncrypt(cipher_, sEnc_, Bytes(), m), 16, 8);
}

Bytes SecureChannel::InitializeUpdate(Cipher cipher, const Bytes& kEnc, const Bytes& kMac,
                                      const Bytes& hostChallenge, const Bytes& cardData12,
                                      const Bytes& cardChallenge) {
    cipher_ = cipher;
    open_ = false;
    hostChallenge_ = hostChallenge;
    cardChallenge_ = cardChallenge;
    Bytes derivation = Concat({Slice(cardChallenge, 4, 4), Slice(hostChallenge, 0, 4), Slice(cardChallenge, 0, 4),
                               Slice(hostChallenge, 4, 4)});
    sEnc_ = EcbEncrypt(cipher_, kEnc, derivation);
    sMac_ = EcbEncrypt(cipher_, kMac, derivation);
    initialized_ = true;
    return Concat({cardData12, cardChallenge, Cryptogram(hostChallenge_, cardChallenge_)});
}

bool SecureChannel::ExternalAuthenticate(const Bytes& data) {
    if (!initialized_ || data.size() != 16) return false;
    initialized_ = false;
    Bytes host = Cryptogram(cardChallenge_, hostChallenge_);
    if (!std::equal(host.begin(), host.end(), data.begin())) return false;
    Bytes m2 = Concat({Bytes{0x84, 0x82, 0x03, 0x00, 0x10}, host, Bytes{0x80, 0x00, 0x00}});
    Bytes c2 = CbcEncrypt(cipher_, sMac_, Bytes(), m2);
    Bytes mac = Slice(c2, c2.size() - BlockSize(cipher_), 8);
    if (!std::equal(mac.begin(), mac.end(), data.begin() + 8)) return false;
    counter_ = Concat({mac, Bytes(8, 0)});
    open_ = true;
    return true;
}

void SecureChannel::StepCounter() {
    size_t width = cipher_ == Cipher::Aes128 ? 16 : 8;
    for (size_t i = width; i-- > 0;) {
        if (++counter_[i] != 0) break;
    }
}

Bytes SecureChannel::MacWithCounter(const Bytes& input) const {
    if (cipher_ == Cipher::Tdes2) return RetailMac(sMac_, Slice(counter_, 0, 8), input);
    Bytes c = CbcEncrypt(cipher_, sMac_, counter_, input);
    return Slice(c, c.size() - 16, 8);
}

std::optional<CommandApdu> SecureChannel::Unwrap(const CommandApdu& wrapped) {
    if (!open_) return std::nullopt;
    size_t b = BlockSize(cipher_);
    Bytes dataObj, leObj, mac, dataValue, leValue;
    size_t pos = 0;
    while (pos < wrapped.data.size()) {
        uint8_t tag;
        Bytes value, whole;
        if (!ReadTlv(wrapped.data, pos, tag, value, whole)) {
            open_ = false;
            return std::nullopt;
        }
        if (tag == 0x87) {
            dataObj = whole;
            dataValue = value;
        } else if (tag == 0x97) {
            leObj = whole;
            leValue = value;
        } else if (tag == 0x8E) {
            mac = value;
        }
    }
    Bytes header{static_cast<uint8_t>(wrapped.cla), wrapped.ins, wrapped.p1, wrapped.p2, 0x80};
    header.resize(b, 0);
    Bytes input = header;
    if (!dataObj.empty() || !leObj.empty()) {
        Bytes objects = PadIso(Concat({dataObj, leObj}), b);
        input.insert(input.end(), objects.begin(), objects.end());
    }
    StepCounter();
    if (mac.size() != 8 || MacWithCounter(input) != mac) {
        open_ = false;
        return std::nullopt;
    }
    CommandApdu plain;
    plain.cla = static_cast<uint8_t>(wrapped.cla & ~0x0C);
    plain.ins = wrapped.ins;
    plain.p1 = wrapped.p1;
    plain.p2 = wrapped.p2;
    if (!dataValue.empty()) {
        if (dataValue[0] != 0x01 || (dataValue.size() - 1) % b != 0 || dataValue.size() == 1) {
            open_ = false;
            return std::nullopt;
        }
        Bytes dec = CbcDecrypt(cipher_, sEnc_, Bytes(), Slice(dataValue, 1, dataValue.size() - 1));
        size_t end = dec.size();
        while (end > 0 && dec[end - 1] == 0) --end;
        if (end == 0 || dec[end - 1] != 0x80) {
            open_ = false;
            return std::nullopt;
        }
        plain.data = Slice(dec, 0, end - 1);
    }
    if (leValue.size() == 1) {
        plain.le = leValue[0];
        plain.hasLe = true;
    } else if (leValue.size() == 2) {
        plain.le = (uint32_t(leValue[0]) << 8) | leValue[1];
        plain.hasLe = true;
    }
    return plain;
}

Bytes SecureChannel::WrapAnswer(const Bytes& plain) const {
    Bytes ct = CbcEncrypt(cipher_, sEnc_, Bytes(), PadIso(plain, BlockSize(cipher_)));
    size_t len = ct.size() + 1;
    Bytes out{0x87};
    if (len < 0x80) {
        out.push_back(static_cast<uint8_t>(len));
    } else if (len <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(len)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
    }
    out.push_back(0x01);
    out.insert(out.end(), ct.begin(), ct.end());
    return out;
}

}  // namespace sim
