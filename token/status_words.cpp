#include "status_words.h"

RV GetDevErr(uint16_t sw) {
    switch (sw) {
        case 0x9000:
            return CKR_OK;
        case 0x6282: case 0x6287: case 0x6582: case 0x6700: case 0x6B00:
            return CKR_DATA_LEN_RANGE;
        case 0x6283: case 0x6986: case 0x6A82:
            return SCARD_E_FILE_NOT_FOUND;
        case 0x6A83:
            return SCARD_E_DIR_NOT_FOUND;
        case 0x6985:
            return SCARD_E_NO_SUCH_FILE;
        case 0x6982:
            return CKR_USER_NOT_LOGGED_IN;
        case 0x6983:
            return CKR_PIN_LOCKED;
        case 0x6A84:
            return CKR_DEVICE_MEMORY;
        case 0x6200: case 0x6281: case 0x6284: case 0x6300: case 0x6400: case 0x6581: case 0x6881:
        case 0x6882: case 0x6981: case 0x6984: case 0x6987: case 0x6988: case 0x6A00: case 0x6A80:
        case 0x6A81: case 0x6A86: case 0x6A88: case 0x6D00: case 0x6E00: case 0x6F00: case 0x6F81:
        case 0x6F82: case 0x6F83: case 0x6F84: case 0x6F85: case 0x9403:
            return SCARD_E_UNEXPECTED;
        default:
            return CKR_DEVICE_ERROR;
    }
}
