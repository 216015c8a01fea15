#include "file_cache_local.h"

#include <cstring>

#include "acl.h"
#include "iauth_manager.h"
#include "itoken.h"

namespace {

constexpr uint32_t kTableBytes = kRecordSize * kRecordCount;
constexpr uint32_t kBlockHeader = 8;
// Records are kept beside the block; the heap starts 8-byte aligned after
// the header and the 39-byte record area of the block layout.
constexpr uint32_t kHeapStart = (kBlockHeader + 39 * kRecordCount + 7) & ~7u;
constexpr uint32_t kNoCounter = 0xFFFFFFFF;
// A cache call made from inside another (the token's recovery under one of
// the cache's own commands) is refused: the records and the memory block
// may be half-way through a change.
constexpr RV kNestedEntry = CKR_FUNCTION_FAILED;

// A whole record table from its bytes; false when the file system cannot have written it.
bool DecodeTable(const uint8_t* raw, std::vector<tagFILE_RECORD>& table) {
    table.resize(kRecordCount);
    for (uint32_t i = 0; i < kRecordCount; ++i) table[i] = tagFILE_RECORD::Decode(raw + i * kRecordSize);
    return ValidRecordTable(table.data(), table.size());
}

// Write lock of the memory block for a scope.
class BlockLock {
public:
    explicit BlockLock(CSessionSyncShm& b) : block_(b), data_(b.Lock4Write()) {}
    ~BlockLock() { block_.Unlock4Write(); }
    BlockLock(const BlockLock&) = delete;
    BlockLock& operator=(const BlockLock&) = delete;
    bool Held() const { return data_ != nullptr; }

private:
    CSessionSyncShm& block_;
    uint8_t* data_;
};

}  // namespace

class CFileCacheLocal::Entry {
public:
    explicit Entry(CFileCacheLocal& cache) : cache_(cache), nested_(cache.busy_) { cache.busy_ = true; }
    ~Entry() {
        if (!nested_) cache_.busy_ = false;
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    bool Nested() const { return nested_; }

private:
    CFileCacheLocal& cache_;
    bool nested_;
};

CFileCacheLocal::CFileCacheLocal(IToken* token, std::string mirrorDir, uint16_t recordFid)
    : token_(token), recordFid_(recordFid), mirror_(std::move(mirrorDir)) {
    scopeEnds_ = token_ && token_->SetScopeEnd([this] { EndOfScope(); });
}

CFileCacheLocal::~CFileCacheLocal() {
    if (scopeEnds_) token_->SetScopeEnd(nullptr);
    Reset();
}

void CFileCacheLocal::Reset() {
    heap_.reset();
    block_.reset();  // the block's memory goes with it
    records_.clear();
    initialised_ = false;
    tableFromToken_ = false;
    changeCounter_ += 4096;  // counts handed out before stay outdated
}

RV CFileCacheLocal::TokenCounter(uint32_t& counter, bool fresh) {
    const uint64_t scope = token_->LockScope();
    if (counterKnown_ && scope && scope == counterScope_ && (counterFresh_ || !fresh)) {
        counter = counter_;
        return 0;
    }
    counterKnown_ = false;
    bool asked = fresh;
    RV rv = fresh ? token_->GetWriteCount(&counter) : token_->RecentWriteCount(&counter, &asked);
    if (rv) return rv;
    counter_ = counter;
    counterScope_ = scope;
    counterKnown_ = true;
    counterFresh_ = asked;
    return 0;
}

RV CFileCacheLocal::Initialize() {
    Entry entry(*this);
    return entry.Nested() ? kNestedEntry : Load();
}

RV CFileCacheLocal::Load() {
    if (initialised_) return 0;
    uint32_t counter = 0;
    RV rv = TokenCounter(counter, false);
    if (rv) return rv;
    block_ = std::make_unique<CSessionSyncShm>("kvp11_dev_shm_" + mirror_.Dir(), "kvp11_dev_mtx_" + mirror_.Dir(),
                                               kHeapStart + 2 * kHeapUnits);
    uint8_t* block = block_->Lock4Write();
    if (!block) {
        block_.reset();
        return CKR_CANT_LOCK;
    }
    rv = LoadTable(counter);
    block_->Unlock4Write();
    if (rv) {
        Reset();
        return rv;
    }
    initialised_ = true;
    syncedCounter_ = counter;
    return 0;
}

// The record table from the disk mirror when it matches the token's counter,
// else from the token (whole), then the heap buffers of the data files.
RV CFileCacheLocal::LoadTable(uint32_t tokenCounter) {
    uint8_t raw[kTableBytes];
    std::vector<tagFILE_RECORD> table;
    uint32_t diskCounter = kNoCounter;
    // A mirrored table the file system cannot have written counts as no mirror.
    bool fromDisk = mirror_.ReadCounter(diskCounter) && diskCounter == tokenCounter &&
                    mirror_.ReadFile(recordFid_, raw, kTableBytes) && DecodeTable(raw, table);
    tableFromToken_ = !fromDisk;
    if (!fromDisk) {
        mirror_.Clear();
        RV rv = token_->ReadBinary(recordFid_, raw, 0, kTableBytes, nullptr);
        if (rv) return rv;
        if (!DecodeTable(raw, table)) return CKR_DEVICE_ERROR;
        mirror_.WriteCounter(tokenCounter);
        mirror_.WriteFile(recordFid_, raw, kTableBytes);
    }
    return ApplyTable(table);
}

RV CFileCacheLocal::ConfirmTable() {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    // A table read from the token and followed since is the token's; one
    // from the phone is read again, with the token's counter of now.
    RV rv = Begin(false);
    if (rv || tableFromToken_) return rv;
    rv = Sync(true);
    if (rv || tableFromToken_) return rv;
    uint8_t raw[kTableBytes];
    std::vector<tagFILE_RECORD> table;
    rv = token_->ReadBinary(recordFid_, raw, 0, kTableBytes, nullptr);
    if (rv) return rv;
    if (!DecodeTable(raw, table)) return CKR_DEVICE_ERROR;
    BlockLock lock(*block_);
    if (!lock.Held()) return CKR_CANT_LOCK;
    bool same = true;
    for (uint32_t i = 0; i < kRecordCount && same; ++i) {
        uint8_t mine[kRecordSize];
        records_[i].rec.Encode(mine);
        same = std::memcmp(mine, raw + i * kRecordSize, kRecordSize) == 0;
    }
    if (!same) {
        // The phone's copy was not the token's: none of it is used again.
        mirror_.Clear();
        rv = ApplyTable(table);
        if (rv) {
            Reset();
            ReloadNext();
            return rv;
        }
        mirror_.WriteCounter(syncedCounter_);
        mirror_.WriteFile(recordFid_, raw, kTableBytes);
    }
    tableFromToken_ = true;
    return 0;
}

RV CFileCacheLocal::ConfirmFile(uint16_t fid, bool* changed) {
    *changed = false;
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    RV rv = Begin(false);
    if (rv) return rv;
    BlockLock lock(*block_);
    if (!lock.Held()) return CKR_CANT_LOCK;
    const int idx = FindRecordByFID(fid);
    if (idx < 0) return RV_NOT_FOUND;
    FcRecord& r = records_[static_cast<size_t>(idx)];
    if (r.stale || !r.fromMirror) return 0;
    const uint32_t used = r.rec.used;
    ByteVec onToken(used);
    rv = token_->ReadBinary(fid, onToken.data(), 0, used, nullptr);
    if (rv) return rv;
    r.fromMirror = false;
    if (std::memcmp(onToken.data(), r.buffer, used) == 0) return 0;
    // The phone's copy was not the token's: the token's content, under a
    // new write count that tells readers it changed.
    std::memcpy(r.buffer, onToken.data(), used);
    r.writeCount = ++changeCounter_;
    mirror_.RemoveFile(fid);
    *changed = true;
    return 0;
}

RV CFileCacheLocal::ApplyTable(const std::vector<tagFILE_RECORD>& table) {
    uint8_t* block = block_->GetData();
    std::memset(block + kHeapStart, 0, 2 * kHeapUnits);
    heap_ = std::make_unique<CHeapManager>(block + kHeapStart, int32_t(2 * kHeapUnits), nullptr, true);
    records_.assign(kRecordCount, FcRecord());
    for (uint32_t i = 0; i < kRecordCount; ++i) {
        RV rv = AdoptRecord(records_[i], table[i]);
        if (rv) return rv;
    }
    return 0;
}

bool CFileCacheLocal::Mirrored(const FcRecord& r) const {
    return !r.rec.FileName().empty() && !(offDisk_ && offDisk_(r.rec, r.buffer, r.rec.used));
}

RV CFileCacheLocal::AdoptRecord(FcRecord& r, const tagFILE_RECORD& rec) {
    const bool sameFile = r.rec.fid == rec.fid && r.rec.allocated == rec.allocated && (r.buffer || !rec.IsDataFile());
    if (!sameFile) {
        if (r.buffer) heap_->Free(r.buffer);
        r = FcRecord();
        r.writeCount = ++changeCounter_;
        if (rec.IsDataFile()) {
            r.buffer = static_cast<uint8_t*>(heap_->Alloc(rec.allocated));
            if (!r.buffer) return CKR_HOST_MEMORY;
        }
    }
    r.rec = rec;
    return 0;
}

void CFileCacheLocal::ReloadNext() {
    syncedCounter_ = kNoCounter;
    mirror_.RemoveFile(0xFFFF);
}

RV CFileCacheLocal::Sync(bool forWrite) {
    uint32_t counter = 0;
    RV rv = TokenCounter(counter, forWrite);
    if (rv) return rv;
    if (counter == syncedCounter_) return 0;
    // Another application changed the token: nothing cached is trusted.
    Reset();
    return Load();
}

void CFileCacheLocal::AfterOwnWrite() {
    // Inside a lock scope whose counter this cache knows, nobody else writes
    // until the scope ends: the new counter is read once, then.
    const uint64_t scope = token_->LockScope();
    if (scopeEnds_ && scope && counterKnown_ && counterScope_ == scope && counter_ == syncedCounter_) return;
    counterKnown_ = false;
    uint32_t counter = 0;
    if (TokenCounter(counter, true) == 0) {
        syncedCounter_ = counter;
        mirror_.WriteCounter(counter);
    } else {
        ReloadNext();
    }
}

bool CFileCacheLocal::CleanSinceSweep() {
    uint32_t swept = 0;
    return initialised_ && syncedCounter_ != kNoCounter && mirror_.ReadCounter(swept, DiskMirror::kSweptFid) &&
           swept == syncedCounter_;
}

void CFileCacheLocal::NoteCleanSweep() {
    if (initialised_ && syncedCounter_ != kNoCounter) mirror_.WriteCounter(syncedCounter_, DiskMirror::kSweptFid);
}

void CFileCacheLocal::EndOfScope() {
    const uint64_t scope = token_->LockScope();
    // This process wrote in this scope (through the cache or past it, as a
    // key generation does) after the cache last matched the token: the
    // token's new counter is this cache's own.
    const bool matched = initialised_ && scope && counterKnown_ && counterScope_ == scope && counter_ == syncedCounter_;
    if (!matched) return;
    uint32_t counter = 0;
    if (token_->GetWriteCount(&counter) != 0) {
        counterKnown_ = false;
        ReloadNext();
        return;
    }
    counter_ = syncedCounter_ = counter;
    counterFresh_ = true;
    mirror_.WriteCounter(counter);
}

RV CFileCacheLocal::Begin(bool forWrite) {
    RV rv = Load();
    return rv ? rv : Sync(forWrite);
}

int CFileCacheLocal::FindRecordByFID(uint16_t fid) {
    for (size_t i = 0; i < records_.size(); ++i) {
        if (records_[i].rec.fid == fid) return static_cast<int>(i);
    }
    return -1;
}

void CFileCacheLocal::MirrorTable() {
    uint8_t table[kTableBytes];
    for (uint32_t i = 0; i < kRecordCount; ++i) records_[i].rec.Encode(table + i * kRecordSize);
    mirror_.WriteFile(recordFid_, table, kTableBytes);
}

RV CFileCacheLocal::Read(uint16_t fid, uint32_t offset, ByteVec& out, uint32_t* count) {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    RV rv = Begin(false);
    if (rv) return rv;
    BlockLock lock(*block_);
    if (!lock.Held()) return CKR_CANT_LOCK;
    out.clear();
    if (fid == recordFid_) {
        if (offset % kRecordSize || offset > kTableBytes) return CKR_ARGUMENTS_BAD;
        out.resize(kTableBytes - offset);
        for (uint32_t i = offset / kRecordSize; i < kRecordCount; ++i)
            records_[i].rec.Encode(out.data() + (i * kRecordSize - offset));
        return 0;
    }
    int idx = FindRecordByFID(fid);
    if (idx < 0) return RV_NOT_FOUND;
    FcRecord& r = records_[static_cast<size_t>(idx)];
    const uint32_t used = r.rec.used;
    // A file only the user may read waits for the login: nothing is asked
    // that the token would refuse, and no copy on the phone stands in for it.
    if (r.stale && used && ACL2CFAC(r.rec.acl) == UserReadWriteAc && !UserAuthenticated(token_->GetAuthManager()))
        return CKR_USER_NOT_LOGGED_IN;
    if (r.stale && used) {
        const bool named = !r.rec.FileName().empty();
        // A copy on the phone that holds key material (an earlier version
        // wrote it) goes; the token's content decides what is kept there.
        r.fromMirror = named && mirror_.ReadFile(fid, r.buffer, used) && Mirrored(r);
        if (!r.fromMirror) {
            if (named) mirror_.RemoveFile(fid);
            rv = token_->ReadBinary(fid, r.buffer, 0, used, nullptr);
            if (rv) return rv;
            if (Mirrored(r)) mirror_.WriteFile(fid, r.buffer, used);
        }
    }
    r.stale = false;
    if (used) out.assign(r.buffer, r.buffer + used);
    if (count) *count = r.writeCount;
    return 0;
}

RV CFileCacheLocal::Write(uint16_t fid, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* count) {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    if (length && !data) return CKR_ARGUMENTS_BAD;
    RV rv = Begin(true);
    if (rv) return rv;
    BlockLock lock(*block_);
    if (!lock.Held()) return CKR_CANT_LOCK;
    if (fid == recordFid_) return WriteRecords(offset, data, length);
    int idx = FindRecordByFID(fid);
    if (idx < 0) return RV_NOT_FOUND;
    return WriteData(records_[static_cast<size_t>(idx)], offset, data, length, count);
}

RV CFileCacheLocal::WriteRecords(uint32_t offset, const uint8_t* data, uint32_t length) {
    if (offset % kRecordSize || length % kRecordSize || uint64_t(offset) + length > kTableBytes)
        return CKR_ARGUMENTS_BAD;
    std::vector<tagFILE_RECORD> table(kRecordCount);
    for (uint32_t i = 0; i < kRecordCount; ++i) table[i] = records_[i].rec;
    for (uint32_t at = 0; at < length; at += kRecordSize)
        table[(offset + at) / kRecordSize] = tagFILE_RECORD::Decode(data + at);
    // Never put a table on the token that the next load would refuse.
    if (!ValidRecordTable(table.data(), table.size())) return CKR_ARGUMENTS_BAD;
    RV rv = token_->WriteBinary(recordFid_, offset, data, length, nullptr);
    if (rv) {
        ReloadNext();  // part of the table may have reached the token
        return rv;
    }
    for (uint32_t i = offset / kRecordSize; i < (offset + length) / kRecordSize; ++i) {
        rv = AdoptRecord(records_[i], table[i]);
        if (rv) {
            Reset();
            ReloadNext();
            return rv;
        }
        // A file whose content was written before its record named it
        // reaches the phone now.
        FcRecord& r = records_[i];
        if (r.rec.IsDataFile() && r.buffer && !r.stale && Mirrored(r)) mirror_.WriteFile(r.rec.fid, r.buffer, r.rec.used);
    }
    AfterOwnWrite();
    MirrorTable();
    return 0;
}

RV CFileCacheLocal::WriteData(FcRecord& r, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* count) {
    const uint64_t end = uint64_t(offset) + length;
    if (end > r.rec.allocated) return CKR_DEVICE_MEMORY;
    if (length == 0) return 0;
    uint32_t from = offset, to = offset + length;
    if (!r.stale) {
        // Only the bytes that differ from the known content go to the token.
        const uint32_t known = r.rec.used;
        while (from < to && from < known && r.buffer[from] == data[from - offset]) ++from;
        if (from == to) return 0;
        while (to > from && to <= known && r.buffer[to - 1] == data[to - 1 - offset]) --to;
    }
    RV rv = token_->WriteBinary(r.rec.fid, from, data + (from - offset), to - from, nullptr);
    if (rv) {
        r.stale = true;
        mirror_.RemoveFile(r.rec.fid);
        AfterOwnWrite();
        return rv;
    }
    std::memcpy(r.buffer + offset, data, length);
    r.fromMirror = false;  // what the token now holds is what this cache wrote
    // A stale copy becomes trustworthy only when the whole content was written.
    if (r.stale && offset == 0 && length >= r.rec.used) r.stale = false;
    r.writeCount = ++changeCounter_;
    AfterOwnWrite();
    if (r.stale || !Mirrored(r)) {
        mirror_.RemoveFile(r.rec.fid);
    } else {
        mirror_.WriteFile(r.rec.fid, r.buffer, r.rec.used);
    }
    if (count) *count = r.writeCount;
    return 0;
}

RV CFileCacheLocal::Create(uint16_t fid, uint32_t size, uint16_t acl, uint32_t* count) {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    if (size == 0 || size > 0xFFFF || fid < kFirstDataFid || fid > kLastDataFid) return CKR_ARGUMENTS_BAD;
    RV rv = Begin(true);
    if (rv) return rv;
    BlockLock lock(*block_);
    if (!lock.Held()) return CKR_CANT_LOCK;
    if (FindRecordByFID(fid) >= 0) return RV_ALREADY_EXISTS;
    int idx = FindRecordByFID(kFidFree);
    if (idx < 0) return CKR_DEVICE_MEMORY;  // every record of the token's table in use
    auto* buffer = static_cast<uint8_t*>(heap_->Alloc(static_cast<int32_t>(size)));
    if (!buffer) return CKR_HOST_MEMORY;
    uint8_t a1 = 0, a2 = 0, a3 = 0, a4 = 0;
    GetInternalACL_Tarn(acl, a1, a2, a3, a4);
    rv = token_->CreateFile(fid, size, a1, a2, a4);
    if (rv) {
        heap_->Free(buffer);
        AfterOwnWrite();  // the create starts with a delete that may have changed the token
        return rv;
    }
    FcRecord& r = records_[static_cast<size_t>(idx)];
    r = FcRecord();
    r.rec.fid = fid;
    r.rec.used = r.rec.allocated = static_cast<uint16_t>(size);
    r.buffer = buffer;
    r.writeCount = ++changeCounter_;
    AfterOwnWrite();
    mirror_.RemoveFile(fid);
    if (count) *count = r.writeCount;
    return 0;
}

RV CFileCacheLocal::Delete(uint16_t fid) {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    RV rv = Begin(true);
    if (rv) return rv;
    BlockLock lock(*block_);
    if (!lock.Held()) return CKR_CANT_LOCK;
    int idx = FindRecordByFID(fid);
    if (idx < 0) return RV_NOT_FOUND;
    rv = token_->DeleteFile(fid);
    if (rv) return rv;
    FcRecord& r = records_[static_cast<size_t>(idx)];
    if (r.buffer) heap_->Free(r.buffer);
    r = FcRecord();
    r.writeCount = ++changeCounter_;
    AfterOwnWrite();
    mirror_.RemoveFile(fid);
    return 0;
}

RV CFileCacheLocal::DeleteUnrecorded(uint16_t fid) {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    RV rv = Begin(true);
    if (rv) return rv;
    if (FindRecordByFID(fid) >= 0) return CKR_ARGUMENTS_BAD;
    rv = token_->DeleteFile(fid);
    AfterOwnWrite();
    mirror_.RemoveFile(fid);
    return rv;
}

bool CFileCacheLocal::Outdated(uint16_t fid, uint32_t count) {
    Entry entry(*this);
    if (entry.Nested()) return true;
    if (Begin(false) != 0) return true;
    int idx = FindRecordByFID(fid);
    return idx < 0 || records_[static_cast<size_t>(idx)].writeCount != count;
}

RV CFileCacheLocal::GetSize(uint16_t fid, uint32_t* size) {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    RV rv = Begin(false);
    if (rv) return rv;
    int idx = FindRecordByFID(fid);
    if (idx < 0) return RV_NOT_FOUND;
    if (size) *size = records_[static_cast<size_t>(idx)].rec.used;
    return 0;
}

RV CFileCacheLocal::Forget(uint16_t fid) {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    int idx = FindRecordByFID(fid);
    if (idx < 0) return RV_NOT_FOUND;
    FcRecord& r = records_[static_cast<size_t>(idx)];
    r.writeCount = ++changeCounter_;
    r.stale = true;
    return 0;
}

void CFileCacheLocal::NoteDirectWrite(uint16_t fid) {
    if (Forget(fid) == kNestedEntry) return;
    mirror_.RemoveFile(fid);
    if (initialised_) AfterOwnWrite();
}

RV CFileCacheLocal::ForgetAll() {
    Entry entry(*this);
    if (entry.Nested()) return kNestedEntry;
    Reset();
    mirror_.Clear();
    return Load();
}
