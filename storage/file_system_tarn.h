// The named file system over the record file, through the file cache.
#ifndef KV_STORAGE_FILE_SYSTEM_TARN_H
#define KV_STORAGE_FILE_SYSTEM_TARN_H

#include "file_record.h"
#include "ifile_cache.h"
#include "ifile_system.h"

class IToken;

class CFileSystemTarn : public IFileSystem {
public:
    CFileSystemTarn(IFileCache* cache, IToken* token, uint16_t recordFid = 0x6F01);

    RV DeleteFileByFID(uint16_t fid) override;
    IAuthManager* GetAuthManager() override;
    bool Outdated(const std::string& dir, uint32_t count) override;
    bool Outdated(const std::string& dir, const std::string& name, uint32_t count) override;
    RV CreateDirectory(const std::string& name, uint16_t acl, uint32_t* out) override;
    RV DeleteDirectory(const std::string& name) override;
    RV EnumFiles(const std::string& dir, std::vector<std::string>& dirs, std::vector<std::string>& files,
                 uint32_t* out) override;
    RV CreateFile(const std::string& dir, const std::string& name, uint32_t used, uint32_t allocated, uint16_t acl,
                  uint32_t* count) override;
    RV CreateFileWith(const std::string& dir, const std::string& name, const uint8_t* data, uint32_t length,
                      uint16_t acl, uint32_t* count) override;
    RV ReplaceFile(const std::string& dir, const std::string& name, const uint8_t* data, uint32_t length,
                   uint32_t* count) override;
    RV DeleteFile(const std::string& dir, const std::string& name) override;
    RV WriteFile(const std::string& dir, const std::string& name, uint32_t offset, const uint8_t* data,
                 uint32_t length, uint32_t* count) override;
    RV ReadFile(const std::string& dir, const std::string& name, uint32_t offset, ByteVec& out,
                uint32_t* count) override;
    RV ResizeFile(const std::string& dir, const std::string& name, uint32_t size, uint32_t* count,
                  const uint8_t* data) override;
    RV GetFileSize(const std::string& dir, const std::string& name, uint32_t* size) override;
    RV GetFileACL(const std::string& dir, const std::string& name, uint16_t* acl) override;
    RV Initialize(bool forgetCache) override;
    bool RepairPending() const override { return sweepDue_ || repairDue_; }
    RV ConfirmFile(const std::string& dir, const std::string& name, bool* changed) override;

    // First FID from 0x2400 in steps of 0x20 used by no record and no token
    // file; 0 when none is free or the token's list cannot be read.
    uint16_t AllocFreeFID();
    RV CheckUpdate();
    RV WriteRecord(uint32_t index, const tagFILE_RECORD& record);
    int FindRecordByFID(uint16_t fid) const;
    // dir empty + name null: the root (0). Returns -1 when not found.
    int FindRecordByNAME(const std::string& dir, const std::string* name) const;

private:
    class Steps;

    // The record table through the cache into table_; raw gets its bytes.
    RV ReadTable(ByteVec& raw);
    // CheckUpdate before a change: the table the change is decided on is the
    // token's, never the phone's copy alone.
    RV LookForChange();
    // Name rules, CheckUpdate (LookForChange for a change), directory and
    // file look-up shared by the file operations.
    RV FindFile(const std::string& dir, const std::string& name, int& index, bool forChange = false);
    RV Create(const std::string& dir, const std::string& name, uint32_t used, uint32_t allocated, uint16_t acl,
              const uint8_t* data, uint32_t* count);
    // A new token file with its content (data may be null), then the record
    // r (names and ACL set) for it where the cache placed the file.
    RV PlaceFile(tagFILE_RECORD& r, uint32_t used, uint32_t allocated, const uint8_t* data, uint32_t* count);
    RV Replace(uint32_t index, const uint8_t* data, uint32_t length, uint32_t* count);
    // The record at index and its token file; the file goes first.
    RV RemoveAt(uint32_t index);
    RV NewFid(uint16_t& fid);
    // What the sweep finds at a record: nothing, a record whose token file
    // is gone, a second record of one name.
    enum class Finding { kNone, kFileGone, kSecondRecord };
    Finding FindingAt(uint32_t index, const std::vector<uint16_t>& onToken) const;
    // A token file of the named range that no record names.
    bool Unrecorded(uint16_t fid) const;
    bool AnyFinding(const std::vector<uint16_t>& onToken) const;
    void Sweep();

    IFileCache* cache_;
    IToken* token_;
    uint16_t recordFid_;
    std::vector<tagFILE_RECORD> table_;
    ByteVec known_;          // the table as last read or written here
    bool sweepDue_ = false;   // another writer changed the table: a change of theirs may have been cut short
    bool repairDue_ = false;  // a change of this process was cut short
    int steps_ = 0;          // changes of several steps in progress
};

#endif
