// Channel opening and PIN keys of the card.
#include "card.h"

namespace sim {

Answer Card::InitializeUpdate(const CommandApdu& c) {
    if (c.data.size() != 8) return {{}, 0x6700};
    Bytes data12 = nextCardData_.size() == 12 ? nextCardData_ : RandomBytes(12);
    Bytes challenge = nextCardChallenge_.size() == 8 ? nextCardChallenge_ : RandomBytes(8);
    nextCardData_.clear();
    nextCardChallenge_.clear();
    return {channel_.InitializeUpdate(state_.cipher, state_.kEnc, state_.kMac, c.data, data12, challenge), 0x9000};
}

Answer Card::ExternalAuthenticate(const CommandApdu& c) {
    if (c.p1 == 0x03) return {{}, channel_.ExternalAuthenticate(c.data) ? uint16_t(0x9000) : uint16_t(0x6300)};
    if (c.p1 == 0x01) return VerifyPin(c);
    return {{}, 0x6A86};
}

// 00 82 01 8k: with 8 bytes, the pending challenge encrypted under PIN key k;
// without data, a probe of the retry counter.
Answer Card::VerifyPin(const CommandApdu& c) {
    unsigned k = c.p2 & 0x7F;
    if (!(c.p2 & 0x80) || k < 1 || k > 2) return {{}, 0x6A86};
    PinKey& pin = state_.pins[k - 1];
    Bytes challenge = pendingChallenge_;
    pendingChallenge_.clear();
    if (challenge.empty()) return {{}, 0x6984};
    if (pin.Left() == 0) return {{}, 0x6983};
    if (c.data.empty()) return {{}, static_cast<uint16_t>(0x63C0 | pin.Left())};
    if (c.data.size() != 8) return {{}, 0x6700};
    Bytes expected = CbcEncrypt(Cipher::Tdes2, pin.value, Bytes(), challenge);
    if (expected == c.data) {
        verified_[k - 1] = true;
        if (pin.Left() != pin.Max()) {
            pin.retry = static_cast<uint8_t>((pin.Max() << 4) | pin.Max());
            Changed(false);
        }
        return {{}, 0x9000};
    }
    verified_[k - 1] = false;
    pin.retry = static_cast<uint8_t>((pin.Max() << 4) | (pin.Left() - 1));
    Changed(false);
    return {{}, pin.Left() == 0 ? uint16_t(0x6983) : static_cast<uint16_t>(0x63C0 | pin.Left())};
}

// 80 E5 04 k: retry byte || new key value. Allowed to the security officer,
// and to the key's own holder.
Answer Card::UpdatePinKey(const CommandApdu& c) {
    unsigned k = c.p2;
    if (c.p1 != 0x04 || k < 1 || k > 2) return {{}, 0x6A86};
    if (c.data.size() != 17 && c.data.size() != 25) return {{}, 0x6700};
    if (!privileged_ && !verified_[1] && !verified_[k - 1]) return {{}, 0x6982};
    PinKey& pin = state_.pins[k - 1];
    pin.retry = c.data[0];
    pin.value.assign(c.data.begin() + 1, c.data.end());
    Changed();
    return {{}, 0x9000};
}

}  // namespace sim
