// Every translation of one layer's results into another's, one table or
// small function per layer, from the token's status words up to what an
// application is given.
#ifndef KV_SUPPORT_RESULT_CODES_H
#define KV_SUPPORT_RESULT_CODES_H

#include <cstdint>

#include "kv_types.h"

// ---- Token commands -------------------------------------------------------

// What the exchange answers in place of a status word when the token's own
// answer was never received.
constexpr uint16_t kSwLockOrConnect = 0xFFFF;  // lock, connection or channel failure
constexpr uint16_t kSwExchange = 0xFFFE;       // device exchange or re-selection failure
constexpr uint16_t kSwEncoding = 0xFFFD;       // the command could not be encoded
constexpr uint16_t kSwTokenGone = 0xFFFC;      // the device saw the card go (CKR_TOKEN_NOT_PRESENT)
constexpr uint16_t kSwDeviceGone = 0xFFFB;     // the device itself went (CKR_DEVICE_REMOVED)

// What the exchange answers for a device that failed with result rv: the
// card or the reader gone as the device tells it, anything else kSwExchange.
uint16_t DeviceFailureSw(RV rv);

// The status-word map: 9000 -> 0, the ISO 7816-4 errors the token gives to
// the codes below, anything unknown CKR_DEVICE_ERROR.
RV GetDevErr(uint16_t sw);

// A short text of a status word for the APDU log ("6982 security status
// not satisfied"); nullptr for a status word the table does not know.
const char* StatusWordText(uint16_t sw);

// The exchange never reached the token's answer: nothing about a PIN, a
// file or a key can be concluded from it.
inline bool TransferFailed(uint16_t sw) {
    return sw == kSwExchange || sw == kSwLockOrConnect || sw == kSwTokenGone || sw == kSwDeviceGone;
}

// Command result rule of every token command: a command that could not be
// encoded -> RV_ENCODING_FAILED; the card or the device gone ->
// CKR_TOKEN_NOT_PRESENT or CKR_DEVICE_REMOVED; another failed transfer,
// lock or channel -> CKR_DEVICE_ERROR; otherwise the status-word map.
RV CommandResult(uint16_t sw);

// The result of a PIN proof by its final status (after a refusal, the
// retry counter's status): 9000 -> 0, 6983 and 63C0 (no try left) ->
// CKR_PIN_LOCKED, every other status CKR_PIN_INCORRECT; the same for every
// PIN.
RV PinStatusRv(uint16_t sw);

// ---- PKCS#11 calls --------------------------------------------------------

// The results of a failed transfer as CommandResult gives them: they say
// nothing about a PIN, a key or the caller's data.
inline bool TransferFailedRv(CK_RV rv) {
    return rv == CKR_DEVICE_ERROR || rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED;
}

// A refusal by a factory that makes a key mechanism (generate, derive, wrap,
// unwrap): a mechanism no registry knows is CKR_MECHANISM_INVALID; the
// PKCS#11 verdicts of the mechanism's own checks (key, template, parameter)
// pass; arguments between the layers and internal or vendor codes are
// CKR_GENERAL_ERROR.
CK_RV KeyFactoryRefusalRv(CK_RV rv);

// A refusal by a factory that starts a cryptographic operation (C_*Init):
// only the reasons PKCS#11 has a code for at that call pass (mechanism,
// parameter, key type and size); everything else is CKR_GENERAL_ERROR.
CK_RV OperationFactoryRefusalRv(CK_RV rv);

// A refusal of key values by the mechanism or the token (generation,
// import): the templates' pointers were checked before, so a refused
// argument, or a command the values made impossible to encode, is
// CKR_TEMPLATE_INCONSISTENT; other codes pass.
CK_RV TemplateValuesRv(CK_RV rv);

// A failed write of an object to the token: a command that could not be
// encoded is not the caller's doing (CKR_DEVICE_ERROR), nor is an argument
// refused between the layers; other codes pass.
CK_RV TokenWriteRv(CK_RV rv);

// A cryptographic operation that ends on a failure: the codes an
// application can act on pass (data length, device, token or device gone,
// key handle, encrypted data), everything else is CKR_GENERAL_ERROR.
CK_RV EndedOperationRv(CK_RV rv);

// The application edge, applied once to every exported call's result: the
// internal status codes become their PKCS#11 meaning, smart-card and vendor
// codes of the lower layers CKR_DEVICE_ERROR; PKCS#11 codes pass.
CK_RV ToApplicationRv(CK_RV rv);

#endif
