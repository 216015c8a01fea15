// CTokenTarn: the APDU exchange with secure messaging, channel opening and
// re-selection.
#include <cstring>

#include "apdu_log.h"
#include "auth_manager_tarn.h"
#include "device_lock.h"
#include "kv_provisioning.h"
#include "process_lock.h"
#include "random.h"
#include "secure_wipe.h"
#include "result_codes.h"
#include "token_tarn.h"

RV CTokenTarn::im_BuildSafeAPDU(const APDU& apdu, uint8_t* buffer, uint32_t* length, bool expectData) {
    APDU out = apdu;
    if (secureMessaging_) out.cla |= 0x0C;
    switch (out.cla & 0x0C) {
        case 0x00:
        case 0x04:
            return Build_Plaintext_APDU(out, buffer, kBuffer, length) ? 0 : RV_ENCODING_FAILED;
        case 0x0C:
            return session_.Wrap(out, expectData, buffer, kBuffer, length) ? 0 : RV_ENCODING_FAILED;
        default:
            return RV_ENCODING_FAILED;
    }
}

uint16_t CTokenTarn::im_TransmitAPDU(const APDU& apdu, uint8_t* out, uint32_t* outLength, bool expectData) {
    // The first to see a lost exchange, so the one place that logs it.
    auto failed = [&apdu](uint16_t sw) {
        LogApduFailure(apdu, sw);
        return sw;
    };
    if (Lock() != 0) return failed(kSwLockOrConnect);
    struct Unlocker {
        CTokenTarn* token;
        ~Unlocker() { token->Unlock(); }
    } unlocker{this};
    if (HoldProcessLock() != 0) return failed(kSwLockOrConnect);
    if (ConnectAndSetenv() != 0) {
        connected_ = false;
        return failed(kSwLockOrConnect);
    }
    LogApduCommand(apdu);
    NoteWriteCommand(apdu);
    const uint16_t file = selectedFid_;  // nested selections of the recovery change it
    bool reselectAllowed = true;
    int channelRetries = 3;
    uint8_t command[kBuffer];
    uint8_t response[kBuffer];
    for (;;) {
        uint32_t commandLen = 0;
        if (im_BuildSafeAPDU(apdu, command, &commandLen, expectData) != 0) return failed(kSwEncoding);
        uint32_t responseLen = sizeof response;
        uint8_t sw1 = 0, sw2 = 0;
        RV rv = device_->Transmit(command, commandLen, response, &responseLen, &sw1, &sw2);
        uint16_t sw = static_cast<uint16_t>(sw1 << 8 | sw2);
        if (rv == 0 && sw == 0x6985 && reselectAllowed && ready_) {
            reselectAllowed = false;
            ++channelEpoch_;
            counterFreshNeeded_ = true;  // a reset: whoever wrote meanwhile was not of the family
            if (ReSelectADF() == 0 && RestoreContext(apdu, file) == 0) continue;
            return failed(kSwExchange);
        }
        if (rv != 0) return failed(DeviceFailureSw(rv));
        if (sw == 0x6988 && secureMessaging_ && channelRetries > 0) {
            --channelRetries;
            counterFreshNeeded_ = true;  // the channel went without a record of it: not the family
            if (GetInitKey(kvprov::kStaticEncKey, kvprov::kStaticMacKey) != 0) return failed(kSwLockOrConnect);
            if (RestoreContext(apdu, file) == 0) continue;
            return failed(kSwExchange);
        }
        if (outLength) {
            uint32_t capacity = *outLength;
            *outLength = 0;
            if (sw == 0x9000 && out) {
                if (secureMessaging_) {
                    if (session_.Unwrap(response, responseLen, out, capacity, outLength) != 0)
                        return failed(kSwLockOrConnect);
                } else {
                    if (responseLen > capacity) return failed(kSwLockOrConnect);
                    std::memcpy(out, response, responseLen);
                    *outLength = responseLen;
                }
            }
        }
        LogApduAnswer(apdu, out, outLength ? *outLength : 0, sw);
        return sw;
    }
}

RV CTokenTarn::GetInitKey(const uint8_t* kEnc, const uint8_t* kMac) {
    // Both commands in one lock scope: another process's opening in between would void this one.
    DeviceLock lock(*this);
    if (lock.Result()) return lock.Result();
    RV held = HoldProcessLock();
    if (held) return held;
    // From INITIALIZE UPDATE on, no channel on the token is anybody's.
    channelId_ = 0;
    ++channelEpoch_;
    if (processLock_) processLock_->SetChannelOwner(0);
    const bool remembered = secureMessaging_;
    secureMessaging_ = false;
    struct Restore {
        CTokenTarn* token;
        bool sm;
        ~Restore() { token->secureMessaging_ = sm; }
    } restore{this, remembered};

    uint8_t answer[64];
    uint32_t answerLen = sizeof answer;
    uint16_t sw = im_TransmitAPDU(apdu::InitializeUpdate(kvprov::kHostChallenge), answer, &answerLen, false);
    if (sw != 0x9000) return CommandResult(sw);
    if (answerLen != 28) return CKR_DEVICE_ERROR;
    uint8_t auth[16];
    RV rv = session_.Open(kEnc, kMac, kvprov::kHostChallenge, answer, auth);
    if (rv) return rv;
    sw = im_TransmitAPDU(apdu::ChannelAuthenticate(auth), nullptr, nullptr, false);
    rv = CommandResult(sw);
    if (rv) return rv;
    // Tell the other processes that their channels are gone. Without a
    // random number the channel stays unnamed: it is recovered after 6988.
    uint8_t id[8];
    if (genrate_random_bytes(id, sizeof id) == sizeof id) {
        for (uint8_t b : id) channelId_ = channelId_ << 8 | b;
        if (processLock_) processLock_->SetChannelOwner(channelId_);
    }
    return 0;
}

void CTokenTarn::ResumeChannel() {
    if (!processLock_ || !channelId_ || !connected_ || !ready_ || !secureMessaging_) return;
    if (processLock_->ChannelOwner() == channelId_) return;
    // The PIN again only while the application is logged in: the token's own
    // login flag outlives C_Logout, and a logged-out application has nothing
    // to present it for (it logs in anew).
    AuthInfo info{};
    const bool loggedIn = IsLogIn() && authManager_ &&
                          authManager_->GetAuthInfo(userLoggedIn_ ? kRefUser : kRefSo, &info) == 0 && (info.flags & 1);
    // On failure the commands of this scope meet the exchange's own recovery.
    Reselect(loggedIn);
}

RV CTokenTarn::ReSelectADF() { return Reselect(IsLogIn()); }

RV CTokenTarn::RestoreContext(const APDU& apdu, uint16_t file) {
    switch (apdu.ins) {
        case apdu::kInsReadBinary:
        case apdu::kInsUpdateBinary:
            return file ? SelectFile(file) : CKR_DEVICE_ERROR;
        case apdu::kInsPso:
            return CKR_DEVICE_ERROR;
        default:
            return 0;
    }
}

RV CTokenTarn::Reselect(bool relogin) {
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
    if (relogin) PresentCachedPin();
    return 0;
}
