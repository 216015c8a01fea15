#include "personalise.h"

#include <openssl/sha.h>

#include <cstring>

#include "kv_provisioning.h"

namespace sim {
namespace {

constexpr size_t kRecordSize = 30;
constexpr size_t kRecords = 50;

struct NamedFile {
    uint16_t fid;  // 0xFFFF: directory
    const char* dir;
    const char* name;
    uint16_t acl;
    uint16_t used;
    uint16_t allocated;
};

void PutLe16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

Bytes RecordFile(const NamedFile* files, size_t n) {
    Bytes table(kRecordSize * kRecords, 0);
    for (size_t i = 0; i < n; ++i) {
        size_t at = i * kRecordSize;
        PutLe16(table, at, files[i].fid);
        std::memcpy(&table[at + 2], files[i].dir, std::min<size_t>(10, std::strlen(files[i].dir)));
        std::memcpy(&table[at + 12], files[i].name, std::min<size_t>(12, std::strlen(files[i].name)));
        PutLe16(table, at + 24, files[i].acl);
        PutLe16(table, at + 26, files[i].used);
        PutLe16(table, at + 28, files[i].allocated);
    }
    return table;
}

ElementaryFile File(Bytes data, uint8_t read, uint8_t write) {
    ElementaryFile f;
    f.data = std::move(data);
    f.readCond = read;
    f.writeCond = write;
    f.extraCond = write;
    return f;
}

}  // namespace

Bytes PinValue(const std::string& pin) {
    Bytes v(24, 0);
    SHA1(reinterpret_cast<const unsigned char*>(pin.data()), pin.size(), v.data());
    uint32_t len = static_cast<uint32_t>(pin.size());
    for (int i = 0; i < 4; ++i) v[20 + i] = static_cast<uint8_t>(len >> (24 - 8 * i));
    return v;
}

TokenState Personalise(const Personalisation& p) {
    TokenState st;
    st.serial = p.serial;
    st.serialIsText = p.serialIsText;
    st.cipher = p.cipher;
    st.secureMessaging = p.secureMessaging;
    st.kEnc.assign(kvprov::kStaticEncKey, kvprov::kStaticEncKey + 16);
    st.kMac.assign(kvprov::kStaticMacKey, kvprov::kStaticMacKey + 16);
    st.capacity = p.capacity;

    const uint16_t kEveryoneReadsUserWrites = 0xD000;
    const uint16_t kEveryoneReadsWrites = 0xDB00;
    const NamedFile named[] = {
        {0xFFFF, "tkinfdir", "", kEveryoneReadsUserWrites, 0, 0},
        {0x2420, "tkinfdir", "tokeninfo", kEveryoneReadsWrites, 48, 48},
        {0xFFFF, "pkcs11", "", kEveryoneReadsUserWrites, 0, 0},
        {0xFFFF, "mscp", "", kEveryoneReadsUserWrites, 0, 0},
        {0x2400, "mscp", "cmapfile", kEveryoneReadsUserWrites, 0, 3072},
        {0xFFFF, "internal", "", kEveryoneReadsUserWrites, 0, 0},
        {0x2440, "internal", "containermap", kEveryoneReadsUserWrites, 24, 384},
    };
    st.files[0x6F01] = File(RecordFile(named, sizeof named / sizeof named[0]), 0x90, 0x90);

    Bytes tokenInfo(48, 0);
    std::memset(tokenInfo.data(), ' ', 32);
    std::memcpy(tokenInfo.data(), p.label.data(), std::min<size_t>(32, p.label.size()));
    st.files[0x2420] = File(tokenInfo, 0x90, 0x90);
    st.files[0x2400] = File(Bytes(3072, 0), 0x90, 0x96);
    Bytes containerMap(384, 0);
    containerMap[0] = 1;
    st.files[0x2440] = File(containerMap, 0x90, 0x96);
    st.files[0x9F00] = File({static_cast<uint8_t>(p.userTries), static_cast<uint8_t>(p.soTries)}, 0x90, 0xB8);

    st.pins[0].value = PinValue(p.userPin);
    st.pins[0].retry = static_cast<uint8_t>((p.userTries & 0xF) << 4 | (p.userTries & 0xF));
    st.pins[1].value = PinValue(p.soPin);
    st.pins[1].retry = static_cast<uint8_t>((p.soTries & 0xF) << 4 | (p.soTries & 0xF));
    return st;
}

}  // namespace sim
