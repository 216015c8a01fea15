// The file cache: record table and file contents mirrored in memory (file
// contents in an offset heap) and on the phone's storage, checked against
// the token's write counter, written through to the token with only the
// bytes that differ.
#ifndef KV_STORAGE_FILE_CACHE_LOCAL_H
#define KV_STORAGE_FILE_CACHE_LOCAL_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk_mirror.h"
#include "file_record.h"
#include "heap_manager.h"
#include "ifile_cache.h"
#include "share_mem.h"

class IToken;

class CFileCacheLocal : public IFileCache {
public:
    static constexpr uint32_t kHeapUnits = 0x10000;  // the heap holds 2 x units bytes

    // mirrorDir empty: no phone-side mirror.
    CFileCacheLocal(IToken* token, std::string mirrorDir, uint16_t recordFid = 0x6F01);
    ~CFileCacheLocal() override;

    RV Create(uint16_t fid, uint32_t size, uint16_t acl, uint32_t* count) override;
    RV Delete(uint16_t fid) override;
    bool Outdated(uint16_t fid, uint32_t count) override;
    RV GetSize(uint16_t fid, uint32_t* size) override;
    RV Write(uint16_t fid, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* count) override;
    RV Read(uint16_t fid, uint32_t offset, ByteVec& out, uint32_t* count) override;
    RV Forget(uint16_t fid) override;
    RV ForgetAll() override;
    int FindRecordByFID(uint16_t fid) override;
    RV DeleteUnrecorded(uint16_t fid) override;
    bool CleanSinceSweep() override;
    void NoteCleanSweep() override;
    RV ConfirmTable() override;
    RV ConfirmFile(uint16_t fid, bool* changed) override;
    RV Initialize();

    // Which files never reach the phone's storage (those that carry key
    // material or a private object's values), told by their record and
    // content: kept in memory only.
    // Files without a name yet are not mirrored either.
    using OffDisk = std::function<bool(const tagFILE_RECORD&, const uint8_t* content, uint32_t length)>;
    void SetOffDisk(OffDisk offDisk) { offDisk_ = std::move(offDisk); }

    // After a write to the token that bypassed the cache: drops that file's
    // copies and learns the token's new counter.
    void NoteDirectWrite(uint16_t fid) override;
    const DiskMirror& Mirror() const { return mirror_; }

private:
    struct FcRecord {
        tagFILE_RECORD rec;
        uint32_t writeCount = 1;
        bool stale = true;
        bool fromMirror = false;  // the content was taken from the phone's copy
        uint8_t* buffer = nullptr;  // allocated-size bytes in the heap; content valid for [0, used) when not stale
    };

    class Entry;  // marks a public call in progress; see kNestedEntry

    RV Load();
    bool Mirrored(const FcRecord& r) const;
    // The token's counter, asked at most once per lock scope of the token:
    // as the processes sharing the token know it (IToken::RecentWriteCount),
    // or, fresh, from the token itself.
    RV TokenCounter(uint32_t& counter, bool fresh);
    // Catches changes by other applications before anything is used, and
    // with the token's own counter before anything is written.
    RV Sync(bool forWrite);
    // After the library's own write: learn the new counter and stamp the
    // mirror, at once or at the end of the lock scope (EndOfScope).
    void AfterOwnWrite();
    void EndOfScope();
    RV LoadTable(uint32_t tokenCounter);
    RV ApplyTable(const std::vector<tagFILE_RECORD>& table);
    // Gives a slot its record and a buffer that fits it; a slot that keeps
    // its token file keeps its buffer and content.
    RV AdoptRecord(FcRecord& r, const tagFILE_RECORD& rec);
    // The next operation reloads everything from the token.
    void ReloadNext();
    void Reset();
    RV Begin(bool forWrite);
    RV WriteRecords(uint32_t offset, const uint8_t* data, uint32_t length);
    RV WriteData(FcRecord& r, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* count);
    void MirrorTable();

    IToken* token_;
    uint16_t recordFid_;
    DiskMirror mirror_;
    std::unique_ptr<CSessionSyncShm> block_;
    std::unique_ptr<CHeapManager> heap_;
    std::vector<FcRecord> records_;
    OffDisk offDisk_;
    bool initialised_ = false;
    bool busy_ = false;  // a public call is in progress
    uint32_t changeCounter_ = 0;  // write counts handed out stay below it
    uint32_t syncedCounter_ = 0;  // token counter the in-memory mirror matches
    bool counterKnown_ = false;
    uint32_t counter_ = 0;
    uint64_t counterScope_ = 0;
    bool counterFresh_ = false;  // counter_ came from the token itself
    // The record table was read from the token (not the phone's copy) and
    // followed since through this cache's own changes and the token's counter.
    bool tableFromToken_ = false;
    bool scopeEnds_ = false;     // the token tells the end of its lock scopes
};

#endif
