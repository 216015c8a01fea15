// Everything above the device layer talks to a token through IToken.
// Operations of command families that the token object does not provide
// answer RV_NOT_SUPPORTED here.
#ifndef KV_TOKEN_ITOKEN_H
#define KV_TOKEN_ITOKEN_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kv_dev.h"
#include "kv_types.h"

class IFileCache;
class IFileSystem;
class IStore;
class IAuthManager;
class AlgFactory;

// How long a write counter read by any process sharing the token stands
// for the token's own (IToken::RecentWriteCount).
constexpr uint64_t kCounterWindowMs = 2000;

class IToken {
public:
    IToken() = default;
    virtual ~IToken();
    IToken(const IToken&) = delete;
    IToken& operator=(const IToken&) = delete;

    virtual int Init(kv_dev_t*) { return 0; }
    virtual RV ConnectAndSetenv() = 0;
    virtual bool IsCorrectStore() = 0;
    virtual RV Lock() = 0;
    virtual RV Unlock() = 0;
    virtual RV ClearContainerMapFile() { return RV_NOT_SUPPORTED; }
    virtual RV GetMechanismList(CK_MECHANISM_TYPE*, CK_ULONG*) { return RV_NOT_SUPPORTED; }
    virtual RV GetMechanismInfo(CK_MECHANISM_TYPE, CK_MECHANISM_INFO*) { return RV_NOT_SUPPORTED; }
    virtual RV GenerateRandom(uint8_t* buffer, uint32_t length) = 0;
    // Serial number text into a buffer of 17 bytes.
    virtual RV GetSerialNumber(uint8_t* buffer, uint32_t capacity) = 0;
    virtual RV LowLevelPKIInit(const void* parameters) = 0;
    virtual bool IsOldKey() = 0;
    virtual RV GetTokenInfoFlag(uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV VerifyPIN(uint32_t, const uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ReloadUserPin(uint32_t, const uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ChangePIN(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV GetCachedPin(uint8_t* buffer);
    virtual RV CacheUPin(const uint8_t* pin, uint32_t length);
    virtual RV CreateRSAReference(uint32_t, uint32_t, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV RSAGenerateKeyPair(uint32_t, uint32_t, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV RSAWritePubKey(uint32_t, const ByteVec&, const ByteVec&) { return RV_NOT_SUPPORTED; }
    virtual RV RSAWritePrvKey(uint32_t, const ByteVec&, const ByteVec&, const ByteVec&, bool) {
        return RV_NOT_SUPPORTED;
    }
    virtual RV RSAWritePrvKey(uint32_t, const ByteVec&, const ByteVec&, const ByteVec&, const ByteVec&,
                              const ByteVec&, const ByteVec&, const ByteVec&, bool) {
        return RV_NOT_SUPPORTED;
    }
    virtual RV RSASign(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV RSAPrvRawCipher(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV RSAReadPubKey(uint32_t, uint8_t*, uint32_t*, uint8_t*, uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV CreateECCReference(uint32_t, uint32_t, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ECCGenerateKeyPair(uint32_t, uint32_t, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ECCWritePrvKey(uint32_t, const uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ECCWritePubKey(uint32_t, const uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ECCReadPubKey(uint32_t, uint8_t*, uint32_t*, uint8_t*, uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV ECCSign(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ECCDecrypt(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV AES_ECB_OP(uint32_t, const uint8_t*, uint8_t*, uint32_t, bool) { return RV_NOT_SUPPORTED; }
    virtual RV DES_ECB_OP(uint32_t, const uint8_t*, uint8_t*, uint32_t, bool) { return RV_NOT_SUPPORTED; }
    virtual RV AES_Encrypt_CBC(uint32_t, uint8_t*, const uint8_t*, uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV AES_Decrypt_CBC(uint32_t, uint8_t*, const uint8_t*, uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV DES_Encrypt_CBC(uint32_t, uint8_t*, const uint8_t*, uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV DES_Decrypt_CBC(uint32_t, uint8_t*, const uint8_t*, uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV UpdateKey(uint32_t, const uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV ReadBinary(uint16_t fid, uint8_t* buffer, uint32_t offset, uint32_t length, uint32_t* fileSize) = 0;
    virtual RV WriteBinary(uint16_t fid, uint32_t offset, const uint8_t* data, uint32_t length,
                           uint32_t* fileSize) = 0;
    virtual RV GetFileSize(uint16_t fid, uint32_t* size) = 0;
    virtual RV SelectFile(uint16_t fid) = 0;
    virtual RV CreateFile(uint16_t fid, uint32_t size, uint8_t access1, uint8_t access2, uint8_t access3) = 0;
    virtual RV DeleteFile(uint16_t fid) = 0;
    virtual RV Sha1Hmac(const uint8_t*, uint32_t, uint8_t*) { return 0; }
    virtual RV GetAlgRSALen(uint8_t*) { return RV_NOT_SUPPORTED; }
    virtual RV GetMechanismHW(uint32_t*, uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual bool IsHardwareSupportAlg(CK_MECHANISM_TYPE) { return false; }
    virtual IFileCache* GetFileCache() { return nullptr; }
    virtual IFileSystem* GetFileSystem() { return nullptr; }
    virtual IStore* GetStore() { return nullptr; }
    virtual RV ClearStore() { return RV_NOT_SUPPORTED; }
    virtual IAuthManager* GetAuthManager() { return nullptr; }
    virtual AlgFactory* GetAlgFactory() { return nullptr; }
    virtual RV GetTokenInfo(CK_TOKEN_INFO*) { return RV_NOT_SUPPORTED; }
    virtual RV SetTokenInfoLabel(const uint8_t*) { return RV_NOT_SUPPORTED; }
    virtual RV SetTokenInfoFlag(uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV GetTimeOut(uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV SetTimeOut(uint32_t) { return RV_NOT_SUPPORTED; }
    // The token's write counter, read from the token.
    virtual RV GetWriteCount(uint32_t* count) = 0;
    // The write counter as the processes sharing the token know it: read
    // from the token only when nobody recorded it, a process of the family
    // may have written since, or its last read is older than
    // kCounterWindowMs (writers outside the family are seen within it).
    // fresh (when given) tells whether the token was asked.
    virtual RV RecentWriteCount(uint32_t* count, bool* fresh = nullptr) {
        if (fresh) *fresh = true;
        return GetWriteCount(count);
    }
    // A call that is going to write: its first counter comes from the token,
    // so that it decides on what the token holds now.
    virtual void RequireFreshCounter() {}
    // Called once at the end of a lock scope in which this object sent a
    // command that may have written, while the scope's lock is still held.
    // False when the token cannot tell (the handler is then never called).
    virtual bool SetScopeEnd(std::function<void()> handler) {
        (void)handler;
        return false;
    }
    virtual RV ClearLocalFileCache() { return RV_NOT_SUPPORTED; }
    virtual RV AllocKeyFID(uint32_t, uint32_t, uint16_t*) { return RV_NOT_SUPPORTED; }
    // Key files of a key being made are noted before they are created and
    // settled once a stored object names them (or they are deleted); each
    // key creation first sweeps away the noted files of creations cut short.
    virtual void NoteKeyFile(uint16_t) {}
    virtual void SettleKeyFile(uint16_t) {}
    virtual void SweepKeyFiles() {}
    // The key files the sweeps deleted since the last call: the container
    // maps may still name them.
    virtual std::vector<uint16_t> TakeSweptKeyFiles() { return {}; }
    virtual RV SetTries(uint32_t, uint32_t, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual bool IsLogIn() { return false; }
    // Whether the token this object was connected to still answers, and as
    // the same token (its identification data unchanged): one command.
    virtual bool StillSameToken() { return false; }
    virtual RV GetHash(uint32_t, const uint8_t*, uint32_t, uint8_t*) { return RV_NOT_SUPPORTED; }
    virtual RV SetHmacKeyValue(const uint8_t*, uint32_t) { return RV_NOT_SUPPORTED; }
    virtual RV GetHmacResult(const uint8_t*, uint32_t, uint8_t*, uint32_t*) { return RV_NOT_SUPPORTED; }
    virtual RV GetFileList(std::vector<uint16_t>&) { return RV_NOT_SUPPORTED; }
    virtual RV GetFreePublicSize(uint32_t*) { return RV_NOT_SUPPORTED; }

    // Number of the outermost Lock/Unlock pair in progress; 0 while unlocked.
    virtual uint64_t LockScope() const { return 0; }

    kv_dev_t* GetDev() const { return device_; }
    // Deletes the previously bound device, then binds the new one (owned).
    void SetDev(kv_dev_t* device);
    bool IsSame(const kv_dev_t* device) const { return device == device_; }
    std::string GetSymbolLink() const { return std::string(); }
    RV PushTempDev(kv_dev_t*) { return CKR_DEVICE_ERROR; }
    kv_dev_t* PopTempDev() { return nullptr; }

protected:
    uint8_t cachedPin_[24] = {};
    std::map<CK_MECHANISM_TYPE, CK_MECHANISM_INFO> mechanisms_;
    uint32_t cachedPinLen_ = 0;
    kv_dev_t* device_ = nullptr;
};

// Tokens are created by the slot; the factory only keeps its interface.
class TokenFactory {
public:
    static bool RegisterTokenCallback(void*) { return true; }
    static IToken* CreateToken(kv_dev_t*) { return nullptr; }
};

#endif
