// tagFILE_RECORD: one 30-byte entry of the record file (little-endian).
#ifndef KV_STORAGE_FILE_RECORD_H
#define KV_STORAGE_FILE_RECORD_H

#include <cstdint>
#include <string>

constexpr uint16_t kFidFree = 0x0000;
constexpr uint16_t kFidDirectory = 0xFFFF;
constexpr uint16_t kFidEmptyFile = 0xFFFE;
constexpr uint32_t kRecordSize = 30;
constexpr uint32_t kRecordCount = 50;
constexpr size_t kDirNameMax = 10;
constexpr size_t kFileNameMax = 12;
// Named files live in token files 0x2400, 0x2420, ... 0x33E0.
constexpr uint16_t kFirstDataFid = 0x2400;
constexpr uint16_t kLastDataFid = 0x33FF;

struct tagFILE_RECORD {
    uint16_t fid = 0;
    char dir[kDirNameMax] = {};
    char name[kFileNameMax] = {};
    uint16_t acl = 0;
    uint16_t used = 0;
    uint16_t allocated = 0;

    void Encode(uint8_t* out) const;
    static tagFILE_RECORD Decode(const uint8_t* in);

    std::string DirName() const;
    std::string FileName() const;
    void SetNames(const std::string& dirName, const std::string& fileName);
    bool IsDataFile() const { return fid != kFidFree && fid != kFidDirectory && fid != kFidEmptyFile; }
    // A record the file system can have written: free, directory and empty
    // records carry no lengths; a data record names a token file of the
    // named-file range with 0 < allocated and used <= allocated.
    bool Valid() const;
};

// Every record valid and no token file named twice.
bool ValidRecordTable(const tagFILE_RECORD* records, size_t count);

#endif
