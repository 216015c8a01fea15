// The token object of this token: command APDUs over kv_dev_t with the
// secure channel, split by command family over several source files.
#ifndef KV_TOKEN_TOKEN_TARN_H
#define KV_TOKEN_TOKEN_TARN_H

#include <map>

#include <memory>

#include "apdu.h"
#include "apdu_commands.h"
#include "ifile_cache.h"
#include "ifile_system.h"
#include "istore.h"
#include "itoken.h"
#include "mechanism_table.h"
#include "result_codes.h"
#include "sm_session.h"
#include "token_parts.h"

class AuthManagerTarn;
class DiskMirror;
class ProcessLock;

class CTokenTarn : public IToken {
public:
    static constexpr uint32_t kBuffer = 4096;
    // Key kinds of the key-file and signing commands.
    static constexpr uint32_t kKindRsa = 1;
    static constexpr uint32_t kKindEc = 2;

    // Without parts the token answers commands only: no factory, cache,
    // file system or store (the command-level tests use it so).
    explicit CTokenTarn(TokenParts parts = {});
    ~CTokenTarn() override;

    int Init(kv_dev_t* device) override;
    RV ConnectAndSetenv() override;
    bool IsCorrectStore() override;
    RV Lock() override;
    RV Unlock() override;
    uint64_t LockScope() const override { return lockDepth_ ? lockEpoch_ : 0; }
    RV LowLevelPKIInit(const void* parameters) override;
    bool IsOldKey() override { return keyGeneration_ != 0x88; }

    // File commands.
    RV ReadBinary(uint16_t fid, uint8_t* buffer, uint32_t offset, uint32_t length, uint32_t* fileSize) override;
    RV WriteBinary(uint16_t fid, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* fileSize) override;
    RV GetFileSize(uint16_t fid, uint32_t* size) override;
    RV SelectFile(uint16_t fid) override;
    RV CreateFile(uint16_t fid, uint32_t size, uint8_t access1, uint8_t access2, uint8_t access3) override;
    RV DeleteFile(uint16_t fid) override;
    RV GetFileList(std::vector<uint16_t>& list) override;
    RV GenerateRandom(uint8_t* buffer, uint32_t length) override;
    RV GetSerialNumber(uint8_t* buffer, uint32_t capacity) override;
    RV GetFreePublicSize(uint32_t* size) override;
    RV GetWriteCount(uint32_t* count) override;
    RV RecentWriteCount(uint32_t* count, bool* fresh = nullptr) override;
    void RequireFreshCounter() override { counterFreshNeeded_ = true; }
    bool SetScopeEnd(std::function<void()> handler) override {
        scopeEnd_ = std::move(handler);
        return true;
    }

    // Key files, key pairs, key parts and public keys.
    RV CreateRSAReference(uint32_t publicFid, uint32_t privateFid, uint32_t bits) override;
    RV CreateECCReference(uint32_t publicFid, uint32_t privateFid, uint32_t bits) override;
    RV RSAGenerateKeyPair(uint32_t publicFid, uint32_t privateFid, uint32_t bits) override;
    RV ECCGenerateKeyPair(uint32_t publicFid, uint32_t privateFid, uint32_t bits) override;
    RV RSAWritePubKey(uint32_t fid, const ByteVec& modulus, const ByteVec& exponent) override;
    RV RSAWritePrvKey(uint32_t fid, const ByteVec& modulus, const ByteVec& privateExponent,
                      const ByteVec& publicExponent, bool withPublic) override;
    using IToken::RSAWritePrvKey;
    RV ECCWritePrvKey(uint32_t fid, const uint8_t* key, uint32_t length) override;
    RV ECCWritePubKey(uint32_t fid, const uint8_t* key, uint32_t length) override;
    RV UpdateKey(uint32_t keyNumber, const uint8_t* key, uint32_t length) override;
    RV RSAReadPubKey(uint32_t fid, uint8_t* modulus, uint32_t* modulusLen, uint8_t* exponent,
                     uint32_t* exponentLen) override;
    RV ECCReadPubKey(uint32_t fid, uint8_t* x, uint32_t* xLen, uint8_t* y, uint32_t* yLen) override;
    RV cmdCreateAsymKeyPubFile(uint32_t fid, uint32_t kind, uint32_t bits);
    RV cmdCreateAsymKeyPriFile(uint32_t fid, uint32_t kind, uint32_t bits);
    RV cmdWriteKeyItem(uint8_t ins, uint32_t fid, const uint8_t* data, uint32_t length, uint8_t part);

    // Security operations with token keys.
    RV RSASign(uint32_t fid, const uint8_t* message, uint32_t length, uint8_t* output, uint32_t* outLen,
               uint32_t mechanism) override;
    RV ECCSign(uint32_t fid, const uint8_t* message, uint32_t length, uint8_t* output, uint32_t* outLen,
               uint32_t mechanism) override;
    RV RSAPrvRawCipher(uint32_t fid, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen) override;
    RV ECCDecrypt(uint32_t fid, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* outLen) override;
    RV GetHash(uint32_t mechanism, const uint8_t* message, uint32_t length, uint8_t* output) override;
    RV AES_ECB_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt) override;
    RV DES_ECB_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt) override;
    RV AES_Encrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) override;
    RV AES_Decrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) override;
    RV DES_Encrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) override;
    RV DES_Decrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length) override;
    RV GetHmacResult(const uint8_t* data, uint32_t length, uint8_t* output, uint32_t* outLen) override;
    RV SetHmacKeyValue(const uint8_t*, uint32_t) override { return 0; }
    // MANAGE SECURITY ENVIRONMENT with an algorithm and a key file (81 02) or a secret key number (83 01).
    RV cmdSetMSE(uint8_t p1, uint8_t p2, uint8_t algorithm, uint32_t reference, bool secretKey);
    // PERFORM SECURITY OPERATION; the answer goes to out (capacity *outLen) when out is given.
    RV cmdPSO(apdu::PsoKind kind, const uint8_t* data, uint32_t length, uint32_t le, uint8_t* out, uint32_t* outLen);
    // MSE for a hash-and-sign, then the token hashes (90 80) or finishes a hash begun here (90 A0).
    RV cmdSetHash(uint32_t fid, const uint8_t* message, uint32_t length, uint32_t mechanism, uint32_t kind,
                  uint8_t* output);
    RV cmd_Symmetric_Alg_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length,
                            uint8_t algorithm, uint32_t block, bool encrypt);

    // Token information, configuration and mechanisms.
    IFileCache* GetFileCache() override;
    IFileSystem* GetFileSystem() override;
    IStore* GetStore() override;
    AlgFactory* GetAlgFactory() override { return algFactory_.get(); }
    RV ClearStore() override;
    RV AllocKeyFID(uint32_t cls, uint32_t keyType, uint16_t* fid) override;
    void NoteKeyFile(uint16_t fid) override;
    void SettleKeyFile(uint16_t fid) override;
    void SweepKeyFiles() override;
    std::vector<uint16_t> TakeSweptKeyFiles() override;
    RV GetTokenInfo(CK_TOKEN_INFO* info) override;
    RV SetTokenInfoLabel(const uint8_t* label) override;
    RV GetTokenInfoFlag(uint32_t* flags) override;
    RV SetTokenInfoFlag(uint32_t flags) override;
    RV GetTimeOut(uint32_t* value) override;
    RV SetTimeOut(uint32_t value) override;
    RV GetMechanismList(CK_MECHANISM_TYPE* list, CK_ULONG* count) override;
    RV GetMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) override;
    RV GetMechanismHW(uint32_t* list, uint32_t* count) override;
    bool IsHardwareSupportAlg(CK_MECHANISM_TYPE type) override;
    RV GetAlgRSALen(uint8_t* bits) override;
    RV ClearLocalFileCache() override;
    RV ClearContainerMapFile() override;

    // PIN and authentication.
    IAuthManager* GetAuthManager() override;
    bool IsLogIn() override { return userLoggedIn_ || soLoggedIn_; }
    bool StillSameToken() override;
    RV VerifyPIN(uint32_t ref, const uint8_t* data, uint32_t length) override;
    RV ChangePIN(uint32_t ref, const uint8_t* oldValue, uint32_t oldLength, const uint8_t* newValue,
                 uint32_t newLength) override;
    RV ReloadUserPin(uint32_t ref, const uint8_t* value, uint32_t length) override;
    RV SetTries(uint32_t ref, uint32_t maximum, uint32_t remaining) override;
    uint16_t cmdExternalAuth(uint8_t p2, const uint8_t* value24);
    // Probes the retry counter; tries (if given) receives x of 63Cx.
    uint16_t cmdGetPinErrCount(uint8_t p2, uint8_t* tries);
    RV cmdUpdateExternalAuthKey(uint8_t keyNumber, const uint8_t* key, uint32_t length, uint32_t maximum,
                                uint32_t remaining);
    RV GetPinMaxTries(uint32_t ref, uint8_t* tries);
    RV GetPinLeftTries(uint32_t ref, uint8_t* tries);
    RV SetUserTokenInfoFlag(uint16_t status, bool changed);
    RV SetSoTokenInfoFlag(uint16_t status, bool changed);
    bool UserLoggedIn() const { return userLoggedIn_; }
    bool SoLoggedIn() const { return soLoggedIn_; }

    // GET DATA 00 CA 01 tag into buffer (capacity in, length out); answers
    // of every tag but 0x82 and 0x86 are cached for the life of the object.
    RV cmdGetData(uint8_t tag, uint8_t* buffer, uint32_t* length);

    // One command through the secure channel: the status word, or one of
    // the exchange's own (kSwLockOrConnect, kSwExchange, kSwEncoding). out
    // (if given) holds *outLength bytes on entry; on 9000 it receives the
    // plain answer data and *outLength its length.
    uint16_t im_TransmitAPDU(const APDU& apdu, uint8_t* out, uint32_t* outLength, bool expectData);
    RV im_BuildSafeAPDU(const APDU& apdu, uint8_t* buffer, uint32_t* length, bool expectData);
    RV GetInitKey(const uint8_t* kEnc, const uint8_t* kMac);
    RV ReSelectADF();

    bool SecureMessaging() const { return secureMessaging_; }
    // Changes whenever the token's channel or selection was made again (a
    // reset, a lost channel): a challenge asked before is void after it.
    uint64_t ChannelEpoch() const { return channelEpoch_; }
    bool Ready() const { return ready_; }
    bool Connected() const { return connected_; }
    SessionCipher Cipher() const { return session_.Cipher(); }

protected:
    uint32_t BlockLength() const { return maxBlock_ - 64; }
    // New channel, application selected, and (relogin) the cached PIN presented.
    RV Reselect(bool relogin);
    // After a channel reopening or a reset inside an exchange, what the
    // command relies on that the token may no longer hold (another
    // application may have selected or set its own meanwhile): a command on
    // the current file gets its file (file: selected before the exchange)
    // selected again; a security operation, whose environment may now be
    // another's, is not sent again (CKR_DEVICE_ERROR). 0: send it again.
    RV RestoreContext(const APDU& apdu, uint16_t file);
    // The cached PIN value presented again for the logged-in reference, as a
    // recovery step inside an exchange: the token's PIN flags are neither
    // read nor written, so nothing above the exchange (the file cache, which
    // may be half-way through an operation) is entered.
    RV PresentCachedPin();
    // On taking the cross-process lock: when another process opened its own
    // channel since this object's, reopen before the first command.
    void ResumeChannel();
    // The cross-process lock for the rest of the current lock scope.
    RV HoldProcessLock();
    // DELETE FILE (a missing file is fine), then CREATE FILE with the control parameters.
    RV CreateFileWithFcp(uint32_t fid, const ByteVec& fcp);
    RV CreateKeyFiles(uint32_t publicFid, uint32_t privateFid, uint32_t bits, uint32_t kind);
    RV GenerateKeyPair(uint32_t publicFid, uint32_t privateFid, uint32_t bits, uint32_t kind);
    RV ReadPublicKey(uint32_t fid, ByteVec& answer);
    RV PrivateDecipher(uint32_t fid, uint8_t algorithm, const uint8_t* input, uint32_t length, uint8_t* output,
                       uint32_t* outLen);
    RV ECB_OP(uint32_t keyNumber, const uint8_t* input, uint8_t* output, uint32_t length, uint8_t algorithm,
              uint32_t block, bool encrypt);
    RV Encrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length,
                   uint8_t algorithm, uint32_t block);
    RV Decrypt_CBC(uint32_t keyNumber, uint8_t* iv, const uint8_t* input, uint8_t* output, uint32_t length,
                   uint8_t algorithm, uint32_t block);
    RV InitMechanism();
    // Reads the token information file into a zeroed 64-byte area.
    RV ReadTokenInfoFile(uint8_t* area);
    RV WriteTokenInfoField(uint32_t offset, const uint8_t* data, uint32_t length);
    // Status of a failed PIN command: the token's own 63Cx/6983, else the probe's.
    uint16_t PinFailureStatus(uint16_t sw, uint8_t p2);
    RV UpdateTokenFlags(uint16_t status, bool changed, bool user);
    // The noted key files of this process, and their copy on the phone.
    DiskMirror PendingMirror();

    uint8_t keyGeneration_ = 0;
    std::map<uint8_t, ByteVec> getDataCache_;
    SmSession session_;
    bool secureMessaging_ = true;
    uint8_t rsaLengthCapability_ = 0;
    uint32_t maxBlock_ = 400;
    bool connected_ = false;
    bool userLoggedIn_ = false;
    bool soLoggedIn_ = false;
    bool mechanismsLoaded_ = false;
    bool ready_ = false;
    std::string namePrefix_;
    const TokenParts parts_;
    std::string mirrorDir_;  // the file cache's phone mirror, once the cache is made
    std::unique_ptr<IFileCache> fileCache_;
    std::unique_ptr<IFileSystem> fileSystem_;
    std::unique_ptr<AuthManagerTarn> authManager_;
    std::unique_ptr<IStore> store_;
    std::shared_ptr<AlgFactory> algFactory_;
    std::vector<uint32_t> hardwareMechanisms_;
    std::vector<uint16_t> pendingKeys_;
    std::vector<uint16_t> sweptKeys_;  // deleted by a sweep, not yet taken
    uint32_t lockDepth_ = 0;
    uint64_t lockEpoch_ = 0;
    ProcessLock* processLock_ = nullptr;  // held from the scope's first command to its end
    // The lock's record may hold a known write counter: from the taking of
    // the lock, or this process's last read, until a write command marks it
    // unknown.
    bool recordMayBeKnown_ = false;
    bool wroteInScope_ = false;  // a command that may write was sent in this lock scope
    bool endingScope_ = false;
    std::function<void()> scopeEnd_;
    // After a connection or a new secure channel (a reset, maybe another
    // token) the next counter comes from the token.
    bool counterFreshNeeded_ = true;
    // Before a command that may write: the lock's record says unknown.
    void NoteWriteCommand(const APDU& apdu);
    // GET DATA answers kept on the phone (see cmdGetData).
    bool KeptAnswer(uint8_t tag, uint8_t* buffer, uint32_t* length);
    void KeepAnswer(uint8_t tag, const uint8_t* answer, uint32_t length);
    // The counter in a GET DATA 0x86 answer (85 0A, two bytes big-endian).
    static bool CounterIn(const uint8_t* answer, uint32_t len, uint32_t& count);
    // A counter just read from the token, for this process and the lock's record.
    void RecordWriteCount(uint32_t count);
    uint64_t channelId_ = 0;              // this object's channel on the token; 0: none known
    // Counts channel openings and selections of the application: what the
    // token's security environment held before them is gone.
    uint64_t channelEpoch_ = 0;
    // The file the last successful SELECT by FID made current (0: none yet).
    uint16_t selectedFid_ = 0;
    // The last secret-key security environment set, in which lock scope and
    // on which channel.
    ByteVec lastMse_;
    // The last file list and when it was read (see GetFileList).
    std::vector<uint16_t> fileList_;
    bool fileListKnown_ = false, wroteSinceList_ = false;
    uint64_t fileListEpoch_ = 0, fileListChannel_ = 0;
    uint64_t lastMseEpoch_ = 0, lastMseChannel_ = 0;
};

#endif
