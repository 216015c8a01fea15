// PIN state and authentication of a token.
#ifndef KV_TOKEN_IAUTH_MANAGER_H
#define KV_TOKEN_IAUTH_MANAGER_H

#include <cstdint>

#include "kv_types.h"

constexpr uint32_t kRefUser = 0x401;
constexpr uint32_t kRefSo = 0x402;

struct AuthInfo {
    uint32_t kind;
    uint32_t flags;  // bit 0: this reference is authenticated
    uint32_t minLength;
    uint32_t maxLength;
};

class IAuthManager {
public:
    virtual ~IAuthManager() = default;
    virtual RV GetRefByP11Type(CK_USER_TYPE type, uint32_t* ref) = 0;
    virtual RV GetRefByMiniDriverID(uint32_t id, uint32_t* ref) = 0;
    virtual RV GetChallenge(uint8_t* buffer, uint32_t length) = 0;
    virtual RV ForgetChallenge() = 0;
    // Challenge-response login with a PIN value (16 or 24 bytes).
    virtual RV Authenticate(uint32_t ref, const uint8_t* value, uint32_t length) = 0;
    virtual RV AuthenticateChallenge(uint32_t ref, const uint8_t* response, uint32_t length) = 0;
    virtual RV Deauthenticate(uint32_t ref) = 0;
    virtual RV ChangeAuthenticator(uint32_t ref, const uint8_t* oldValue, uint32_t oldLength, const uint8_t* newValue,
                                   uint32_t newLength) = 0;
    virtual RV UnblockAuthenticator(uint32_t ref, const uint8_t* value, uint32_t length) = 0;
    virtual RV GetAuthInfo(uint32_t ref, AuthInfo* info) = 0;
    virtual RV GetAuthMaxTries(uint32_t ref, uint32_t* count) = 0;
    virtual RV GetAuthLeftTries(uint32_t ref, uint32_t* count) = 0;
    virtual RV SetTries(uint32_t ref, uint32_t maximum, uint32_t remaining) = 0;
};

// Whether the user (not the security officer) is logged in on the token.
inline bool UserAuthenticated(IAuthManager* auth) {
    uint32_t ref = 0;
    AuthInfo info{};
    return auth && auth->GetRefByP11Type(CKU_USER, &ref) == 0 && auth->GetAuthInfo(ref, &info) == 0 && (info.flags & 1);
}

// PIN value: SHA-1 of the PIN followed by its length, big-endian (24 bytes);
// empty for a null PIN.
ByteVec GetPinHash(const uint8_t* pin, uint32_t length);

#endif
