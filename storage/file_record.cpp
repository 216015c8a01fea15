#include "file_record.h"

#include <cstring>
#include <set>

#include "byte_order.h"

namespace {
std::string Field(const char* p, size_t width) { return std::string(p, strnlen(p, width)); }
}  // namespace

void tagFILE_RECORD::Encode(uint8_t* out) const {
    StoreLe16(out, fid);
    std::memcpy(out + 2, dir, kDirNameMax);
    std::memcpy(out + 12, name, kFileNameMax);
    StoreLe16(out + 24, acl);
    StoreLe16(out + 26, used);
    StoreLe16(out + 28, allocated);
}

tagFILE_RECORD tagFILE_RECORD::Decode(const uint8_t* in) {
    tagFILE_RECORD r;
    r.fid = LoadLe16(in);
    std::memcpy(r.dir, in + 2, kDirNameMax);
    std::memcpy(r.name, in + 12, kFileNameMax);
    r.acl = LoadLe16(in + 24);
    r.used = LoadLe16(in + 26);
    r.allocated = LoadLe16(in + 28);
    return r;
}

std::string tagFILE_RECORD::DirName() const { return Field(dir, kDirNameMax); }
std::string tagFILE_RECORD::FileName() const { return Field(name, kFileNameMax); }

void tagFILE_RECORD::SetNames(const std::string& dirName, const std::string& fileName) {
    std::memset(dir, 0, sizeof dir);
    std::memset(name, 0, sizeof name);
    std::memcpy(dir, dirName.data(), std::min(dirName.size(), kDirNameMax));
    std::memcpy(name, fileName.data(), std::min(fileName.size(), kFileNameMax));
}

bool tagFILE_RECORD::Valid() const {
    if (!IsDataFile()) return used == 0 && allocated == 0;
    return fid >= kFirstDataFid && fid <= kLastDataFid && allocated > 0 && used <= allocated;
}

bool ValidRecordTable(const tagFILE_RECORD* records, size_t count) {
    std::set<uint16_t> fids;
    for (size_t i = 0; i < count; ++i) {
        const tagFILE_RECORD& r = records[i];
        if (!r.Valid() || (r.IsDataFile() && !fids.insert(r.fid).second)) return false;
    }
    return true;
}
