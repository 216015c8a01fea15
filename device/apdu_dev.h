// A device that carries whole APDUs (CCID, PC/SC): the rules of the exchange
// that do not depend on the carrier. An answer 61xx ("more data waiting") is
// followed with the token's GET RESPONSE, 00 0C 00 00 00, until another
// status comes; the data of the last answer is the command's.
#ifndef KV_DEVICE_APDU_DEV_H
#define KV_DEVICE_APDU_DEV_H

#include "kv_dev.h"

class apdu_dev_t : public kv_dev_base {
public:
    static constexpr uint32_t kResponseMax = 4096;  // data + SW of one exchange
    static constexpr int kMaxFetchRounds = 32;      // 61xx answers followed at most

    using kv_dev_base::kv_dev_base;

    RV Transmit(const uint8_t* command, uint32_t commandLen, uint8_t* response, uint32_t* responseLen,
                uint8_t* sw1, uint8_t* sw2) final;

protected:
    // One command and its whole answer (data and SW) into buffer, which
    // holds kResponseMax bytes; received: the answer's length. 0, or the
    // result the exchange ends with (CKR_DATA_LEN_RANGE for a command the
    // carrier cannot take, sent nothing).
    virtual RV Exchange(const uint8_t* command, uint32_t length, uint8_t* buffer, uint32_t& received) = 0;
};

#endif
