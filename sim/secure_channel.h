// Card side of the secure channel: opening by challenge-response, command
// MAC and counter checks, decryption of command data, encryption of answers.
#ifndef KVSIM_SECURE_CHANNEL_H
#define KVSIM_SECURE_CHANNEL_H

#include <optional>

#include "command_apdu.h"
#include "sim_crypto.h"

namespace sim {

class SecureChannel {
public:
    // INITIALIZE UPDATE: derives the session keys; returns the 28-byte answer
    // (12 bytes of card data, card challenge, card cryptogram). The channel
    // stays closed until ExternalAuthenticate succeeds.
    Bytes InitializeUpdate(Cipher cipher, const Bytes& kEnc, const Bytes& kMac, const Bytes& hostChallenge,
                           const Bytes& cardData12, const Bytes& cardChallenge);
    // EXTERNAL AUTHENTICATE data (host cryptogram || MAC); opens on success.
    bool ExternalAuthenticate(const Bytes& data);

    bool IsOpen() const { return open_; }
    void Close() { open_ = false; }

    // Checks the MAC with the next counter value and recovers the plain
    // command; nullopt (and the channel closed) on any mismatch.
    std::optional<CommandApdu> Unwrap(const CommandApdu& wrapped);
    // 87 L 01 || CBC(S_ENC, pad(plain)).
    Bytes WrapAnswer(const Bytes& plain) const;

    const Bytes& SessionEnc() const { return sEnc_; }
    const Bytes& SessionMac() const { return sMac_; }
    const Bytes& Counter() const { return counter_; }

private:
    Bytes Cryptogram(const Bytes& first, const Bytes& second) const;
    Bytes MacWithCounter(const Bytes& input) const;
    void StepCounter();

    Cipher cipher_ = Cipher::Aes128;
    Bytes sEnc_, sMac_, counter_ = Bytes(16, 0);
    Bytes hostChallenge_, cardChallenge_;
    bool initialized_ = false;
    bool open_ = false;
};

}  // namespace sim

#endif
