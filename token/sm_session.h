// Session state of the secure channel (keys, counter) and the wrapping of
// commands and unwrapping of answers.
#ifndef KV_TOKEN_SM_SESSION_H
#define KV_TOKEN_SM_SESSION_H

#include <cstdint>

#include "apdu.h"
#include "sm_crypto.h"

class SmSession {
public:
    SmSession() = default;
    ~SmSession();
    SmSession(const SmSession&) = delete;
    SmSession& operator=(const SmSession&) = delete;

    void SetCipher(SessionCipher c) { cipher_ = c; }
    SessionCipher Cipher() const { return cipher_; }

    // From the 28-byte INITIALIZE UPDATE answer: derives the session keys,
    // checks the card cryptogram and writes the 16 bytes of EXTERNAL
    // AUTHENTICATE (host cryptogram || MAC); sets the counter. 0, or
    // CKR_GENERAL_ERROR on a cryptogram mismatch, CKR_DEVICE_ERROR otherwise.
    RV Open(const uint8_t* kEnc, const uint8_t* kMac, const uint8_t* hostChallenge, const uint8_t* answer28,
            uint8_t* authData16);

    // Wrapped form of apdu (its CLA already carries 0x0C); advances the
    // counter. False when it would not fit in cap or data does not hold
    // exactly lc bytes.
    bool Wrap(const APDU& apdu, bool expectData, uint8_t* buffer, uint32_t cap, uint32_t* length);
    // Plain data of a 9000 answer; CKR_DEVICE_ERROR when malformed or
    // larger than cap.
    RV Unwrap(const uint8_t* answer, uint32_t length, uint8_t* out, uint32_t cap, uint32_t* outLength) const;

    const uint8_t* EncKey() const { return sEnc_; }
    const uint8_t* MacKey() const { return sMac_; }
    const uint8_t* Counter() const { return counter_; }
    void SetState(const uint8_t* sEnc, const uint8_t* sMac, const uint8_t* counter);

private:
    bool Mac(const uint8_t* input, size_t len, uint8_t* mac8) const;
    void StepCounter();

    SessionCipher cipher_ = SessionCipher::Aes128;
    uint8_t sEnc_[16] = {};
    uint8_t sMac_[16] = {};
    uint8_t counter_[16] = {};
};

#endif
