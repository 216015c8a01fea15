// The file cache over an in-memory token: what it accepts from the token and
// from the phone-side mirror, and how its records and buffers stay together.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "file_cache_local.h"
#include "fuzz/memory_token.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kTable = 0x6F01;

// One 30-byte record by hand: FID, directory (10), name (12), ACL, used,
// allocated, all little-endian.
Bytes Record(uint16_t fid, const char* dir, const char* name, uint16_t used, uint16_t allocated) {
    Bytes r(30, 0);
    r[0] = static_cast<uint8_t>(fid);
    r[1] = static_cast<uint8_t>(fid >> 8);
    std::memcpy(r.data() + 2, dir, std::strlen(dir));
    std::memcpy(r.data() + 12, name, std::strlen(name));
    r[24] = 0x00;
    r[25] = 0xD0;  // everyone reads, user writes
    r[26] = static_cast<uint8_t>(used);
    r[27] = static_cast<uint8_t>(used >> 8);
    r[28] = static_cast<uint8_t>(allocated);
    r[29] = static_cast<uint8_t>(allocated >> 8);
    return r;
}

Bytes Table(const std::vector<Bytes>& records) {
    Bytes t;
    for (const auto& r : records) t.insert(t.end(), r.begin(), r.end());
    t.resize(1500, 0);
    return t;
}

class FileCache : public ::testing::Test {
protected:
    FileCache() {
        dir_ = (std::filesystem::temp_directory_path() / ("kvcache-test-" + std::to_string(getpid()))).string();
        std::filesystem::remove_all(dir_);
        token.files[kTable] = Table({Record(0xFFFF, "mscp", "", 0, 0), Record(0x2420, "mscp", "cmapfile", 4, 8)});
        token.files[0x2420] = Bytes{1, 2, 3, 4, 0, 0, 0, 0};
        token.Lock();
    }
    ~FileCache() override { std::filesystem::remove_all(dir_); }

    void Plant(uint16_t fid, const Bytes& content) {
        std::filesystem::create_directories(dir_);
        char name[16];
        std::snprintf(name, sizeof name, "/%04X.dat", fid);
        std::ofstream(dir_ + name, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                          static_cast<std::streamsize>(content.size()));
    }
    void PlantCounter() {
        const uint32_t c = token.counter & 0xFFFF;
        Plant(0xFFFF, Bytes{static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 0, 0});
    }
    Bytes ReadTable(CFileCacheLocal& cache, RV* rv) {
        ByteVec out;
        *rv = cache.Read(kTable, 0, out, nullptr);
        return out;
    }

    kvfuzz::MemoryToken token;
    std::string dir_;
};

// Records the file system never writes, and the reserved FIDs: a token
// table holding one is refused, a mirrored one is ignored.
const struct BadTable {
    const char* what;
    std::vector<Bytes> records;
} kBadTables[] = {
    {"empty file with lengths", {Record(0xFFFE, "", "a", 10, 10)}},
    {"free record with lengths", {Record(0x0000, "", "", 0, 16)}},
    {"directory with lengths", {Record(0xFFFF, "d", "", 0, 16)}},
    {"used above allocated", {Record(0x2440, "", "a", 9, 8)}},
    {"data file without size", {Record(0x2440, "", "a", 0, 0)}},
    {"the record file", {Record(kTable, "", "a", 4, 1500)}},
    {"the master file", {Record(0x3F00, "", "a", 4, 8)}},
    {"a private key file", {Record(0xA020, "", "a", 4, 8)}},
    {"a secret key file", {Record(0x0501, "", "a", 4, 8)}},
    {"one FID twice", {Record(0x2440, "", "a", 4, 8), Record(0x2440, "", "b", 4, 8)}},
};

TEST_F(FileCache, TokenTableThatTheFileSystemCannotHaveWrittenIsADeviceError) {
    for (const auto& c : kBadTables) {
        token.files[kTable] = Table(c.records);
        CFileCacheLocal cache(&token, "");
        RV rv = 0;
        ReadTable(cache, &rv);
        EXPECT_EQ(rv, CKR_DEVICE_ERROR) << c.what;
    }
}

TEST_F(FileCache, PlantedMirrorTableIsIgnoredAndTheTokensIsUsed) {
    const Bytes good = token.files[kTable];
    for (const auto& c : kBadTables) {
        PlantCounter();
        Plant(kTable, Table(c.records));
        CFileCacheLocal cache(&token, dir_);
        RV rv = 0;
        EXPECT_EQ(ReadTable(cache, &rv), good) << c.what;
        EXPECT_EQ(rv, 0u) << c.what;
        std::ifstream mirrored(dir_ + "/6F01.dat", std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(mirrored), {}), good) << c.what << ": mirror rewritten";
    }
}

TEST_F(FileCache, ValidMirrorTableIsUsedWithoutReadingTheToken) {
    CFileCacheLocal first(&token, dir_);
    RV rv = 0;
    const Bytes table = ReadTable(first, &rv);
    ASSERT_EQ(rv, 0u);
    token.FailAfter(1, 1000, CKR_DEVICE_ERROR, false);  // only the counter read may reach the token
    CFileCacheLocal second(&token, dir_);
    EXPECT_EQ(ReadTable(second, &rv), table);
    EXPECT_EQ(rv, 0u);
}

TEST_F(FileCache, RecordsThatWouldSpoilTheTableAreNotWritten) {
    CFileCacheLocal cache(&token, "");
    const Bytes before = token.files[kTable];
    for (const auto& c : kBadTables) {
        Bytes recs;
        for (const auto& r : c.records) recs.insert(recs.end(), r.begin(), r.end());
        EXPECT_EQ(cache.Write(kTable, 2 * 30, recs.data(), static_cast<uint32_t>(recs.size()), nullptr),
                  CKR_ARGUMENTS_BAD)
            << c.what;
    }
    const Bytes clash = Record(0x2420, "", "other", 4, 8);  // the FID of cmapfile again
    EXPECT_EQ(cache.Write(kTable, 2 * 30, clash.data(), 30, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(token.files[kTable], before);
}

TEST_F(FileCache, RecordWrittenAfterAReloadGetsAFittingBuffer) {
    CFileCacheLocal cache(&token, "");
    uint32_t count = 0;
    RV rv = 0;
    ReadTable(cache, &rv);
    ASSERT_EQ(rv, 0u);
    // CREATE FILE goes through, the counter read after it fails: the cache
    // reloads before the next operation and forgets the new file's buffer.
    token.FailAfter(1, 1, CKR_DEVICE_ERROR, false);
    ASSERT_EQ(cache.Create(0x2440, 200, 0xD000, &count), 0u);
    const Bytes rec = Record(0x2440, "mscp", "big", 200, 200);
    ASSERT_EQ(cache.Write(kTable, 2 * 30, rec.data(), 30, nullptr), 0u);
    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(cache.Write(0x2440, 0, data.data(), 200, &count), 0u);
    ByteVec back;
    ASSERT_EQ(cache.Read(0x2440, 0, back, nullptr), 0u);
    EXPECT_EQ(back, data);
    EXPECT_EQ(token.files[0x2440], data);
}

TEST_F(FileCache, RecordReplacedByALargerFileDoesNotWriteIntoTheOldBuffer) {
    CFileCacheLocal cache(&token, "");
    ByteVec content;
    ASSERT_EQ(cache.Read(0x2420, 0, content, nullptr), 0u);  // the 8-byte buffer holds cmapfile
    // The same slot now names a 600-byte file (as after another application's change).
    token.files[0x2440] = Bytes(600, 0);
    const Bytes rec = Record(0x2440, "mscp", "cmapfile", 600, 600);
    ASSERT_EQ(cache.Write(kTable, 30, rec.data(), 30, nullptr), 0u);
    const Bytes data(600, 0xAB);
    uint32_t count = 0;
    ASSERT_EQ(cache.Write(0x2440, 0, data.data(), 600, &count), 0u);
    ByteVec back;
    ASSERT_EQ(cache.Read(0x2440, 0, back, nullptr), 0u);
    EXPECT_EQ(back, data);
    EXPECT_EQ(cache.Read(0x2420, 0, back, nullptr), RV_NOT_FOUND);

    // The heap is intact: a second file neither overlaps the first nor fails.
    ASSERT_EQ(cache.Create(0x2460, 300, 0xD000, &count), 0u);
    const Bytes rec2 = Record(0x2460, "mscp", "second", 300, 300);
    ASSERT_EQ(cache.Write(kTable, 2 * 30, rec2.data(), 30, nullptr), 0u);
    const Bytes data2(300, 0xCD);
    ASSERT_EQ(cache.Write(0x2460, 0, data2.data(), 300, &count), 0u);
    ASSERT_EQ(cache.Read(0x2440, 0, back, nullptr), 0u);
    EXPECT_EQ(back, data);
    ASSERT_EQ(cache.Read(0x2460, 0, back, nullptr), 0u);
    EXPECT_EQ(back, data2);
}

TEST_F(FileCache, CreateTakesOnlyNamedFileFids) {
    CFileCacheLocal cache(&token, "");
    uint32_t count = 0;
    for (uint16_t fid : {uint16_t(0x0000), uint16_t(0x0501), kTable, uint16_t(0x3F00), uint16_t(0xA020), uint16_t(0xFFFE)})
        EXPECT_EQ(cache.Create(fid, 16, 0xD000, &count), CKR_ARGUMENTS_BAD) << std::hex << fid;
    EXPECT_EQ(token.files.count(0x0501), 0u);
}

// A token whose read of the record table calls back into the cache once,
// as a recovery inside an exchange could (a re-login reading the PIN flags
// through the cache), and fails the commands of that nested call.
class ReenteringToken : public kvfuzz::MemoryToken {
public:
    RV ReadBinary(uint16_t fid, uint8_t* buffer, uint32_t offset, uint32_t length, uint32_t* size) override {
        if (cache && fid == kTable) {
            CFileCacheLocal* outer = cache;
            cache = nullptr;
            FailAfter(0, 8, CKR_DEVICE_ERROR, false);
            ByteVec out;
            nested = outer->Read(0x2420, 0, out, nullptr);
            FailAfter(0, 0, 0, false);
        }
        return MemoryToken::ReadBinary(fid, buffer, offset, length, size);
    }
    CFileCacheLocal* cache = nullptr;
    RV nested = 0;
};

// A cache call made from inside one of the cache's own token commands is
// refused, and the outer call, half-way through reloading the table,
// finishes with its memory intact.
TEST(FileCacheNesting, ACallFromInsideACacheCommandIsRefused) {
    ReenteringToken token;
    token.files[kTable] = Table({Record(0xFFFF, "mscp", "", 0, 0), Record(0x2420, "mscp", "cmapfile", 4, 8)});
    token.files[0x2420] = Bytes{1, 2, 3, 4, 0, 0, 0, 0};
    CFileCacheLocal cache(&token, "");
    token.Lock();
    ByteVec content;
    ASSERT_EQ(cache.Read(0x2420, 0, content, nullptr), 0u);
    token.Unlock();
    ++token.counter;  // another writer: the next call reloads the table
    token.Lock();
    token.cache = &cache;
    ASSERT_EQ(cache.Read(0x2420, 0, content, nullptr), 0u);
    EXPECT_EQ(token.nested, CKR_FUNCTION_FAILED);
    EXPECT_EQ(content, (ByteVec{1, 2, 3, 4}));
    token.Unlock();
}

}  // namespace
