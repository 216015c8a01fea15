// The card operating system of the virtual token: one application directory
// of transparent and key files, GET DATA, GET CHALLENGE, two PIN keys,
// secret keys, the key and cryptographic commands and the secure channel.
// Process() takes one command APDU and returns data || SW.
#ifndef KVSIM_CARD_H
#define KVSIM_CARD_H

#include <functional>
#include <optional>

#include "command_apdu.h"
#include "secure_channel.h"
#include "token_state.h"

namespace sim {

struct Answer {
    Bytes data;
    uint16_t sw = 0x9000;
};

class Card {
public:
    // onChange runs after every change to the persistent state.
    Card(TokenState& state, std::function<void()> onChange);

    Bytes Process(const Bytes& command);
    // Another application on the same token: a plain command that bypasses
    // secure messaging and access conditions and leaves this card's selection
    // and channel alone.
    Bytes ProcessAsOtherApp(const Bytes& command);

    // Power loss: channel closed, PINs unverified, application deselected;
    // until it is selected again, commands answer 6985.
    void Reset();
    // The next n wrapped commands answer 6988 and close the channel.
    void FailNextMacs(int n) { macFailures_ = n; }
    int PendingMacFailures() const { return macFailures_; }
    // Test hooks: fixed card challenge and card data for the next opening.
    void SetNextChannelValues(const Bytes& cardData12, const Bytes& cardChallenge8);

    // Sees every executed command in plain form with its answer.
    void SetObserver(std::function<void(const CommandApdu&, const Answer&)> observer) {
        observer_ = std::move(observer);
    }

    SecureChannel& Channel() { return channel_; }
    TokenState& State() { return state_; }
    bool UserVerified() const { return verified_[0]; }

private:
    // What MANAGE SECURITY ENVIRONMENT set, one reference per use: an
    // algorithm byte with a key file (81 02) or a secret key number (83 01).
    struct KeyReference {
        uint8_t algorithm = 0;
        uint16_t fid = 0;
        uint8_t keyNumber = 0;
    };
    struct SecurityEnvironment {
        std::optional<KeyReference> signature;  // 41 B6, also names the hash
        std::optional<KeyReference> decipher;   // 41 B8
        std::optional<KeyReference> encipher;   // 81 B8
        Bytes hash;                              // kept by PSO HASH for the next signature
    };

    Answer Execute(const CommandApdu& c);
    Answer Dispatch(const CommandApdu& c);
    Answer Select(const CommandApdu& c);
    Answer ReadBinary(const CommandApdu& c);
    Answer UpdateBinary(const CommandApdu& c);
    Answer CreateFile(const CommandApdu& c);
    Answer DeleteFile(const CommandApdu& c);
    Answer ListFiles();
    Answer GetData(const CommandApdu& c);
    Answer GetChallenge(const CommandApdu& c);
    Answer InitializeUpdate(const CommandApdu& c);
    Answer ExternalAuthenticate(const CommandApdu& c);
    Answer VerifyPin(const CommandApdu& c);
    Answer UpdatePinKey(const CommandApdu& c);
    // Key files and key material (card_keys.cpp).
    Answer GenerateKeyPair(const CommandApdu& c);
    Answer WriteKeyItem(const CommandApdu& c, bool rsa);
    Answer ReadPublicKey(const CommandApdu& c);
    Answer LoadSecretKey(const CommandApdu& c);
    // Security environment and operations (card_pso.cpp).
    Answer ManageSecurityEnvironment(const CommandApdu& c);
    Answer PerformSecurityOperation(const CommandApdu& c);
    Answer Hash(const CommandApdu& c, bool continued);
    Answer ComputeSignature(const CommandApdu& c);
    Answer Decipher(const CommandApdu& c);
    Answer Encipher(const CommandApdu& c);
    Answer SecretKeyOperation(const KeyReference& ref, const Bytes& in, bool encrypt);
    Answer Hmac(const CommandApdu& c);

    // A file of the application directory, or null.
    ElementaryFile* FileInApplication(uint16_t fid);
    // 9000 with the private key file the reference names, or why it cannot be used.
    uint16_t UsablePrivateKey(const KeyReference& ref, const ElementaryFile*& file);
    // Private and secret keys are written and used after the user PIN.
    bool MayUseSecrets() const { return privileged_ || verified_[0]; }
    bool Allowed(uint8_t condition) const;
    bool PlainAllowedDuringChannel(const CommandApdu& c) const;
    static bool SelectsDirectory(const CommandApdu& c);
    void Changed(bool bumpCounter = true);
    Bytes Finish(const Answer& a, bool wrap);

    TokenState& state_;
    std::function<void()> onChange_;
    std::function<void(const CommandApdu&, const Answer&)> observer_;
    SecureChannel channel_;
    enum class Df { None, Master, Application } df_ = Df::Application;
    std::optional<uint16_t> currentEf_;
    std::optional<uint16_t> otherAppEf_;  // the other application's selection
    bool needSelect_ = false;
    bool verified_[2] = {false, false};
    bool privileged_ = false;
    bool commandWrapped_ = false;  // the command being run came in secure messaging
    SecurityEnvironment env_;
    SecurityEnvironment otherAppEnv_;
    Bytes pendingChallenge_;
    int macFailures_ = 0;
    Bytes nextCardData_, nextCardChallenge_;
};

}  // namespace sim

#endif
