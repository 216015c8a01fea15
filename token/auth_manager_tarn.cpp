#include "auth_manager_tarn.h"

#include "byte_order.h"
#include "hash_backend.h"
#include "secure_wipe.h"
#include "sm_crypto.h"
#include "token_tarn.h"

namespace {
bool ValidPinValue(const uint8_t* value, uint32_t length) { return value && (length == 16 || length == 24); }
}  // namespace

ByteVec GetPinHash(const uint8_t* pin, uint32_t length) {
    if (!pin) return ByteVec();
    std::unique_ptr<HashBackend> sha1 = HashBackend::ForDigest(CKM_SHA_1);
    ByteVec value(24, 0);
    if (!sha1 || !sha1->Start() || !sha1->Update(pin, length) || !sha1->Finish(value.data())) return ByteVec();
    StoreBe32(value.data() + 20, length);
    return value;
}

RV AuthManagerTarn::GetRefByP11Type(CK_USER_TYPE type, uint32_t* ref) {
    if (!ref) return CKR_ARGUMENTS_BAD;
    if (type == CKU_SO) *ref = kRefSo;
    else if (type == CKU_USER) *ref = kRefUser;
    else return RV_NOT_SUPPORTED;
    return 0;
}

RV AuthManagerTarn::GetRefByMiniDriverID(uint32_t id, uint32_t* ref) {
    if (!ref) return CKR_ARGUMENTS_BAD;
    if (id == 1) *ref = kRefUser;
    else if (id == 2) *ref = kRefSo;
    else return RV_NOT_SUPPORTED;
    return 0;
}

RV AuthManagerTarn::GetChallenge(uint8_t* buffer, uint32_t length) {
    return buffer ? token_->GenerateRandom(buffer, length) : CKR_ARGUMENTS_BAD;
}

RV AuthManagerTarn::ForgetChallenge() {
    uint8_t challenge[8];
    return GetChallenge(challenge, sizeof challenge);
}

RV AuthManagerTarn::Authenticate(uint32_t ref, const uint8_t* value, uint32_t length) {
    if (!ValidPinValue(value, length)) return CKR_ARGUMENTS_BAD;
    RV rv = token_->SelectFile(FID_ADF);
    if (rv) return rv;
    // A reset or a lost channel met between the challenge and its answer
    // voids the challenge: the token then refuses the answer without
    // judging the PIN, and the login is made once more on a fresh challenge
    // rather than read as a wrong PIN.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const uint64_t epoch = token_->ChannelEpoch();
        uint8_t challenge[8], response[8];
        rv = GetChallenge(challenge, sizeof challenge);
        if (rv) return rv;
        if (!TdesCbcEncrypt(value, length, challenge, 8, response)) return CKR_GENERAL_ERROR;
        rv = AuthenticateChallenge(ref, response, sizeof response);
        SecureWipe(response, sizeof response);
        if (rv == 0 || token_->ChannelEpoch() == epoch) break;
    }
    if (rv) return rv;
    return token_->CacheUPin(value, length);
}

RV AuthManagerTarn::AuthenticateChallenge(uint32_t ref, const uint8_t* response, uint32_t length) {
    if (!response) return CKR_ARGUMENTS_BAD;
    RV rv = token_->VerifyPIN(ref, response, length);
    if (rv == 0) Flag(ref) = true;
    return rv;
}

RV AuthManagerTarn::Deauthenticate(uint32_t ref) {
    Flag(ref) = false;
    return 0;
}

RV AuthManagerTarn::ChangeAuthenticator(uint32_t ref, const uint8_t* oldValue, uint32_t oldLength,
                                        const uint8_t* newValue, uint32_t newLength) {
    if (!ValidPinValue(oldValue, oldLength) || !ValidPinValue(newValue, newLength)) return CKR_ARGUMENTS_BAD;
    RV rv = token_->SelectFile(FID_ADF);
    if (rv) return rv;
    rv = token_->ChangePIN(ref, oldValue, oldLength, newValue, newLength);
    if (rv) Deauthenticate(ref);
    return rv;
}

RV AuthManagerTarn::UnblockAuthenticator(uint32_t ref, const uint8_t* value, uint32_t length) {
    if (!ValidPinValue(value, length)) return CKR_ARGUMENTS_BAD;
    RV rv = token_->SelectFile(FID_ADF);
    return rv ? rv : token_->ReloadUserPin(ref, value, length);
}

RV AuthManagerTarn::GetAuthInfo(uint32_t ref, AuthInfo* info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    *info = AuthInfo{2, Flag(ref) ? 1u : 0u, 8, 255};
    return 0;
}

RV AuthManagerTarn::ReadTries(uint32_t ref, uint32_t* count, RV (CTokenTarn::*read)(uint32_t, uint8_t*)) {
    if (!count) return CKR_ARGUMENTS_BAD;
    RV rv = token_->Lock();
    if (rv) return rv;
    uint8_t tries = 0;
    rv = (token_->*read)(ref, &tries);
    token_->Unlock();
    if (rv == 0) *count = tries;
    return rv;
}

RV AuthManagerTarn::GetAuthMaxTries(uint32_t ref, uint32_t* count) {
    return ReadTries(ref, count, &CTokenTarn::GetPinMaxTries);
}

RV AuthManagerTarn::GetAuthLeftTries(uint32_t ref, uint32_t* count) {
    return ReadTries(ref, count, &CTokenTarn::GetPinLeftTries);
}

RV AuthManagerTarn::SetTries(uint32_t ref, uint32_t maximum, uint32_t remaining) {
    return token_->SetTries(ref, maximum, remaining);
}
