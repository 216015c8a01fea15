// CTokenTarn: PIN commands, retry counters and the PIN flags of the token.
#include <cstring>

#include "auth_manager_tarn.h"
#include "secure_wipe.h"
#include "sm_crypto.h"
#include "token_tarn.h"

namespace {

constexpr uint16_t kFidTries = 0x9F00;

bool IsTriesStatus(uint16_t sw) { return (sw & 0xFFF0) == 0x63C0 || sw == 0x6983; }
uint8_t KeyNumber(uint32_t ref) { return static_cast<uint8_t>(ref & 0xFF); }

struct TokenLock {
    explicit TokenLock(CTokenTarn& t) : token(t), rv(t.Lock()) {}
    ~TokenLock() {
        if (rv == 0) token.Unlock();
    }
    CTokenTarn& token;
    RV rv;
};

}  // namespace

IAuthManager* CTokenTarn::GetAuthManager() {
    if (!authManager_) authManager_ = std::make_unique<AuthManagerTarn>(this);
    return authManager_.get();
}

uint16_t CTokenTarn::cmdGetPinErrCount(uint8_t p2, uint8_t* tries) {
    TokenLock lock(*this);
    if (lock.rv) return kSwLockOrConnect;
    uint8_t challenge[8];
    if (GenerateRandom(challenge, sizeof challenge) != 0) return kSwLockOrConnect;
    uint16_t sw = im_TransmitAPDU(apdu::PinAuthenticate(p2, nullptr, 0), nullptr, nullptr, false);
    if (tries && (sw & 0xFFF0) == 0x63C0) *tries = sw & 0x0F;
    return sw;
}

uint16_t CTokenTarn::cmdExternalAuth(uint8_t p2, const uint8_t* value24) {
    TokenLock lock(*this);
    if (lock.rv) return kSwLockOrConnect;
    uint8_t challenge[8], response[8];
    if (GenerateRandom(challenge, sizeof challenge) != 0) return kSwLockOrConnect;
    if (!TdesCbcEncrypt(value24, 24, challenge, 8, response)) return kSwEncoding;
    uint16_t sw = im_TransmitAPDU(apdu::PinAuthenticate(p2, response, 8), nullptr, nullptr, false);
    SecureWipe(response, sizeof response);
    return sw;
}

RV CTokenTarn::PresentCachedPin() {
    if (cachedPinLen_ != 16 && cachedPinLen_ != 24) return 0;
    const uint8_t p2 = static_cast<uint8_t>(KeyNumber(userLoggedIn_ ? kRefUser : kRefSo) | 0x80);
    uint8_t pin[24], challenge[8], response[8];
    GetCachedPin(pin);
    RV rv = GenerateRandom(challenge, sizeof challenge);
    const bool encrypted = rv == 0 && TdesCbcEncrypt(pin, cachedPinLen_, challenge, 8, response);
    SecureWipe(pin, sizeof pin);
    if (rv) return rv;
    if (!encrypted) return CKR_GENERAL_ERROR;
    uint16_t sw = im_TransmitAPDU(apdu::PinAuthenticate(p2, response, 8), nullptr, nullptr, false);
    SecureWipe(response, sizeof response);
    // Refused (the PIN was changed elsewhere): this object is no longer logged in.
    if (sw != 0x9000 && !TransferFailed(sw)) userLoggedIn_ = soLoggedIn_ = false;
    return CommandResult(sw);
}

uint16_t CTokenTarn::PinFailureStatus(uint16_t sw, uint8_t p2) {
    if (IsTriesStatus(sw) || TransferFailed(sw)) return sw;
    uint16_t probe = cmdGetPinErrCount(p2, nullptr);
    // Only a tries status counts; anything else must not read as success,
    // and a probe that never reached the token says nothing about the PIN.
    return IsTriesStatus(probe) || TransferFailed(probe) ? probe : 0x6300;
}

RV CTokenTarn::VerifyPIN(uint32_t ref, const uint8_t* data, uint32_t length) {
    userLoggedIn_ = soLoggedIn_ = false;
    const uint8_t k = KeyNumber(ref);
    const uint8_t p2 = static_cast<uint8_t>(k | 0x80);
    uint16_t status = im_TransmitAPDU(apdu::PinAuthenticate(p2, length ? data : nullptr, length), nullptr,
                                      nullptr, false);
    if (status != 0x9000) status = PinFailureStatus(status, p2);
    if (TransferFailed(status)) return CommandResult(status);  // the PIN flags stay as they are
    RV rv = 0;
    if (k == 1) rv = SetUserTokenInfoFlag(status, false);
    if (k == 2) rv = SetSoTokenInfoFlag(status, false);
    // Logged in only once the PIN flags agree: a failed update is a failed login.
    if (status == 0x9000 && rv == 0) {
        userLoggedIn_ = k == 1;
        soLoggedIn_ = k == 2;
    }
    return rv;
}

RV CTokenTarn::UpdateTokenFlags(uint16_t status, bool changed, bool user) {
    uint32_t flags = 0;
    RV rv = GetTokenInfoFlag(&flags);
    if (rv) return rv;
    const uint32_t countLow = user ? CKF_USER_PIN_COUNT_LOW : CKF_SO_PIN_COUNT_LOW;
    const uint32_t finalTry = user ? CKF_USER_PIN_FINAL_TRY : CKF_SO_PIN_FINAL_TRY;
    const uint32_t locked = user ? CKF_USER_PIN_LOCKED : CKF_SO_PIN_LOCKED;
    const uint32_t toBeChanged = user ? CKF_USER_PIN_TO_BE_CHANGED : CKF_SO_PIN_TO_BE_CHANGED;
    uint32_t next = flags;
    if (status == 0x6983 || status == 0x63C0) {
        next = (next & ~(countLow | finalTry)) | locked;
    } else if (status == 0x63C1) {
        next = (next & ~locked) | countLow | finalTry;
    } else if ((status & 0xFFF0) == 0x63C0) {
        next = (next & ~locked) | countLow;
    } else if (status == 0x9000) {
        next &= ~(countLow | finalTry | locked);
        if (changed) {
            next &= ~toBeChanged;
            next |= user ? 0x40C : 0x404;
        }
    } else {
        return PinStatusRv(status);
    }
    if (next != flags) {
        rv = SetTokenInfoFlag(next);
        if (rv) return rv;
    }
    return PinStatusRv(status);
}

RV CTokenTarn::SetUserTokenInfoFlag(uint16_t status, bool changed) { return UpdateTokenFlags(status, changed, true); }

RV CTokenTarn::SetSoTokenInfoFlag(uint16_t status, bool changed) { return UpdateTokenFlags(status, changed, false); }

RV CTokenTarn::ChangePIN(uint32_t ref, const uint8_t* oldValue, uint32_t oldLength, const uint8_t* newValue,
                         uint32_t newLength) {
    if (!oldValue || !newValue || oldLength != 24 || newLength != 24) return CKR_ARGUMENTS_BAD;
    const uint8_t k = KeyNumber(ref);
    const uint8_t p2 = static_cast<uint8_t>(k | 0x80);
    uint16_t status = cmdExternalAuth(p2, oldValue);
    if (status != 0x9000) status = PinFailureStatus(status, p2);
    if (TransferFailed(status)) return CommandResult(status);
    RV rv = 0;
    if (k == 1) rv = SetUserTokenInfoFlag(status, true);
    if (k == 2) rv = SetSoTokenInfoFlag(status, true);
    if (rv) return rv;
    if (status != 0x9000) return CKR_PIN_INCORRECT;  // never write a new PIN without proof of the old one
    rv = cmdUpdateExternalAuthKey(k, newValue, 24, 0, 0);
    if (rv == 0 && ((k == 1 && userLoggedIn_) || (k == 2 && soLoggedIn_))) CacheUPin(newValue, 24);
    return rv;
}

RV CTokenTarn::ReloadUserPin(uint32_t ref, const uint8_t* value, uint32_t length) {
    if (!value) return CKR_ARGUMENTS_BAD;
    RV rv = cmdUpdateExternalAuthKey(KeyNumber(ref), value, length, 0, 0);
    if (rv) return rv;
    uint32_t flags = 0;
    rv = GetTokenInfoFlag(&flags);
    if (rv) return rv;
    uint32_t next = (flags & ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED)) |
                    CKF_USER_PIN_TO_BE_CHANGED;
    return next == flags ? 0 : SetTokenInfoFlag(next);
}

RV CTokenTarn::SetTries(uint32_t ref, uint32_t maximum, uint32_t remaining) {
    const uint8_t k = KeyNumber(ref);
    // The cached value belongs to the logged-in reference and only goes back there.
    const bool owns = (k == 1 && userLoggedIn_) || (k == 2 && soLoggedIn_);
    if (!owns || (cachedPinLen_ != 16 && cachedPinLen_ != 24)) return CKR_USER_NOT_LOGGED_IN;
    uint8_t pin[24];
    GetCachedPin(pin);
    RV rv = cmdUpdateExternalAuthKey(k, pin, cachedPinLen_, maximum, remaining);
    SecureWipe(pin, sizeof pin);
    return rv;
}

RV CTokenTarn::cmdUpdateExternalAuthKey(uint8_t keyNumber, const uint8_t* key, uint32_t length, uint32_t maximum,
                                        uint32_t remaining) {
    if (!key || (length != 16 && length != 24) || keyNumber < 1 || keyNumber > 2) return CKR_ARGUMENTS_BAD;
    uint8_t limits[2] = {0, 0};
    if (maximum == 0) {
        RV rv = ReadBinary(kFidTries, limits, 0, 2, nullptr);
        if (rv) return rv;
        maximum = limits[keyNumber - 1];
    }
    uint8_t data[25];
    data[0] = static_cast<uint8_t>((maximum & 0x0F) << 4 | (remaining ? remaining & 0x0F : limits[keyNumber - 1] & 0x0F));
    std::memcpy(data + 1, key, length);
    uint16_t sw = im_TransmitAPDU(apdu::UpdatePinKey(keyNumber, data, length + 1), nullptr, nullptr, false);
    SecureWipe(data, sizeof data);
    return CommandResult(sw);
}

RV CTokenTarn::GetPinMaxTries(uint32_t ref, uint8_t* tries) {
    uint8_t limits[2];
    RV rv = ReadBinary(kFidTries, limits, 0, 2, nullptr);
    if (rv) return rv;
    const uint8_t k = KeyNumber(ref);
    if (k != 1 && k != 2) return CKR_GENERAL_ERROR;
    *tries = limits[k - 1];
    return 0;
}

RV CTokenTarn::GetPinLeftTries(uint32_t ref, uint8_t* tries) {
    uint16_t sw = cmdGetPinErrCount(static_cast<uint8_t>(KeyNumber(ref) | 0x80), nullptr);
    if (sw == 0x6983) {
        *tries = 0;
    } else if ((sw & 0xFFF0) == 0x63C0) {
        *tries = sw & 0x0F;
    } else {
        return CKR_DEVICE_ERROR;
    }
    return 0;
}
