// CTokenTarn: state, binding and connection.
#include "token_tarn.h"

#include "auth_manager_tarn.h"
#include "device_lock.h"
#include "kv_provisioning.h"
#include "process_lock.h"

CTokenTarn::CTokenTarn(TokenParts parts) : parts_(std::move(parts)) {}

CTokenTarn::~CTokenTarn() { ClearStore(); }

// The token's algorithm factory, with the token-backed mechanisms registered.
int CTokenTarn::Init(kv_dev_t* device) {
    if (!device) return 0;
    if (parts_.algFactory) algFactory_ = parts_.algFactory(this);
    return 1;
}

RV CTokenTarn::Lock() {
    if (!device_) return CKR_GENERAL_ERROR;
    RV rv = device_->Lock();
    if (rv == 0 && lockDepth_++ == 0) ++lockEpoch_;
    return rv;
}

RV CTokenTarn::HoldProcessLock() {
    if (processLock_ || !lockDepth_) return 0;
    // Taken at the scope's first command, so that scopes that never reach
    // the token (software mechanisms) cost no system call; kept until the
    // outermost Unlock keeps other processes off the token for the rest of
    // the scope.
    ProcessLock* lock = ProcessLock::ForPath(device_->LockPath());
    if (!lock) return 0;
    RV rv = lock->Lock();
    if (rv) return rv;
    processLock_ = lock;
    recordMayBeKnown_ = true;
    ResumeChannel();
    return 0;
}

RV CTokenTarn::Unlock() {
    if (!device_) return 0;
    if (lockDepth_ == 1 && wroteInScope_ && scopeEnd_ && !endingScope_) {
        endingScope_ = true;
        scopeEnd_();
        endingScope_ = false;
    }
    if (lockDepth_ == 1) wroteInScope_ = false;
    if (lockDepth_ && --lockDepth_ == 0 && processLock_) {
        processLock_->Unlock();
        processLock_ = nullptr;
    }
    return device_->Unlock();
}

bool CTokenTarn::IsCorrectStore() { return SelectFile(FID_ADF) == 0; }

RV CTokenTarn::LowLevelPKIInit(const void* parameters) {
    return parameters ? RV_NOT_SUPPORTED : CKR_GENERAL_ERROR;
}

RV CTokenTarn::ConnectAndSetenv() {
    if (connected_) return 0;
    // One lock scope: no other process between the channel opening and the selection.
    DeviceLock lock(*this);
    if (lock.Result()) return lock.Result();
    connected_ = true;  // the commands below run through the exchange without reconnecting
    ready_ = false;
    auto fail = [this](RV rv) {
        connected_ = false;
        return rv;
    };
    RV rv = device_->Connect();
    if (rv) return fail(rv);

    counterFreshNeeded_ = true;  // maybe another token, or one reset
    const bool remembered = secureMessaging_;
    secureMessaging_ = false;
    uint8_t challenge[16];
    uint32_t challengeLen = sizeof challenge;
    im_TransmitAPDU(apdu::GetChallenge(8), challenge, &challengeLen, false);
    uint8_t config[64];
    uint32_t configLen = sizeof config;
    rv = cmdGetData(0x86, config, &configLen);
    secureMessaging_ = remembered;
    if (rv) return fail(rv);
    if (configLen < 17) return fail(CKR_DEVICE_ERROR);

    session_.SetCipher(config[2] == 1 ? SessionCipher::Aes128 : SessionCipher::Tdes2);
    if (config[14] == 0x84) secureMessaging_ = config[16] != 0;
    if (secureMessaging_) {
        rv = GetInitKey(kvprov::kStaticEncKey, kvprov::kStaticMacKey);
        if (rv) return fail(rv);
    }
    SelectFile(FID_ADF);
    ready_ = true;
    // The configuration answer carries the write counter: read in this lock
    // scope, it is the token's.
    uint32_t counter = 0;
    if (CounterIn(config, configLen, counter)) RecordWriteCount(counter);

    uint8_t id[32];
    uint32_t idLen = sizeof id;
    rv = cmdGetData(0x81, id, &idLen);
    if (rv) return fail(rv);
    if (idLen < 32) return fail(CKR_DEVICE_ERROR);
    keyGeneration_ = id[31];
    return 0;
}
