// Log records of the APDU exchange, written only while the logger is on:
// the plain command before secure messaging wraps it and the unwrapped
// answer. The data of PIN, channel and key commands, of security operations
// (what a token key enciphers may be a session key), of file contents (the
// object files hold key values) and of answers that may carry key material
// are left out; only their length is recorded. Status words carry a short
// text of their meaning.
#ifndef KV_TOKEN_APDU_LOG_H
#define KV_TOKEN_APDU_LOG_H

#include <cstdint>

#include "apdu.h"

// Whether the data of this command, or of its answer, stays out of the log.
bool ApduCommandDataSecret(const APDU& apdu);
bool ApduAnswerDataSecret(const APDU& apdu);

void LogApduCommand(const APDU& apdu);
void LogApduAnswer(const APDU& apdu, const uint8_t* data, uint32_t length, uint16_t sw);
// A command whose answer never came (sw: one of the exchange's own codes),
// logged once where the exchange gives up.
void LogApduFailure(const APDU& apdu, uint16_t sw);

#endif
