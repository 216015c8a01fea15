// Wrapped commands as the virtual token's secure channel unwraps them: the
// data (87), Le (97) and MAC (8E) objects, the MAC over the counter, the
// decryption of the data and its padding. The harness opens the channel
// with the library's own session code, and again whenever the card closed it.
//
// Input: a cipher byte (bit 0: AES-128, else two-key triple DES), then
// commands until the input ends, each a form byte and what the form takes:
// 0 - a frame holding a plain command (CLA INS P1 P2 Le, then data) that the
//     library wraps;
// 1 - a frame sent as it is;
// 2 - CLA INS P1 P2 (4 bytes), then two frames: the values of the data
//     object and of the Le object, which the harness puts together and MACs
//     correctly without looking at them (an empty value leaves its object out).
#include "card.h"
#include "fuzz_input.h"
#include "kv_provisioning.h"
#include "personalised_state.h"
#include "sm_session.h"

namespace {

using kvfuzz::Bytes;
using kvfuzz::FuzzInput;

class Channel {
public:
    explicit Channel(sim::Cipher cipher)
        : state_(kvfuzz::PersonalisedState(true, cipher)), card_(state_, nullptr), cipher_(cipher) {
        session_.SetCipher(cipher == sim::Cipher::Aes128 ? SessionCipher::Aes128 : SessionCipher::Tdes2);
    }

    sim::Card& Card() { return card_; }

    void OpenIfClosed() {
        if (card_.Channel().IsOpen()) return;
        card_.SetNextChannelValues(Bytes(12, 0x11), Bytes(8, 0x22));
        Bytes command{0x80, 0x50, 0x00, 0x00, 0x08};
        command.insert(command.end(), kvprov::kHostChallenge, kvprov::kHostChallenge + 8);
        const Bytes answer = card_.Process(command);
        uint8_t auth[16];
        kvfuzz::Check(answer.size() == 30 &&
                          session_.Open(kvprov::kStaticEncKey, kvprov::kStaticMacKey, kvprov::kHostChallenge,
                                        answer.data(), auth) == 0,
                      "the card's channel answer is refused");
        command = {0x84, 0x82, 0x03, 0x00, 0x10};
        command.insert(command.end(), auth, auth + 16);
        card_.Process(command);
        kvfuzz::Check(card_.Channel().IsOpen(), "the channel does not open");
    }

    // The library's wrapping of a plain command, with the card's counter.
    Bytes Wrapped(const Bytes& plain) {
        Bytes p = plain;
        p.resize(std::max<size_t>(p.size(), 5), 0);
        const uint32_t lc = static_cast<uint32_t>(std::min<size_t>(p.size() - 5, 0xFF));
        APDU apdu(p[0] | 0x0C, p[1], p[2], p[3], lc, lc ? p.data() + 5 : nullptr, p[4]);
        const sim::SecureChannel& c = card_.Channel();
        session_.SetState(c.SessionEnc().data(), c.SessionMac().data(), c.Counter().data());
        uint8_t out[4096];
        uint32_t length = 0;
        if (!session_.Wrap(apdu, false, out, sizeof out, &length)) return Bytes();
        return Bytes(out, out + length);
    }

    // Objects as given, with the MAC the card expects for them.
    Bytes Maced(const Bytes& header, const Bytes& dataValue, const Bytes& leValue) {
        Bytes objects;
        AppendObject(objects, 0x87, dataValue);
        AppendObject(objects, 0x97, leValue);
        const size_t b = sim::BlockSize(cipher_);
        Bytes input{static_cast<uint8_t>(header[0] | 0x0C), header[1], header[2], header[3], 0x80};
        input.resize(b, 0);
        if (!objects.empty()) {
            const Bytes padded = sim::PadIso(objects, b);
            input.insert(input.end(), padded.begin(), padded.end());
        }
        Bytes counter = card_.Channel().Counter();
        for (size_t i = cipher_ == sim::Cipher::Aes128 ? 16 : 8; i-- > 0;) {
            if (++counter[i] != 0) break;
        }
        const sim::Bytes& key = card_.Channel().SessionMac();
        Bytes mac;
        if (cipher_ == sim::Cipher::Tdes2) {
            mac = sim::RetailMac(key, Bytes(counter.begin(), counter.begin() + 8), input);
        } else {
            const Bytes c = sim::CbcEncrypt(cipher_, key, counter, input);
            mac.assign(c.end() - 16, c.end() - 8);
        }
        objects.insert(objects.end(), {0x8E, 0x08});
        objects.insert(objects.end(), mac.begin(), mac.end());
        Bytes command{static_cast<uint8_t>(header[0] | 0x0C), header[1], header[2], header[3]};
        if (objects.size() <= 0xFF) {
            command.push_back(static_cast<uint8_t>(objects.size()));
        } else {
            command.insert(command.end(),
                           {0x00, static_cast<uint8_t>(objects.size() >> 8), static_cast<uint8_t>(objects.size())});
        }
        command.insert(command.end(), objects.begin(), objects.end());
        return command;
    }

private:
    static void AppendObject(Bytes& out, uint8_t tag, const Bytes& value) {
        if (value.empty()) return;
        out.push_back(tag);
        const size_t n = value.size();
        if (n < 0x80) {
            out.push_back(static_cast<uint8_t>(n));
        } else if (n <= 0xFF) {
            out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
        } else {
            out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
        }
        out.insert(out.end(), value.begin(), value.end());
    }

    sim::TokenState state_;
    sim::Card card_;
    sim::Cipher cipher_;
    SmSession session_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    Channel channel(in.Bit() ? sim::Cipher::Aes128 : sim::Cipher::Tdes2);
    for (int steps = 0; steps < 32 && !in.Empty(); ++steps) {
        channel.OpenIfClosed();
        const uint8_t form = in.Byte() % 3;
        Bytes command;
        if (form == 0) {
            command = channel.Wrapped(in.Frame());
        } else if (form == 1) {
            command = in.Frame();
        } else {
            Bytes header = in.Take(4);
            header.resize(4, 0);
            const Bytes dataValue = in.Frame();
            command = channel.Maced(header, dataValue, in.Frame());
        }
        const sim::Bytes answer = channel.Card().Process(command);
        kvfuzz::Check(answer.size() >= 2, "an answer without a status word");
    }
    return 0;
}
