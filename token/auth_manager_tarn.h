// IAuthManager of this token: drives the PIN commands of CTokenTarn.
#ifndef KV_TOKEN_AUTH_MANAGER_TARN_H
#define KV_TOKEN_AUTH_MANAGER_TARN_H

#include "iauth_manager.h"

class CTokenTarn;

class AuthManagerTarn : public IAuthManager {
public:
    explicit AuthManagerTarn(CTokenTarn* token) : token_(token) {}

    RV GetRefByP11Type(CK_USER_TYPE type, uint32_t* ref) override;
    RV GetRefByMiniDriverID(uint32_t id, uint32_t* ref) override;
    RV GetChallenge(uint8_t* buffer, uint32_t length) override;
    RV ForgetChallenge() override;
    RV Authenticate(uint32_t ref, const uint8_t* value, uint32_t length) override;
    RV AuthenticateChallenge(uint32_t ref, const uint8_t* response, uint32_t length) override;
    RV Deauthenticate(uint32_t ref) override;
    RV ChangeAuthenticator(uint32_t ref, const uint8_t* oldValue, uint32_t oldLength, const uint8_t* newValue,
                           uint32_t newLength) override;
    RV UnblockAuthenticator(uint32_t ref, const uint8_t* value, uint32_t length) override;
    RV GetAuthInfo(uint32_t ref, AuthInfo* info) override;
    RV GetAuthMaxTries(uint32_t ref, uint32_t* count) override;
    RV GetAuthLeftTries(uint32_t ref, uint32_t* count) override;
    RV SetTries(uint32_t ref, uint32_t maximum, uint32_t remaining) override;

private:
    // A retry count read under the token's lock.
    RV ReadTries(uint32_t ref, uint32_t* count, RV (CTokenTarn::*read)(uint32_t, uint8_t*));
    bool& Flag(uint32_t ref) { return (ref & 0xFF) == 2 ? soAuthenticated_ : userAuthenticated_; }

    CTokenTarn* token_;
    bool userAuthenticated_ = false;
    bool soAuthenticated_ = false;
};

#endif
