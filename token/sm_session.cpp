#include "sm_session.h"

#include <cstring>
#include <vector>

#include "byte_order.h"
#include "secure_wipe.h"

namespace {

// data || 80 || 00.. up to a multiple of b.
std::vector<uint8_t> Pad(const uint8_t* data, size_t len, size_t b) {
    std::vector<uint8_t> out(data, data + len);
    out.push_back(0x80);
    while (out.size() % b) out.push_back(0);
    return out;
}

void AppendLength(std::vector<uint8_t>& out, size_t len) {
    if (len <= 126) {
        out.push_back(static_cast<uint8_t>(len));
    } else {
        out.push_back(0x82);
        AppendBe16(out, static_cast<uint16_t>(len));
    }
}

}  // namespace

SmSession::~SmSession() {
    SecureWipe(sEnc_, sizeof sEnc_);
    SecureWipe(sMac_, sizeof sMac_);
    SecureWipe(counter_, sizeof counter_);
}

void SmSession::SetState(const uint8_t* sEnc, const uint8_t* sMac, const uint8_t* counter) {
    std::memcpy(sEnc_, sEnc, 16);
    std::memcpy(sMac_, sMac, 16);
    std::memcpy(counter_, counter, 16);
}

RV SmSession::Open(const uint8_t* kEnc, const uint8_t* kMac, const uint8_t* hc, const uint8_t* r,
                   uint8_t* authData16) {
    const size_t b = BlockSizeOf(cipher_);
    const uint8_t* cardChallenge = r + 12;
    uint8_t derivation[16];
    std::memcpy(derivation, r + 16, 4);
    std::memcpy(derivation + 4, hc, 4);
    std::memcpy(derivation + 8, r + 12, 4);
    std::memcpy(derivation + 12, hc + 4, 4);
    if (!SmEcbEncrypt(cipher_, kEnc, derivation, 16, sEnc_) || !SmEcbEncrypt(cipher_, kMac, derivation, 16, sMac_))
        return CKR_DEVICE_ERROR;

    uint8_t pair[16];
    std::memcpy(pair, hc, 8);
    std::memcpy(pair + 8, cardChallenge, 8);
    std::vector<uint8_t> m = Pad(pair, 16, b), c(m.size());
    if (!SmCbcEncrypt(cipher_, sEnc_, nullptr, m.data(), m.size(), c.data())) return CKR_DEVICE_ERROR;
    if (std::memcmp(c.data() + 16, r + 20, 8) != 0) return CKR_GENERAL_ERROR;

    std::memcpy(pair, cardChallenge, 8);
    std::memcpy(pair + 8, hc, 8);
    m = Pad(pair, 16, b);
    if (!SmCbcEncrypt(cipher_, sEnc_, nullptr, m.data(), m.size(), c.data())) return CKR_DEVICE_ERROR;
    uint8_t m2[16] = {0x84, 0x82, 0x03, 0x00, 0x10};
    std::memcpy(m2 + 5, c.data() + 16, 8);
    m2[13] = 0x80;
    uint8_t c2[16];
    if (!SmCbcEncrypt(cipher_, sMac_, nullptr, m2, 16, c2)) return CKR_DEVICE_ERROR;
    std::memcpy(authData16, c.data() + 16, 8);
    std::memcpy(authData16 + 8, c2 + 16 - b, 8);
    std::memset(counter_, 0, sizeof counter_);
    std::memcpy(counter_, c2 + 16 - b, 8);
    return 0;
}

void SmSession::StepCounter() {
    size_t width = cipher_ == SessionCipher::Aes128 ? 16 : 8;
    for (size_t i = width; i-- > 0;) {
        if (++counter_[i] != 0) break;
    }
}

bool SmSession::Mac(const uint8_t* input, size_t len, uint8_t* mac8) const {
    if (cipher_ == SessionCipher::Tdes2) return SmRetailMac(sMac_, counter_, input, len, mac8);
    std::vector<uint8_t> c(len);
    if (!SmCbcEncrypt(cipher_, sMac_, counter_, input, len, c.data())) return false;
    std::memcpy(mac8, c.data() + len - 16, 8);
    return true;
}

bool SmSession::Wrap(const APDU& apdu, bool expectData, uint8_t* buffer, uint32_t cap, uint32_t* length) {
    const size_t b = BlockSizeOf(cipher_);
    if (apdu.data.size() != apdu.lc) return false;
    std::vector<uint8_t> objects;
    if (apdu.lc > 0) {
        std::vector<uint8_t> padded = Pad(apdu.data.data(), apdu.lc, b), ct(padded.size());
        if (!SmCbcEncrypt(cipher_, sEnc_, nullptr, padded.data(), padded.size(), ct.data())) return false;
        objects.push_back(0x87);
        AppendLength(objects, ct.size() + 1);
        objects.push_back(0x01);
        objects.insert(objects.end(), ct.begin(), ct.end());
    }
    bool hasLe = apdu.le > 0 || expectData;
    if (hasLe) {
        objects.push_back(0x97);
        if (apdu.le < 128) {
            objects.insert(objects.end(), {0x01, static_cast<uint8_t>(apdu.le)});
        } else {
            objects.insert(objects.end(), {0x02, static_cast<uint8_t>(apdu.le >> 8), static_cast<uint8_t>(apdu.le)});
        }
    }
    std::vector<uint8_t> macInput(b, 0);
    macInput[0] = static_cast<uint8_t>(apdu.cla);
    macInput[1] = static_cast<uint8_t>(apdu.ins);
    macInput[2] = static_cast<uint8_t>(apdu.p1);
    macInput[3] = static_cast<uint8_t>(apdu.p2);
    macInput[4] = 0x80;
    if (!objects.empty()) {
        std::vector<uint8_t> tail = Pad(objects.data(), objects.size(), b);
        macInput.insert(macInput.end(), tail.begin(), tail.end());
    }
    StepCounter();
    uint8_t mac[8];
    if (!Mac(macInput.data(), macInput.size(), mac)) return false;
    objects.insert(objects.end(), {0x8E, 0x08});
    objects.insert(objects.end(), mac, mac + 8);

    std::vector<uint8_t> out{static_cast<uint8_t>(apdu.cla), static_cast<uint8_t>(apdu.ins),
                             static_cast<uint8_t>(apdu.p1), static_cast<uint8_t>(apdu.p2)};
    size_t n = objects.size();
    if (n <= 255) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.insert(out.end(), {static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    out.insert(out.end(), objects.begin(), objects.end());
    if (hasLe) {
        if (apdu.le < 128) {
            out.push_back(static_cast<uint8_t>(apdu.le));
        } else {
            AppendBe16(out, static_cast<uint16_t>(apdu.le));
        }
    }
    if (out.size() > cap) return false;
    std::memcpy(buffer, out.data(), out.size());
    *length = static_cast<uint32_t>(out.size());
    return true;
}

RV SmSession::Unwrap(const uint8_t* a, uint32_t length, uint8_t* out, uint32_t cap, uint32_t* outLength) const {
    const size_t b = BlockSizeOf(cipher_);
    if (length < 3 || a[0] != 0x87) return CKR_DEVICE_ERROR;
    size_t pos = 1, len = a[pos++];
    if (len == 0x81) {
        len = a[pos++];
    } else if (len == 0x82) {
        if (length < 4) return CKR_DEVICE_ERROR;
        len = LoadBe16(a + pos);
        pos += 2;
    } else if (len > 0x80) {
        return CKR_DEVICE_ERROR;
    }
    // The object must fit the answer and hold the indicator and whole blocks.
    if (len < 1 + b || pos + len > length || a[pos] != 0x01 || (len - 1) % b) return CKR_DEVICE_ERROR;
    std::vector<uint8_t> plain(len - 1);
    if (!SmCbcDecrypt(cipher_, sEnc_, nullptr, a + pos + 1, len - 1, plain.data())) return CKR_DEVICE_ERROR;
    size_t end = plain.size();
    while (end > 0 && plain[end - 1] == 0) --end;
    RV rv = 0;
    if (end <= 1 || plain[end - 1] != 0x80 || end - 1 > cap) {
        rv = CKR_DEVICE_ERROR;
    } else {
        std::memcpy(out, plain.data(), end - 1);
        *outLength = static_cast<uint32_t>(end - 1);
    }
    SecureWipe(plain);
    return rv;
}
