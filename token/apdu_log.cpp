#include "apdu_log.h"

#include "apdu_commands.h"
#include "logger.h"
#include "result_codes.h"

// Withheld: the channel opening, PIN proofs and the channel cryptogram, PIN
// and secret keys, key parts, HMAC input, file contents (object files hold
// key values) and the data of security operations (what is enciphered with
// a token key may be a session key); in answers also deciphered data.
bool ApduCommandDataSecret(const APDU& apdu) {
    switch (apdu.ins) {
        case apdu::kInsInitializeUpdate:
        case apdu::kInsExternalAuthenticate:
        case apdu::kInsUpdateKey:
        case apdu::kInsWriteRsaItem:
        case apdu::kInsWriteEcItem:
        case apdu::kInsHmac:
        case apdu::kInsUpdateBinary:
        case apdu::kInsPso:
            return true;
        default:
            return false;
    }
}

bool ApduAnswerDataSecret(const APDU& apdu) {
    switch (apdu.ins) {
        case apdu::kInsPso:
        case apdu::kInsInitializeUpdate:
        case apdu::kInsHmac:
        case apdu::kInsReadBinary:
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
    const char* text = StatusWordText(sw);
    log.LogString("APDU < %02X: SW=%04X %s, %u bytes", apdu.ins & 0xFF, sw, text ? text : "unknown status",
                  data ? length : 0);
    if (!data || length == 0) return;
    if (ApduAnswerDataSecret(apdu)) {
        log.LogString("APDU < data withheld (%u bytes)", length);
    } else {
        log.LogBinary("APDU < data", data, length);
    }
}

void LogApduFailure(const APDU& apdu, uint16_t sw) {
    MessageLogger& log = get_msg_logger();
    if (!log.Enabled()) return;
    const char* what = sw == kSwEncoding ? "the command could not be encoded"
                       : sw == kSwExchange ? "the device exchange or re-selection failed"
                       : sw == kSwTokenGone ? "the card is gone"
                       : sw == kSwDeviceGone ? "the device is gone"
                                           : "lock, connection or secure channel failed";
    log.LogString("APDU ! %02X %02X %02X %02X: %s", apdu.cla & 0xFF, apdu.ins & 0xFF, apdu.p1 & 0xFF, apdu.p2 & 0xFF,
                  what);
}
