// CTokenTarn: the APDU exchange with secure messaging, channel opening and
// re-selection.
#include <cstring>

#include "auth_manager_tarn.h"
#include "kv_provisioning.h"
#include "secure_wipe.h"
#include "status_words.h"
#include "token_tarn.h"

RV CTokenTarn::CommandResult(uint16_t sw) {
    if (sw == kSwExchange) return CKR_ARGUMENTS_BAD;
    return GetDevErr(sw);
}

RV CTokenTarn::im_BuildSafeAPDU(const APDU& apdu, uint8_t* buffer, uint32_t* length, bool expectData) {
    APDU out = apdu;
    if (secureMessaging_) out.cla |= 0x0C;
    switch (out.cla & 0x0C) {
        case 0x00:
        case 0x04:
            return Build_Plaintext_APDU(out, buffer, kBuffer, length) ? 0 : CKR_ARGUMENTS_BAD;
        case 0x0C:
            return session_.Wrap(out, expectData, buffer, kBuffer, length) ? 0 : CKR_ARGUMENTS_BAD;
        default:
            return CKR_ARGUMENTS_BAD;
    }
}

uint16_t CTokenTarn::im_TransmitAPDU(const APDU& apdu, uint8_t* out, uint32_t* outLength, bool expectData) {
    if (Lock() != 0) return kSwLockOrConnect;
    struct Unlocker {
        CTokenTarn* token;
        ~Unlocker() { token->Unlock(); }
    } unlocker{this};
    if (ConnectAndSetenv() != 0) {
        connected_ = false;
        return kSwLockOrConnect;
    }
    bool reselectAllowed = true;
    int channelRetries = 3;
    uint8_t command[kBuffer];
    uint8_t response[kBuffer];
    for (;;) {
        uint32_t commandLen = 0;
        if (im_BuildSafeAPDU(apdu, command, &commandLen, expectData) != 0) return kSwExchange;
        uint32_t responseLen = sizeof response;
        uint8_t sw1 = 0, sw2 = 0;
        RV rv = device_->Transmit(command, commandLen, response, &responseLen, &sw1, &sw2);
        uint16_t sw = static_cast<uint16_t>(sw1 << 8 | sw2);
        if (rv == 0 && sw == 0x6985 && reselectAllowed && ready_) {
            reselectAllowed = false;
            if (ReSelectADF() == 0) continue;
            return kSwExchange;
        }
        if (rv != 0) return kSwExchange;
        if (sw == 0x6988 && secureMessaging_ && channelRetries > 0) {
            --channelRetries;
            if (GetInitKey(kvprov::kStaticEncKey, kvprov::kStaticMacKey) == 0) continue;
            return kSwLockOrConnect;
        }
        if (outLength) {
            uint32_t capacity = *outLength;
            *outLength = 0;
            if (sw == 0x9000 && out) {
                if (secureMessaging_) {
                    if (session_.Unwrap(response, responseLen, out, capacity, outLength) != 0) return kSwLockOrConnect;
                } else {
                    if (responseLen > capacity) return kSwLockOrConnect;
                    std::memcpy(out, response, responseLen);
                    *outLength = responseLen;
                }
            }
        }
        return sw;
    }
}

RV CTokenTarn::GetInitKey(const uint8_t* kEnc, const uint8_t* kMac) {
    const bool remembered = secureMessaging_;
    secureMessaging_ = false;
    struct Restore {
        CTokenTarn* token;
        bool sm;
        ~Restore() { token->secureMessaging_ = sm; }
    } restore{this, remembered};

    uint8_t answer[64];
    uint32_t answerLen = sizeof answer;
    uint16_t sw = im_TransmitAPDU(APDU(0x80, 0x50, 0x00, 0x00, 8, kvprov::kHostChallenge), answer, &answerLen, false);
    if (sw != 0x9000) return CommandResult(sw);
    if (answerLen != 28) return CKR_DEVICE_ERROR;
    uint8_t auth[16];
    RV rv = session_.Open(kEnc, kMac, kvprov::kHostChallenge, answer, auth);
    if (rv) return rv;
    sw = im_TransmitAPDU(APDU(0x84, 0x82, 0x03, 0x00, 16, auth), nullptr, nullptr, false);
    return CommandResult(sw);
}

RV CTokenTarn::ReSelectADF() {
    // Not ready while re-selecting (no nested re-selection); ready again
    // afterwards whatever happened, so a later 6985 is recovered as well.
    ready_ = false;
    struct Ready {
        CTokenTarn* token;
        ~Ready() { token->ready_ = true; }
    } ready{this};
    if (secureMessaging_) {
        RV rv = GetInitKey(kvprov::kStaticEncKey, kvprov::kStaticMacKey);
        if (rv) return rv;
    }
    RV rv = SelectFile(FID_ADF);
    if (rv) return rv;
    // Log in again with the cached PIN value, when there is one.
    if (IsLogIn() && (cachedPinLen_ == 16 || cachedPinLen_ == 24)) {
        AuthManagerTarn relogin(this);
        uint32_t ref = userLoggedIn_ ? kRefUser : kRefSo;
        uint8_t pin[24];
        GetCachedPin(pin);
        relogin.Authenticate(ref, pin, cachedPinLen_);
        SecureWipe(pin, sizeof pin);
    }
    return 0;
}
