#include "file_system_tarn.h"

#include <algorithm>

#include "itoken.h"

namespace {

constexpr uint32_t kLastNamedFid = 0x33E0;
constexpr uint32_t kNamedFidStep = 0x20;

bool DirNameOk(const std::string& dir) { return dir.size() <= kDirNameMax; }
bool FileNameOk(const std::string& name) { return !name.empty() && name.size() <= kFileNameMax; }

}  // namespace

// A change of several steps in progress: the sweep waits for its end.
class CFileSystemTarn::Steps {
public:
    explicit Steps(CFileSystemTarn& fs) : fs_(fs) { ++fs_.steps_; }
    ~Steps() { --fs_.steps_; }
    Steps(const Steps&) = delete;
    Steps& operator=(const Steps&) = delete;

private:
    CFileSystemTarn& fs_;
};

CFileSystemTarn::CFileSystemTarn(IFileCache* cache, IToken* token, uint16_t recordFid)
    : cache_(cache), token_(token), recordFid_(recordFid), table_(kRecordCount) {}

RV CFileSystemTarn::Initialize(bool forgetCache) {
    table_.assign(kRecordCount, tagFILE_RECORD());
    known_.clear();
    if (forgetCache) {
        RV rv = cache_->ForgetAll();
        if (rv) return rv;
    }
    return CheckUpdate();
}

RV CFileSystemTarn::ReadTable(ByteVec& raw) {
    RV rv = cache_->Read(recordFid_, 0, raw, nullptr);
    if (rv) return rv;
    if (raw.size() < kRecordSize * kRecordCount) return CKR_DEVICE_ERROR;
    raw.resize(kRecordSize * kRecordCount);
    for (uint32_t i = 0; i < kRecordCount; ++i) table_[i] = tagFILE_RECORD::Decode(raw.data() + i * kRecordSize);
    return 0;
}

RV CFileSystemTarn::CheckUpdate() {
    ByteVec raw;
    RV rv = ReadTable(raw);
    if (rv) return rv;
    if (raw != known_) {
        // Another writer changed the table (or this is the first look): a
        // change of theirs may have been cut short.
        sweepDue_ = true;
        known_ = raw;
    }
    // A change of this process cut short is repaired whatever the last
    // clean sweep says: the token's counter may have moved with it (a
    // command whose answer was lost) without the cache knowing.
    if ((sweepDue_ || repairDue_) && steps_ == 0) {
        if (!repairDue_ && cache_->CleanSinceSweep()) sweepDue_ = false;
        else Sweep();
    }
    return 0;
}

RV CFileSystemTarn::WriteRecord(uint32_t index, const tagFILE_RECORD& record) {
    uint8_t raw[kRecordSize];
    record.Encode(raw);
    RV rv = cache_->Write(recordFid_, index * kRecordSize, raw, kRecordSize, nullptr);
    if (rv == 0) {
        table_[index] = record;
        if (known_.size() == kRecordSize * kRecordCount) std::copy(raw, raw + kRecordSize, known_.begin() + index * kRecordSize);
    }
    return rv;
}

CFileSystemTarn::Finding CFileSystemTarn::FindingAt(uint32_t index, const std::vector<uint16_t>& onToken) const {
    const tagFILE_RECORD& r = table_[index];
    if (!r.IsDataFile()) return Finding::kNone;
    if (std::find(onToken.begin(), onToken.end(), r.fid) == onToken.end()) return Finding::kFileGone;
    const std::string file = r.FileName();
    return FindRecordByNAME(r.DirName(), &file) != static_cast<int>(index) ? Finding::kSecondRecord : Finding::kNone;
}

bool CFileSystemTarn::Unrecorded(uint16_t fid) const {
    return fid >= kFirstDataFid && fid <= kLastDataFid && FindRecordByFID(fid) < 0;
}

bool CFileSystemTarn::AnyFinding(const std::vector<uint16_t>& onToken) const {
    for (uint32_t i = 0; i < kRecordCount; ++i) {
        if (FindingAt(i, onToken) != Finding::kNone) return true;
    }
    return std::any_of(onToken.begin(), onToken.end(), [this](uint16_t fid) { return Unrecorded(fid); });
}

// What changes cut short leave behind: records whose token file is gone, a
// second record of one name (a replacement cut short: the first stays),
// token files of the named range that no record names. Only between this
// process's own changes, under the token lock that keeps the other
// processes of the family out: what it finds is nobody's work in progress.
void CFileSystemTarn::Sweep() {
    std::vector<uint16_t> onToken;
    if (token_->GetFileList(onToken) != 0) return;  // the next look tries again
    if (AnyFinding(onToken)) {
        // What is repaired is decided on the token's own table, read in this
        // lock scope with the file list: the phone's copy may say anything.
        ByteVec raw;
        if (cache_->ConfirmTable() != 0 || ReadTable(raw) != 0) return;  // the next look tries again
        known_ = raw;
    }
    sweepDue_ = repairDue_ = false;
    Steps steps(*this);
    bool repaired = false;
    for (uint32_t i = 0; i < kRecordCount; ++i) {
        const Finding finding = FindingAt(i, onToken);
        if (finding == Finding::kNone) continue;
        repaired = true;
        if ((finding == Finding::kFileGone ? WriteRecord(i, tagFILE_RECORD()) : RemoveAt(i)) != 0) repairDue_ = true;
    }
    for (uint16_t fid : onToken) {
        if (!Unrecorded(fid)) continue;
        repaired = true;
        if (cache_->DeleteUnrecorded(fid) != 0) repairDue_ = true;
    }
    // Found nothing: until the token is written again, nothing needs a look.
    if (!repaired && !repairDue_) cache_->NoteCleanSweep();
}

int CFileSystemTarn::FindRecordByFID(uint16_t fid) const {
    for (size_t i = 0; i < table_.size(); ++i) {
        if (table_[i].fid == fid) return static_cast<int>(i);
    }
    return -1;
}

int CFileSystemTarn::FindRecordByNAME(const std::string& dir, const std::string* name) const {
    if (dir.empty() && !name) return 0;
    for (size_t i = 0; i < table_.size(); ++i) {
        const tagFILE_RECORD& r = table_[i];
        if (r.fid == kFidFree) continue;
        if (!name) {
            if (r.fid == kFidDirectory && r.DirName() == dir) return static_cast<int>(i);
        } else if (!name->empty() && r.fid != kFidDirectory && r.DirName() == dir && r.FileName() == *name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

uint16_t CFileSystemTarn::AllocFreeFID() {
    uint16_t fid = 0;
    return NewFid(fid) == 0 ? fid : 0;
}

RV CFileSystemTarn::LookForChange() {
    RV rv = cache_->ConfirmTable();
    return rv ? rv : CheckUpdate();
}

RV CFileSystemTarn::FindFile(const std::string& dir, const std::string& name, int& index, bool forChange) {
    if (!DirNameOk(dir) || !FileNameOk(name)) return CKR_ARGUMENTS_BAD;
    RV rv = forChange ? LookForChange() : CheckUpdate();
    if (rv) return rv;
    if (!dir.empty() && FindRecordByNAME(dir, nullptr) < 0) return SCARD_E_DIR_NOT_FOUND;
    index = FindRecordByNAME(dir, &name);
    return index < 0 ? SCARD_E_FILE_NOT_FOUND : 0;
}

RV CFileSystemTarn::DeleteFileByFID(uint16_t fid) { return token_->DeleteFile(fid); }

IAuthManager* CFileSystemTarn::GetAuthManager() { return token_ ? token_->GetAuthManager() : nullptr; }

bool CFileSystemTarn::Outdated(const std::string& dir, uint32_t) { return DirNameOk(dir) && CheckUpdate() == 0; }

bool CFileSystemTarn::Outdated(const std::string& dir, const std::string& name, uint32_t count) {
    int index = -1;
    RV rv = FindFile(dir, name, index);
    if (rv == SCARD_E_DIR_NOT_FOUND || rv == SCARD_E_FILE_NOT_FOUND) return true;
    if (rv) return false;
    return cache_->Outdated(table_[static_cast<size_t>(index)].fid, count);
}

RV CFileSystemTarn::CreateDirectory(const std::string& name, uint16_t acl, uint32_t* out) {
    if (out) *out = 0;
    if (name.empty() || !DirNameOk(name)) return CKR_ARGUMENTS_BAD;
    RV rv = LookForChange();
    if (rv) return rv;
    if (FindRecordByNAME("", &name) >= 0 || FindRecordByNAME(name, nullptr) >= 0) return SCARD_E_NO_SUCH_DIRECTORY;
    for (const auto& r : table_) {  // a file of that name in any directory
        if (r.fid != kFidFree && r.fid != kFidDirectory && r.FileName() == name) return SCARD_E_NO_SUCH_DIRECTORY;
    }
    int index = FindRecordByFID(kFidFree);
    if (index < 0) return CKR_DEVICE_MEMORY;
    tagFILE_RECORD r;
    r.fid = kFidDirectory;
    r.SetNames(name, "");
    r.acl = acl;
    return WriteRecord(static_cast<uint32_t>(index), r);
}

RV CFileSystemTarn::DeleteDirectory(const std::string& name) {
    if (name.empty() || !DirNameOk(name)) return CKR_ARGUMENTS_BAD;
    RV rv = LookForChange();
    if (rv) return rv;
    int index = FindRecordByNAME(name, nullptr);
    if (index < 0) return SCARD_E_DIR_NOT_FOUND;
    for (const auto& r : table_) {
        if (r.fid != kFidFree && r.fid != kFidDirectory && r.DirName() == name) return KV_E_DIR_NOT_EMPTY;
    }
    return WriteRecord(static_cast<uint32_t>(index), tagFILE_RECORD());
}

RV CFileSystemTarn::EnumFiles(const std::string& dir, std::vector<std::string>& dirs, std::vector<std::string>& files,
                              uint32_t* out) {
    if (out) *out = 0;
    if (!DirNameOk(dir)) return CKR_ARGUMENTS_BAD;
    RV rv = CheckUpdate();
    if (rv) return rv;
    if (!dir.empty() && FindRecordByNAME(dir, nullptr) < 0) return SCARD_E_DIR_NOT_FOUND;
    for (const auto& r : table_) {
        if (r.fid == kFidFree) continue;
        if (r.fid == kFidDirectory) {
            if (dir.empty()) dirs.push_back(r.DirName());
        } else if (r.DirName() == dir) {
            files.push_back(r.FileName());
        }
    }
    return 0;
}

RV CFileSystemTarn::CreateFile(const std::string& dir, const std::string& name, uint32_t used, uint32_t allocated,
                               uint16_t acl, uint32_t* count) {
    return Create(dir, name, used, allocated, acl, nullptr, count);
}

RV CFileSystemTarn::CreateFileWith(const std::string& dir, const std::string& name, const uint8_t* data,
                                   uint32_t length, uint16_t acl, uint32_t* count) {
    if (length && !data) return CKR_ARGUMENTS_BAD;
    return Create(dir, name, length, length, acl, data, count);
}

RV CFileSystemTarn::Create(const std::string& dir, const std::string& name, uint32_t used, uint32_t allocated,
                           uint16_t acl, const uint8_t* data, uint32_t* count) {
    if (count) *count = 0;
    if (!DirNameOk(dir) || !FileNameOk(name) || allocated < used || allocated > 0xFFFF) return CKR_ARGUMENTS_BAD;
    RV rv = LookForChange();
    if (rv) return rv;
    if (FindRecordByNAME(name, nullptr) >= 0) return SCARD_E_NO_SUCH_FILE;
    if (!dir.empty() && FindRecordByNAME(dir, nullptr) < 0) return SCARD_E_DIR_NOT_FOUND;
    if (FindRecordByNAME(dir, &name) >= 0) return SCARD_E_NO_SUCH_FILE;
    int index = FindRecordByFID(kFidFree);
    if (index < 0) return CKR_DEVICE_MEMORY;
    tagFILE_RECORD r;
    r.SetNames(dir, name);
    r.acl = acl;
    if (allocated == 0) {
        r.fid = kFidEmptyFile;
        return WriteRecord(static_cast<uint32_t>(index), r);
    }
    return PlaceFile(r, used, allocated, data, count);
}

RV CFileSystemTarn::PlaceFile(tagFILE_RECORD& r, uint32_t used, uint32_t allocated, const uint8_t* data,
                              uint32_t* count) {
    Steps steps(*this);
    uint16_t fid = 0;
    RV rv = NewFid(fid);
    if (rv) return rv;
    rv = cache_->Create(fid, allocated, r.acl, count);
    if (rv) return rv;
    if (data && used) rv = cache_->Write(fid, 0, data, used, count);
    // A cache that had to reload its table from the token (its counter read
    // failed) no longer knows the file the create made: a device failure.
    if (rv == RV_NOT_FOUND) rv = CKR_DEVICE_ERROR;
    // The record goes where the cache put the new file.
    const int slot = rv ? -1 : cache_->FindRecordByFID(fid);
    if (rv == 0 && slot < 0) rv = CKR_GENERAL_ERROR;
    if (rv == 0) {
        r.fid = fid;
        r.used = static_cast<uint16_t>(used);
        r.allocated = static_cast<uint16_t>(allocated);
        rv = WriteRecord(static_cast<uint32_t>(slot), r);
    }
    // No token file without its record; one that stays is swept later.
    if (rv && cache_->Delete(fid) != 0) repairDue_ = true;
    return rv;
}

RV CFileSystemTarn::NewFid(uint16_t& fid) {
    std::vector<uint16_t> onToken;
    if (token_->GetFileList(onToken) != 0) return CKR_DEVICE_ERROR;
    for (uint32_t f = kFirstDataFid; f <= kLastNamedFid; f += kNamedFidStep) {
        bool taken = FindRecordByFID(static_cast<uint16_t>(f)) >= 0;
        for (uint16_t t : onToken) taken = taken || t == f;
        if (!taken) {
            fid = static_cast<uint16_t>(f);
            return 0;
        }
    }
    return CKR_DEVICE_MEMORY;
}

RV CFileSystemTarn::RemoveAt(uint32_t index) {
    const tagFILE_RECORD r = table_[index];
    if (r.IsDataFile()) {
        RV rv = cache_->Delete(r.fid);
        if (rv) return rv;
    }
    return WriteRecord(index, tagFILE_RECORD());
}

RV CFileSystemTarn::DeleteFile(const std::string& dir, const std::string& name) {
    int index = -1;
    RV rv = FindFile(dir, name, index, true);
    if (rv) return rv;
    Steps steps(*this);
    rv = RemoveAt(static_cast<uint32_t>(index));
    if (rv) repairDue_ = true;  // a record whose file is gone goes with the sweep
    return rv;
}

RV CFileSystemTarn::WriteFile(const std::string& dir, const std::string& name, uint32_t offset, const uint8_t* data,
                              uint32_t length, uint32_t* count) {
    if (count) *count = 0;
    int index = -1;
    RV rv = FindFile(dir, name, index, true);
    if (rv) return rv;
    uint32_t written = 0;
    rv = cache_->Write(table_[static_cast<size_t>(index)].fid, offset, data, length, &written);
    if (rv == 0 && count) *count = written;
    return rv;
}

RV CFileSystemTarn::ReadFile(const std::string& dir, const std::string& name, uint32_t, ByteVec& out,
                             uint32_t* count) {
    if (count) *count = 0;
    int index = -1;
    RV rv = FindFile(dir, name, index);
    if (rv) return rv;
    out.clear();
    const tagFILE_RECORD& r = table_[static_cast<size_t>(index)];
    if (r.used == 0 || r.allocated == 0) return 0;
    rv = cache_->Read(r.fid, 0, out, count);
    if (rv == 0 && out.size() != r.used) out.resize(r.used);  // exactly the logical length
    return rv;
}

RV CFileSystemTarn::ResizeFile(const std::string& dir, const std::string& name, uint32_t size, uint32_t* count,
                               const uint8_t* data) {
    if (count) *count = 0;
    if (size > 0xFFFF) return CKR_ARGUMENTS_BAD;
    int index = -1;
    RV rv = FindFile(dir, name, index, true);
    if (rv) return rv;
    const tagFILE_RECORD old = table_[static_cast<size_t>(index)];
    if (old.allocated < size) {
        // Growing: a new token file with the new content, or the old one
        // followed by zeros when none is given.
        ByteVec content;
        if (!data) {
            if (old.used && old.allocated) {
                rv = cache_->Read(old.fid, 0, content, nullptr);
                if (rv) return rv;
            }
            content.resize(size, 0);
            data = content.data();
        }
        return Replace(static_cast<uint32_t>(index), data, size, count);
    }
    uint32_t written = 0;
    if (data && size) {
        rv = cache_->Write(old.fid, 0, data, size, &written);
        if (rv) return rv;
    }
    if (old.used != size) {
        tagFILE_RECORD r = old;
        r.used = static_cast<uint16_t>(size);
        rv = WriteRecord(static_cast<uint32_t>(index), r);
        if (rv) return rv;
    }
    if (count && written) *count = written;
    return 0;
}

RV CFileSystemTarn::ReplaceFile(const std::string& dir, const std::string& name, const uint8_t* data,
                                uint32_t length, uint32_t* count) {
    if (count) *count = 0;
    if (length > 0xFFFF || !data || length == 0) return CKR_ARGUMENTS_BAD;
    int index = -1;
    RV rv = FindFile(dir, name, index, true);
    if (rv) return rv;
    if (!table_[static_cast<size_t>(index)].IsDataFile()) return ResizeFile(dir, name, length, count, data);
    return Replace(static_cast<uint32_t>(index), data, length, count);
}

// The new content in a new token file under a second record of the same
// name, then the old record and file removed. Cut short in between, both
// records name whole files; the sweep keeps the first of them.
RV CFileSystemTarn::Replace(uint32_t index, const uint8_t* data, uint32_t length, uint32_t* count) {
    Steps steps(*this);
    tagFILE_RECORD r = table_[index];
    RV rv = PlaceFile(r, length, length, data, count);
    if (rv) return rv;
    rv = RemoveAt(index);
    if (rv) repairDue_ = true;
    return rv;
}

RV CFileSystemTarn::ConfirmFile(const std::string& dir, const std::string& name, bool* changed) {
    *changed = false;
    int index = -1;
    RV rv = FindFile(dir, name, index, true);
    if (rv) return rv;
    const tagFILE_RECORD& r = table_[static_cast<size_t>(index)];
    return r.IsDataFile() ? cache_->ConfirmFile(r.fid, changed) : 0;
}

RV CFileSystemTarn::GetFileSize(const std::string& dir, const std::string& name, uint32_t* size) {
    int index = -1;
    RV rv = FindFile(dir, name, index);
    if (rv == 0 && size) *size = table_[static_cast<size_t>(index)].used;
    return rv;
}

RV CFileSystemTarn::GetFileACL(const std::string& dir, const std::string& name, uint16_t* acl) {
    if (!DirNameOk(dir) || name.size() > kFileNameMax) return CKR_ARGUMENTS_BAD;
    RV rv = CheckUpdate();
    if (rv) return rv;
    int dirIndex = dir.empty() ? 0 : FindRecordByNAME(dir, nullptr);
    if (dirIndex < 0) return SCARD_E_DIR_NOT_FOUND;
    if (name.empty()) {
        if (acl) *acl = table_[static_cast<size_t>(dirIndex)].acl;
        return 0;
    }
    int index = FindRecordByNAME(dir, &name);
    if (index < 0) return SCARD_E_FILE_NOT_FOUND;
    if (acl) *acl = table_[static_cast<size_t>(index)].acl;
    return 0;
}
