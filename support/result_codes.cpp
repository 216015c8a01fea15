#include "result_codes.h"

namespace {

struct StatusWord {
    uint16_t sw;
    RV rv;
    const char* text;
};

// The token's status words (ISO 7816-4 names; 6582, 6F81-6F85 and 9403 are
// the token's own). Odd results kept on purpose:
// - 6985 "conditions of use not satisfied" is SCARD_E_NO_SUCH_FILE
//   (0x80100026): the token answers it when the application it worked in is
//   gone (a reset); the exchange selects the application again once, and a
//   6985 that remains reaches the file system and store as the "absent
//   file" value they test for.
// - 6283 (file deactivated) and 6986 (no current file) read as a missing
//   file, like 6A82; 6A83 (record not found) as a missing directory. The
//   smart-card values are what the file system and store test for.
// - The length errors (6282, 6287, 6582, 6700, 6B00) are CKR_DATA_LEN_RANGE:
//   the caller's data did not fit the file or the command.
// - The remaining errors, the secure-messaging ones among them, are
//   SCARD_E_UNEXPECTED: the library sent something the token did not expect.
constexpr StatusWord kStatusWords[] = {
    {0x9000, CKR_OK, "success"},
    {0x6200, SCARD_E_UNEXPECTED, "warning, state unchanged"},
    {0x6281, SCARD_E_UNEXPECTED, "part of the returned data may be corrupted"},
    {0x6282, CKR_DATA_LEN_RANGE, "end of file reached before Le bytes"},
    {0x6283, SCARD_E_FILE_NOT_FOUND, "selected file deactivated"},
    {0x6284, SCARD_E_UNEXPECTED, "file control information not formatted"},
    {0x6287, CKR_DATA_LEN_RANGE, "referenced record deactivated"},
    {0x6300, SCARD_E_UNEXPECTED, "warning, state changed"},
    {0x6400, SCARD_E_UNEXPECTED, "execution error, state unchanged"},
    {0x6581, SCARD_E_UNEXPECTED, "memory failure"},
    {0x6582, CKR_DATA_LEN_RANGE, "token error 6582, length"},
    {0x6700, CKR_DATA_LEN_RANGE, "wrong length"},
    {0x6881, SCARD_E_UNEXPECTED, "logical channel not supported"},
    {0x6882, SCARD_E_UNEXPECTED, "secure messaging not supported"},
    {0x6981, SCARD_E_UNEXPECTED, "command incompatible with file structure"},
    {0x6982, CKR_USER_NOT_LOGGED_IN, "security status not satisfied"},
    {0x6983, CKR_PIN_LOCKED, "authentication method blocked"},
    {0x6984, SCARD_E_UNEXPECTED, "reference data not usable"},
    {0x6985, SCARD_E_NO_SUCH_FILE, "conditions of use not satisfied"},
    {0x6986, SCARD_E_FILE_NOT_FOUND, "command not allowed, no current file"},
    {0x6987, SCARD_E_UNEXPECTED, "secure messaging data objects missing"},
    {0x6988, SCARD_E_UNEXPECTED, "secure messaging data objects incorrect"},
    {0x6A00, SCARD_E_UNEXPECTED, "wrong parameters P1-P2"},
    {0x6A80, SCARD_E_UNEXPECTED, "incorrect parameters in the data field"},
    {0x6A81, SCARD_E_UNEXPECTED, "function not supported"},
    {0x6A82, SCARD_E_FILE_NOT_FOUND, "file or application not found"},
    {0x6A83, SCARD_E_DIR_NOT_FOUND, "record not found"},
    {0x6A84, CKR_DEVICE_MEMORY, "not enough memory space in the file"},
    {0x6A86, SCARD_E_UNEXPECTED, "incorrect parameters P1-P2"},
    {0x6A88, SCARD_E_UNEXPECTED, "referenced data not found"},
    {0x6B00, CKR_DATA_LEN_RANGE, "offset outside the file"},
    {0x6D00, SCARD_E_UNEXPECTED, "instruction not supported"},
    {0x6E00, SCARD_E_UNEXPECTED, "class not supported"},
    {0x6F00, SCARD_E_UNEXPECTED, "no precise diagnosis"},
    {0x6F81, SCARD_E_UNEXPECTED, "token error 6F81"},
    {0x6F82, SCARD_E_UNEXPECTED, "token error 6F82"},
    {0x6F83, SCARD_E_UNEXPECTED, "token error 6F83"},
    {0x6F84, SCARD_E_UNEXPECTED, "token error 6F84"},
    {0x6F85, SCARD_E_UNEXPECTED, "token error 6F85"},
    {0x9403, SCARD_E_UNEXPECTED, "token error 9403"},
};

const StatusWord* FindStatusWord(uint16_t sw) {
    for (const StatusWord& entry : kStatusWords) {
        if (entry.sw == sw) return &entry;
    }
    return nullptr;
}

}  // namespace

RV GetDevErr(uint16_t sw) {
    const StatusWord* entry = FindStatusWord(sw);
    return entry ? entry->rv : CKR_DEVICE_ERROR;
}

const char* StatusWordText(uint16_t sw) {
    // 63Cx: the PIN was refused with x tries left (x = 0: none).
    if ((sw & 0xFFF0) == 0x63C0) return "verification failed, tries left in the low digit";
    const StatusWord* entry = FindStatusWord(sw);
    return entry ? entry->text : nullptr;
}

uint16_t DeviceFailureSw(RV rv) {
    if (rv == CKR_TOKEN_NOT_PRESENT) return kSwTokenGone;
    if (rv == CKR_DEVICE_REMOVED) return kSwDeviceGone;
    return kSwExchange;
}

RV CommandResult(uint16_t sw) {
    if (sw == kSwEncoding) return RV_ENCODING_FAILED;
    if (sw == kSwTokenGone) return CKR_TOKEN_NOT_PRESENT;
    if (sw == kSwDeviceGone) return CKR_DEVICE_REMOVED;
    // A lost transfer blames neither the caller nor its data.
    if (TransferFailed(sw)) return CKR_DEVICE_ERROR;
    return GetDevErr(sw);
}

RV PinStatusRv(uint16_t sw) {
    if (sw == 0x9000) return CKR_OK;
    // Blocked, or no try left: the PIN is locked, the user's as the SO's.
    if (sw == 0x6983 || sw == 0x63C0) return CKR_PIN_LOCKED;
    return CKR_PIN_INCORRECT;
}

CK_RV KeyFactoryRefusalRv(CK_RV rv) {
    if (rv == RV_NOT_SUPPORTED) return CKR_MECHANISM_INVALID;
    if (rv == CKR_ARGUMENTS_BAD || rv >= CKR_VENDOR_DEFINED || rv > 0xFFFFUL) return CKR_GENERAL_ERROR;
    return rv;
}

CK_RV OperationFactoryRefusalRv(CK_RV rv) {
    switch (rv) {
        case RV_NOT_SUPPORTED: return CKR_MECHANISM_INVALID;
        case CKR_MECHANISM_INVALID:
        case CKR_MECHANISM_PARAM_INVALID:
        case CKR_KEY_TYPE_INCONSISTENT:
        case CKR_KEY_SIZE_RANGE: return rv;
        default: return CKR_GENERAL_ERROR;
    }
}

CK_RV TemplateValuesRv(CK_RV rv) {
    return rv == CKR_ARGUMENTS_BAD || rv == RV_ENCODING_FAILED ? CKR_TEMPLATE_INCONSISTENT : rv;
}

CK_RV TokenWriteRv(CK_RV rv) { return rv == CKR_ARGUMENTS_BAD || rv == RV_ENCODING_FAILED ? CKR_DEVICE_ERROR : rv; }

CK_RV EndedOperationRv(CK_RV rv) {
    switch (rv) {
        case CKR_OK:
        case CKR_DATA_LEN_RANGE:
        case CKR_DEVICE_ERROR:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_DEVICE_REMOVED:
        case CKR_KEY_HANDLE_INVALID:
        case CKR_ENCRYPTED_DATA_INVALID: return rv;
        default: return CKR_GENERAL_ERROR;
    }
}

CK_RV ToApplicationRv(CK_RV rv) {
    switch (rv) {
        case RV_BUFFER_TOO_SMALL: return CKR_BUFFER_TOO_SMALL;
        case RV_NOT_SUPPORTED: return CKR_FUNCTION_NOT_SUPPORTED;
        // A command the library could not encode was a refused argument
        // before it had a code of its own; the application still sees that.
        case RV_ENCODING_FAILED: return CKR_ARGUMENTS_BAD;
        // Items the library looked for and did not find, and records it
        // already held, are its own failing, not anything the caller named.
        case RV_ALREADY_EXISTS:
        case RV_NO_CONTAINER:
        case RV_NOT_FOUND: return CKR_GENERAL_ERROR;
        default: break;
    }
    // Smart-card and other vendor codes of the lower layers.
    if (rv >= CKR_VENDOR_DEFINED || rv > 0xFFFFFFFFUL) return CKR_DEVICE_ERROR;
    return rv;
}
