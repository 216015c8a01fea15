// CTokenTarn: token information file, owned storage objects, mechanism table.
#include <cstring>

#include "auth_manager_tarn.h"
#include "byte_order.h"
#include "disk_mirror.h"
#include "p11_text.h"
#include "token_tarn.h"

namespace {

const char kInfoDir[] = "tkinfdir";
const char kInfoFile[] = "tokeninfo";
constexpr uint32_t kFlagsOffset = 32;
constexpr uint32_t kTimeOutOffset = 36;
constexpr CK_FLAGS kAlwaysReported = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;

}  // namespace

IFileCache* CTokenTarn::GetFileCache() {
    if (!fileCache_ && parts_.fileCache) {
        uint8_t serial[17] = {};
        std::string dir;
        if (device_ && GetSerialNumber(serial, sizeof serial) == 0) {
            std::string text(reinterpret_cast<char*>(serial), strnlen(reinterpret_cast<char*>(serial), 16));
            while (!text.empty() && text.back() == ' ') text.pop_back();
            dir = DiskMirror::DirFor(text);
        }
        fileCache_ = parts_.fileCache(this, dir, FID_RECORD);
        if (fileCache_) mirrorDir_ = dir;
    }
    return fileCache_.get();
}

IFileSystem* CTokenTarn::GetFileSystem() {
    if (!fileSystem_ && parts_.fileSystem) {
        IFileCache* cache = GetFileCache();
        if (!cache) return nullptr;
        std::unique_ptr<IFileSystem> fs = parts_.fileSystem(cache, this, FID_RECORD);
        if (!fs || fs->Initialize(false) != 0) return nullptr;
        fileSystem_ = std::move(fs);
    }
    return fileSystem_.get();
}

IStore* CTokenTarn::GetStore() {
    if (!store_ && parts_.store) {
        IFileSystem* fs = GetFileSystem();
        if (!fs) return nullptr;
        store_ = parts_.store(fs, this);
    }
    return store_.get();
}

RV CTokenTarn::AllocKeyFID(uint32_t cls, uint32_t keyType, uint16_t* fid) {
    IStore* store = GetStore();
    if (!store || !fid) return CKR_GENERAL_ERROR;
    uint32_t value = *fid;
    RV rv = store->AllocKeyFID(cls, keyType, &value);
    if (rv == 0) *fid = static_cast<uint16_t>(value);
    return rv;
}

RV CTokenTarn::ClearStore() {
    store_.reset();
    fileSystem_.reset();
    fileCache_.reset();
    authManager_.reset();
    return 0;
}

RV CTokenTarn::ReadTokenInfoFile(uint8_t* area) {
    std::memset(area, 0, 64);
    IFileSystem* fs = GetFileSystem();
    if (!fs) return CKR_GENERAL_ERROR;
    ByteVec content;
    RV rv = fs->ReadFile(kInfoDir, kInfoFile, 0, content, nullptr);
    if (rv) return rv;
    if (!content.empty()) std::memcpy(area, content.data(), std::min<size_t>(64, content.size()));
    return content.size() < kTimeOutOffset + 4 ? CKR_DEVICE_ERROR : 0;
}

RV CTokenTarn::WriteTokenInfoField(uint32_t offset, const uint8_t* data, uint32_t length) {
    IFileSystem* fs = GetFileSystem();
    if (!fs) return CKR_GENERAL_ERROR;
    return fs->WriteFile(kInfoDir, kInfoFile, offset, data, length, nullptr);
}

RV CTokenTarn::GetTokenInfo(CK_TOKEN_INFO* info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    uint8_t area[64];
    RV rv = ReadTokenInfoFile(area);
    if (rv) return rv;
    CK_TOKEN_INFO t;
    std::memset(&t, 0, sizeof t);
    std::memcpy(t.label, area, 32);
    P11_StrToArray(t.manufacturerID, "Korvanite", sizeof t.manufacturerID);
    P11_StrToArray(t.model, "QuenvelTarn", sizeof t.model);
    uint8_t serial[17] = {};
    if (GetSerialNumber(serial, sizeof serial) != 0) return CKR_DEVICE_ERROR;
    std::memcpy(t.serialNumber, serial, 16);
    t.flags = LoadLe32(area + kFlagsOffset) | kAlwaysReported;
    t.ulMaxPinLen = 255;
    t.ulMinPinLen = 8;
    uint8_t memory[16];
    uint32_t len = sizeof memory;
    if (cmdGetData(0x82, memory, &len) != 0 || len < 5) return CKR_DEVICE_ERROR;
    t.ulTotalPublicMemory = CK_ULONG(memory[3]) * 1024;
    t.ulFreePublicMemory = CK_ULONG(memory[4]) * 1024;
    uint8_t version[32];
    len = sizeof version;
    if (cmdGetData(0x83, version, &len) != 0 || len < 14) return CKR_DEVICE_ERROR;
    const uint8_t v = version[12];
    if (v == 1 && version[13] == 0) {
        t.hardwareVersion = t.firmwareVersion = CK_VERSION{1, 0};
    } else {
        t.hardwareVersion = t.firmwareVersion = CK_VERSION{static_cast<CK_BYTE>(v >> 4), static_cast<CK_BYTE>(v & 0x0F)};
    }
    *info = t;
    return 0;
}

RV CTokenTarn::SetTokenInfoLabel(const uint8_t* label) {
    if (!label) return CKR_ARGUMENTS_BAD;
    uint8_t field[32];
    std::memset(field, ' ', sizeof field);
    size_t n = strnlen(reinterpret_cast<const char*>(label), 32);
    std::memcpy(field, label, n <= 31 ? n : 32);
    return WriteTokenInfoField(0, field, sizeof field);
}

RV CTokenTarn::GetTokenInfoFlag(uint32_t* flags) {
    uint8_t area[64];
    RV rv = ReadTokenInfoFile(area);
    if (rv) return rv;  // never report unread flags as 0
    *flags = LoadLe32(area + kFlagsOffset);
    return 0;
}

RV CTokenTarn::SetTokenInfoFlag(uint32_t flags) {
    uint8_t b[4];
    StoreLe32(b, flags);
    return WriteTokenInfoField(kFlagsOffset, b, 4);
}

RV CTokenTarn::GetTimeOut(uint32_t* value) {
    uint8_t area[64];
    RV rv = ReadTokenInfoFile(area);
    if (rv) return rv;  // an unread time-out is not "no time-out"
    *value = LoadLe32(area + kTimeOutOffset);
    return 0;
}

RV CTokenTarn::SetTimeOut(uint32_t value) {
    uint8_t b[4];
    StoreLe32(b, value);
    return WriteTokenInfoField(kTimeOutOffset, b, 4);
}

RV CTokenTarn::InitMechanism() {
    if (mechanismsLoaded_) return 0;
    uint8_t answer[2048];
    uint32_t len = sizeof answer;
    RV rv = cmdGetData(0x85, answer, &len);
    if (rv) return rv;
    MechanismTable table;
    if (!BuildMechanismTable(answer, len, table)) return CKR_DEVICE_ERROR;
    mechanisms_ = table.info;
    hardwareMechanisms_ = table.hardware;
    rsaLengthCapability_ = table.rsaLengthBits;
    mechanismsLoaded_ = true;
    return 0;
}

RV CTokenTarn::GetMechanismList(CK_MECHANISM_TYPE* list, CK_ULONG* count) {
    if (!count) return CKR_ARGUMENTS_BAD;
    if (InitMechanism() != 0) return CKR_DEVICE_ERROR;
    const CK_ULONG n = mechanisms_.size();
    if (!list) {
        *count = n;
        return 0;
    }
    if (*count < n) {
        *count = n;
        return RV_BUFFER_TOO_SMALL;
    }
    CK_ULONG i = 0;
    for (const auto& entry : mechanisms_) list[i++] = entry.first;
    *count = n;
    return 0;
}

RV CTokenTarn::GetMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    if (InitMechanism() != 0) return CKR_DEVICE_ERROR;
    auto it = mechanisms_.find(type);
    if (it == mechanisms_.end()) return CKR_MECHANISM_INVALID;
    *info = it->second;
    return 0;
}

RV CTokenTarn::GetMechanismHW(uint32_t* list, uint32_t* count) {
    RV rv = InitMechanism();
    if (rv) return rv;
    if (!count) return CKR_ARGUMENTS_BAD;
    const uint32_t capacity = *count;
    *count = static_cast<uint32_t>(hardwareMechanisms_.size());
    if (capacity <= hardwareMechanisms_.size() || !list) return CKR_ARGUMENTS_BAD;
    std::copy(hardwareMechanisms_.begin(), hardwareMechanisms_.end(), list);
    return 0;
}

bool CTokenTarn::IsHardwareSupportAlg(CK_MECHANISM_TYPE type) {
    if (InitMechanism() != 0) return false;
    for (uint32_t t : hardwareMechanisms_) {
        if (t == type) return true;
    }
    return false;
}

RV CTokenTarn::GetAlgRSALen(uint8_t* bits) {
    if (bits) *bits = rsaLengthCapability_;
    return 0;
}

RV CTokenTarn::ClearLocalFileCache() {
    IFileSystem* fs = GetFileSystem();
    if (!fs) return CKR_GENERAL_ERROR;
    fs->Initialize(true);
    return 0;
}

RV CTokenTarn::ClearContainerMapFile() {
    if (!GetFileSystem()) return CKR_GENERAL_ERROR;
    static const uint8_t zeros[3072] = {};
    RV rv = WriteBinary(FID_FIRST_NAMED, 0, zeros, sizeof zeros, nullptr);
    fileCache_->NoteDirectWrite(FID_FIRST_NAMED);
    return rv;
}
