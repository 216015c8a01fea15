// The 16-bit access-condition word of the named file system and its
// conversions to minidriver access conditions and token access bytes.
#ifndef KV_STORAGE_ACL_H
#define KV_STORAGE_ACL_H

#include <cstdint>

// Minidriver file access conditions 0..6.
enum CARD_FILE_ACCESS_CONDITION : uint32_t {
    InvalidAc = 0,
    EveryoneReadUserWriteAc = 1,
    UserWriteExecuteAc = 2,
    EveryoneReadAdminWriteAc = 3,
    UnknownAc = 4,
    UserReadWriteAc = 5,
    AdminReadWriteAc = 6,
};

uint16_t CFAC2ACL(uint32_t condition);
CARD_FILE_ACCESS_CONDITION ACL2CFAC(uint16_t acl);
// The token's create-file access bytes for an ACL word; outputs untouched for
// an unknown word unless everyone may read and write.
void GetInternalACL_Tarn(uint16_t acl, uint8_t& out1, uint8_t& out2, uint8_t& out3, uint8_t& out4);
// Nine role bits (user r/w/x, everyone r/w/x, admin r/w/x) and a 7-bit value.
uint16_t MakeACL(bool userRead, bool userWrite, bool userExec, bool allRead, bool allWrite, bool allExec,
                 bool adminRead, bool adminWrite, bool adminExec, uint16_t low7);

#endif
