// Secure-messaging answers as the library unwraps them (87 L 01 ||
// ciphertext), and the channel-opening answer whose card cryptogram the
// library checks.
//
// Input: a mode byte (bit 0: AES-128, else two-key triple DES; bit 1: the
// harness encrypts the payload itself; bits 2-3 when it does: length in the
// short, 81 or 82 form; bit 4: first open a channel with the first 28 payload
// bytes as the card's answer), the caller's buffer size (2 bytes), 48 bytes of
// session state (encryption key, MAC key, counter), then the payload: the
// whole answer, or the plain bytes that the harness zero-fills to whole
// blocks and encrypts under the session's encryption key.
#include <algorithm>

#include "fuzz_input.h"
#include "kv_provisioning.h"
#include "sm_session.h"

namespace {

using kvfuzz::Bytes;

void AppendLength(Bytes& out, size_t len, unsigned form) {
    if (form == 0 && len < 0x80) {
        out.push_back(static_cast<uint8_t>(len));
    } else if (form <= 1 && len <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(len)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
    }
}

// The data an answer of these plain blocks carries: everything before the
// last 80 that only zeros follow; false when there is no such 80 or no data.
bool PaddedData(const Bytes& plain, size_t& dataLen) {
    size_t end = plain.size();
    while (end > 0 && plain[end - 1] == 0) --end;
    if (end < 2 || plain[end - 1] != 0x80) return false;
    dataLen = end - 1;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    const uint32_t capacity = in.U16() % 4200;
    const Bytes state = in.Take(48);
    Bytes full(48, 0);
    std::copy(state.begin(), state.end(), full.begin());
    Bytes payload = in.Rest();
    if (payload.size() > 0xF000) return 0;  // beyond what a length field can carry

    SmSession session;
    session.SetCipher(mode & 1 ? SessionCipher::Aes128 : SessionCipher::Tdes2);
    session.SetState(full.data(), full.data() + 16, full.data() + 32);
    if (mode & 0x10) {
        Bytes answer(28, 0);
        std::copy_n(payload.begin(), std::min<size_t>(28, payload.size()), answer.begin());
        uint8_t auth[16];
        session.Open(full.data(), full.data() + 16, kvprov::kHostChallenge, answer.data(), auth);
    }

    const size_t block = BlockSizeOf(session.Cipher());
    Bytes answer = payload;
    if (mode & 2) {
        payload.resize((payload.size() + block - 1) / block * block, 0);
        Bytes cipherText(payload.size());
        if (!payload.empty() && !SmCbcEncrypt(session.Cipher(), session.EncKey(), nullptr, payload.data(),
                                              payload.size(), cipherText.data()))
            return 0;
        answer = {0x87};
        AppendLength(answer, cipherText.size() + 1, (mode >> 2) & 3);
        answer.push_back(0x01);
        answer.insert(answer.end(), cipherText.begin(), cipherText.end());
    }

    Bytes out(capacity);
    uint32_t outLength = 0;
    RV rv = session.Unwrap(answer.data(), static_cast<uint32_t>(answer.size()), out.data(), capacity, &outLength);
    if (rv == 0) kvfuzz::Check(outLength <= capacity, "unwrapped data longer than the buffer");
    if (mode & 2) {
        size_t dataLen = 0;
        const bool wellFormed = PaddedData(payload, dataLen) && dataLen <= capacity;
        kvfuzz::Check((rv == 0) == wellFormed, "a well-padded answer is refused, or a badly padded one taken");
        if (rv == 0)
            kvfuzz::Check(outLength == dataLen && std::equal(out.begin(), out.begin() + dataLen, payload.begin()),
                          "unwrapped data differ from what was encrypted");
    }
    return 0;
}
