// Two library instances on two connections take turns creating, growing,
// writing and deleting files on one token: nothing is lost or duplicated.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "file_record.h"
#include "ifile_cache.h"
#include "ifile_system.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::TokenClient;

namespace {

TEST(TwoInstances, TakeTurnsWithoutLosingAnything) {
    SimProcess sim;
    DiskMirror::SetBase(sim.Dir() + "/mirror-a");
    TokenClient a(sim.Socket());
    ASSERT_EQ(a.token->ConnectAndSetenv(), 0u);
    IFileSystem* fsA = a.token->GetFileSystem();
    ASSERT_EQ(testing_kv::LoginUser(*a.token), 0u);
    DiskMirror::SetBase(sim.Dir() + "/mirror-b");
    TokenClient b(sim.Socket());
    ASSERT_EQ(b.token->ConnectAndSetenv(), 0u);
    IFileSystem* fsB = b.token->GetFileSystem();
    ASSERT_EQ(testing_kv::LoginUser(*b.token), 0u);
    ASSERT_TRUE(fsA && fsB);

    std::map<std::string, ByteVec> model;
    std::mt19937 rng(7);
    for (int step = 0; step < 60; ++step) {
        IFileSystem* fs = step % 2 ? fsB : fsA;
        CTokenTarn& token = step % 2 ? *b.token : *a.token;
        ASSERT_EQ(token.Lock(), 0u);
        const std::string name = "n" + std::to_string(rng() % 8);
        const bool exists = model.count(name) != 0;
        const int action = static_cast<int>(rng() % 3);
        if (!exists) {
            const uint32_t size = 16 + rng() % 200;
            ByteVec content(size, static_cast<uint8_t>(step));
            ASSERT_EQ(fs->CreateFile("pkcs11", name, size, size, 0xDB00, nullptr), 0u) << step;
            ASSERT_EQ(fs->WriteFile("pkcs11", name, 0, content.data(), size, nullptr), 0u) << step;
            model[name] = content;
        } else if (action == 0) {
            ASSERT_EQ(fs->DeleteFile("pkcs11", name), 0u) << step;
            model.erase(name);
        } else if (action == 1) {
            const uint32_t size = static_cast<uint32_t>(model[name].size()) + 50;  // grows: a new token file
            ByteVec content(size, static_cast<uint8_t>(0x80 + step));
            ASSERT_EQ(fs->ResizeFile("pkcs11", name, size, nullptr, content.data()), 0u) << step;
            model[name] = content;
        } else {
            ByteVec back;
            ASSERT_EQ(fs->ReadFile("pkcs11", name, 0, back, nullptr), 0u) << step;
            EXPECT_EQ(back, model[name]) << step << " " << name;
            back[0] ^= 0x5A;
            ASSERT_EQ(fs->WriteFile("pkcs11", name, 0, back.data(), 1, nullptr), 0u) << step;
            model[name][0] = back[0];
        }
        token.Unlock();
    }

    // Both views agree with the model; names and FIDs are unique; no orphan token files.
    for (IFileSystem* fs : {fsA, fsB}) {
        std::vector<std::string> dirs, files;
        ASSERT_EQ(fs->EnumFiles("pkcs11", dirs, files, nullptr), 0u);
        EXPECT_EQ(std::set<std::string>(files.begin(), files.end()).size(), files.size());
        EXPECT_EQ(files.size(), model.size());
        for (const auto& [name, content] : model) {
            ByteVec back;
            ASSERT_EQ(fs->ReadFile("pkcs11", name, 0, back, nullptr), 0u);
            EXPECT_EQ(back, content) << name;
        }
    }
    ByteVec table;
    ASSERT_EQ(a.token->GetFileCache()->Read(0x6F01, 0, table, nullptr), 0u);
    std::set<uint16_t> recordFids;
    for (uint32_t i = 0; i < kRecordCount; ++i) {
        tagFILE_RECORD r = tagFILE_RECORD::Decode(table.data() + i * kRecordSize);
        if (r.IsDataFile()) {
            EXPECT_TRUE(recordFids.insert(r.fid).second) << "duplicate FID " << r.fid;
        }
    }
    std::vector<uint16_t> onToken;
    ASSERT_EQ(a.token->GetFileList(onToken), 0u);
    for (uint16_t fid : onToken) {
        if (fid >= 0x2400 && fid < 0x3400) {
            EXPECT_TRUE(recordFids.count(fid)) << "orphan file " << std::hex << fid;
        }
    }
}

}  // namespace
