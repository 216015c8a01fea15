// The token's write counter makes other processes' changes visible. Two
// token objects on one lock file stand in for two processes of the family:
// the counter comes from the lock file's record unless a writer may have
// left it unrecorded, a reset or a foreign channel came between, or the
// record is older than the window.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "file_system_tarn.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

class WriteCounter : public ::testing::Test {
protected:
    void SetUp() override {
        a = Client("a");
        b = Client("b");
        ASSERT_TRUE(a && b);
        ASSERT_EQ(A().CreateFile("pkcs11", "f", 4, 4, 0xDB00, nullptr), 0u);
        Put({1, 2, 3, 4});
        EXPECT_EQ(ReadB(), (ByteVec{1, 2, 3, 4}));
    }
    std::unique_ptr<TokenClient> Client(const std::string& name) {
        DiskMirror::SetBase(sim.Dir() + "/" + name);  // read when the cache is made
        auto client = std::make_unique<TokenClient>(sim.Socket());
        if (client->token->ConnectAndSetenv() != 0 || testing_kv::LoginUser(*client->token) != 0) return nullptr;
        return client->token->GetFileSystem() ? std::move(client) : nullptr;
    }
    // The token file that holds pkcs11/f, from the record table.
    uint16_t FileFid() {
        ByteVec table;
        EXPECT_EQ(a->token->GetFileCache()->Read(0x6F01, 0, table, nullptr), 0u);
        for (uint32_t i = 0; i + 1 <= kRecordCount && table.size() >= (i + 1) * kRecordSize; ++i) {
            const tagFILE_RECORD r = tagFILE_RECORD::Decode(table.data() + i * kRecordSize);
            if (r.DirName() == "pkcs11" && r.FileName() == "f") return r.fid;
        }
        return 0;
    }
    IFileSystem& A() { return *a->token->GetFileSystem(); }
    IFileSystem& B() { return *b->token->GetFileSystem(); }
    void Put(const ByteVec& content) { ASSERT_EQ(A().WriteFile("pkcs11", "f", 0, content.data(), 4, nullptr), 0u); }
    // One call of b: one lock scope.
    ByteVec ReadB() {
        ByteVec back;
        EXPECT_EQ(b->token->Lock(), 0u);
        EXPECT_EQ(B().ReadFile("pkcs11", "f", 0, back, nullptr), 0u);
        b->token->Unlock();
        return back;
    }

    SimProcess sim;
    std::unique_ptr<TokenClient> a, b;
};

TEST_F(WriteCounter, AFamilyWriteIsSeenAtTheNextCallAndReadsSendNothing) {
    sim.Control("stats-reset");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ReadB(), (ByteVec{1, 2, 3, 4}));
    EXPECT_EQ(StatOf(sim, "apdus"), 0) << sim.Control("stats");
    Put({5, 6, 7, 8});
    EXPECT_EQ(ReadB(), (ByteVec{5, 6, 7, 8}));
}

// A writer killed between its write and its reading of the new counter
// leaves the record unknown: the next process asks the token.
TEST_F(WriteCounter, AWriteLeftUnrecordedSendsTheNextReaderToTheToken) {
    const uint16_t fid = FileFid();
    ASSERT_NE(fid, 0);
    const uint8_t behind[4] = {9, 9, 9, 9};
    ASSERT_EQ(a->token->WriteBinary(fid, 0, behind, 4, nullptr), 0u);  // past the cache, as if cut off after it
    sim.Control("stats-reset");
    EXPECT_EQ(ReadB(), (ByteVec{9, 9, 9, 9}));
    EXPECT_EQ(StatOf(sim, "ins_CA"), 1);
}

// Another application (outside the lock family) is seen within the window;
// after a reset of the token, at the first call after the one that met it.
TEST_F(WriteCounter, OutsideWritersAreSeenWithinTheWindowAndAfterAReset) {
    const uint16_t fid = FileFid();
    char select[40];
    std::snprintf(select, sizeof select, "other 00A4000002%04X", fid);
    sim.Control(select);
    sim.Control("other 00D6000004AABBCCDD");
    std::this_thread::sleep_for(std::chrono::milliseconds(kCounterWindowMs + 100));
    EXPECT_EQ(ReadB(), (ByteVec{0xAA, 0xBB, 0xCC, 0xDD}));

    // The first command after a reset meets the lost channel: from then on
    // the counter comes from the token.
    sim.Control("reset");
    sim.Control(select);
    sim.Control("other 00D600000411223344");
    ASSERT_EQ(testing_kv::LoginUser(*b->token), 0u);
    EXPECT_EQ(ReadB(), (ByteVec{0x11, 0x22, 0x33, 0x44}));
}

// The token's mechanism list never changes: a process asks for it once,
// and the next process of the same mirror reads it from the phone, long as
// it is.
TEST_F(WriteCounter, TheMechanismListIsAskedOncePerMirror) {
    auto asked = [&] {
        std::istringstream trace(sim.Control("trace"));
        int n = 0;
        for (std::string line; std::getline(trace, line);) n += line.rfind("APDU ", 0) == 0 && line.find("CA0185 ") == 7;
        return n;
    };
    uint8_t list[1024];
    uint32_t len = sizeof list;
    sim.Control("trace-clear");
    auto first = Client("c");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->token->cmdGetData(0x85, list, &len), 0u);
    EXPECT_GT(len, 64u);
    EXPECT_EQ(asked(), 1);
    const ByteVec answer(list, list + len);
    first.reset();
    sim.Control("trace-clear");
    auto next = Client("c");
    ASSERT_TRUE(next);
    len = sizeof list;
    ASSERT_EQ(next->token->cmdGetData(0x85, list, &len), 0u);
    EXPECT_EQ(ByteVec(list, list + len), answer);
    EXPECT_EQ(asked(), 0);
}

}  // namespace
