#include "apdu_log.h"

#include "logger.h"

namespace {

enum : uint32_t {
    kInsPso = 0x2A,             // answers hold deciphered data
    kInsReadBinary = 0xB0,      // file contents: object files hold key values
    kInsUpdateBinary = 0xD6,
    kInsInitializeUpdate = 0x50,  // channel opening
    kInsExternalAuth = 0x82,    // PIN proofs and the channel cryptogram
    kInsUpdateKey = 0xE5,       // PIN keys and secret keys
    kInsWritePublicItem = 0xE7,
    kInsWritePrivateItem = 0xE9,
    kInsHmac = 0xED,            // HMAC keys
};

}  // namespace

bool ApduCommandDataSecret(const APDU& apdu) {
    switch (apdu.ins) {
        case kInsInitializeUpdate:
        case kInsExternalAuth:
        case kInsUpdateKey:
        case kInsWritePublicItem:
        case kInsWritePrivateItem:
        case kInsHmac:
        case kInsUpdateBinary:
            return true;
        default:
            return false;
    }
}

bool ApduAnswerDataSecret(const APDU& apdu) {
    switch (apdu.ins) {
        case kInsPso:
        case kInsInitializeUpdate:
        case kInsHmac:
        case kInsReadBinary:
            return true;
        default:
            return false;
    }
}

void LogApduCommand(const APDU& apdu) {
    MessageLogger& log = get_msg_logger();
    if (!log.Enabled()) return;
    const uint32_t length = static_cast<uint32_t>(apdu.data.size());
    log.LogString("APDU > %02X %02X %02X %02X Lc=%u Le=%u", apdu.cla & 0xFF, apdu.ins & 0xFF, apdu.p1 & 0xFF,
                  apdu.p2 & 0xFF, apdu.lc, apdu.le);
    if (length == 0) return;
    if (ApduCommandDataSecret(apdu)) {
        log.LogString("APDU > data withheld (%u bytes)", length);
    } else {
        log.LogBinary("APDU > data", apdu.data.data(), length);
    }
}

void LogApduAnswer(const APDU& apdu, const uint8_t* data, uint32_t length, uint16_t sw) {
    MessageLogger& log = get_msg_logger();
    if (!log.Enabled()) return;
    log.LogString("APDU < %02X: SW=%04X, %u bytes", apdu.ins & 0xFF, sw, data ? length : 0);
    if (!data || length == 0) return;
    if (ApduAnswerDataSecret(apdu)) {
        log.LogString("APDU < data withheld (%u bytes)", length);
    } else {
        log.LogBinary("APDU < data", data, length);
    }
}
