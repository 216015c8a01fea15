#include "acl.h"

namespace {
struct Mapping {
    CARD_FILE_ACCESS_CONDITION condition;
    uint8_t high;
};
const Mapping kMappings[] = {{InvalidAc, 0x00},       {EveryoneReadUserWriteAc, 0xD0}, {UserWriteExecuteAc, 0x60},
                             {EveryoneReadAdminWriteAc, 0x93}, {UserReadWriteAc, 0xC0}, {AdminReadWriteAc, 0x03}};
}  // namespace

uint16_t CFAC2ACL(uint32_t condition) {
    if (condition == UnknownAc) return 0xFFFF;
    for (const auto& m : kMappings) {
        if (m.condition == condition) return static_cast<uint16_t>(m.high << 8);
    }
    return 0x0000;
}

CARD_FILE_ACCESS_CONDITION ACL2CFAC(uint16_t acl) {
    if (acl & 0x0080) return UnknownAc;
    for (const auto& m : kMappings) {
        if (m.high == acl >> 8) return m.condition;
    }
    return UnknownAc;
}

void GetInternalACL_Tarn(uint16_t acl, uint8_t& out1, uint8_t& out2, uint8_t& out3, uint8_t& out4) {
    struct Bytes {
        uint8_t a, b, c, d;
    };
    Bytes bytes{};
    switch (ACL2CFAC(acl)) {
        case InvalidAc: bytes = {0x00, 0x00, 0x00, 0x00}; break;
        case EveryoneReadUserWriteAc: bytes = {0x90, 0x96, 0x00, 0x96}; break;
        case UserWriteExecuteAc: bytes = {0x9F, 0x96, 0x00, 0x96}; break;
        case EveryoneReadAdminWriteAc: bytes = {0x90, 0xB8, 0x00, 0xB8}; break;
        case UserReadWriteAc: bytes = {0x96, 0x96, 0x00, 0x96}; break;
        case AdminReadWriteAc: bytes = {0xB8, 0xB8, 0x00, 0xB8}; break;
        case UnknownAc:
            if ((acl & 0x1800) != 0x1800) return;
            bytes = {0x90, 0x90, 0x00, 0x96};
            break;
    }
    out1 = bytes.a;
    out2 = bytes.b;
    out3 = bytes.c;
    out4 = bytes.d;
}

uint16_t MakeACL(bool userRead, bool userWrite, bool userExec, bool allRead, bool allWrite, bool allExec,
                 bool adminRead, bool adminWrite, bool adminExec, uint16_t low7) {
    const bool bits[9] = {userRead, userWrite, userExec, allRead, allWrite, allExec, adminRead, adminWrite, adminExec};
    uint16_t acl = low7 & 0x7F;
    for (int i = 0; i < 9; ++i) {
        if (bits[i]) acl |= static_cast<uint16_t>(1u << (15 - i));
    }
    return acl;
}
