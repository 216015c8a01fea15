// The multi-part engine's buffering and length protocol, the factory's
// choice between token and software, and the padding helpers.
#include <gtest/gtest.h>

#include <memory>

#include "alg_factory.h"
#include "obj_factory.h"
#include "padding.h"
#include "random_backend.h"
#include "test_vectors.h"
#include "token_tarn.h"

using testing_kv::Bytes;
using testing_kv::ToHex;

namespace {

// An 8-byte "cipher" that adds 1 to every byte: enough to watch the buffering.
class AddOne : public AlgMultiPart {
public:
    explicit AddOne(bool holdLast = false) { holdLastBlock_ = holdLast; }
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_ENCRYPT; }
    uint32_t GetBlockSize() const override { return 8; }
    CK_RV DoCryptSingleBlock(const uint8_t* in, uint8_t* out) override {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(in[i] + 1);
        return CKR_OK;
    }
};

uint32_t Feed(AlgMultiPart& a, uint32_t n) {
    Bytes in(n, 0x10), out(64);
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(a.Update(in.data(), n, out.data(), &len), CKR_OK);
    return len;
}

TEST(MultiPart, BuffersPartialBlocks) {
    AddOne ecb;
    EXPECT_EQ(Feed(ecb, 5), 0u);
    EXPECT_EQ(Feed(ecb, 5), 8u);
    uint8_t out[16];
    uint32_t len = sizeof out;
    EXPECT_EQ(ecb.Final(nullptr, &len), CKR_OK);  // length query unchanged
    EXPECT_EQ(len, 0u);
    len = sizeof out;
    EXPECT_EQ(ecb.Final(out, &len), CKR_DATA_LEN_RANGE);  // two bytes left over are not dropped silently
}

TEST(MultiPart, HoldsTheLastBlockWhenAsked) {
    struct Case {
        uint32_t in, out;
    } cases[] = {{16, 8}, {15, 0}, {17, 8}};
    for (auto c : cases) {
        AddOne pad(true);
        EXPECT_EQ(Feed(pad, c.in), c.out) << c.in;
    }
}

TEST(MultiPart, LengthQueriesConsumeNothing) {
    AddOne a;
    Bytes in(20, 0x01);
    uint32_t len = 99;
    EXPECT_EQ(a.Update(nullptr, 0, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 0u);  // empty input: zero output
    len = 0;
    EXPECT_EQ(a.Update(in.data(), 20, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 16u);
    Bytes out(16);
    len = 15;
    EXPECT_EQ(a.Update(in.data(), 20, out.data(), &len), RV_BUFFER_TOO_SMALL);
    len = 16;
    ASSERT_EQ(a.Update(in.data(), 20, out.data(), &len), CKR_OK);
    EXPECT_EQ(ToHex(out), "02020202020202020202020202020202");
    EXPECT_EQ(a.Update(in.data(), 20, out.data(), nullptr), CKR_ARGUMENTS_BAD);
}

TEST(MultiPart, SinglePartChecksWholeBlocksFirst) {
    AddOne a;
    Bytes in(16, 0), out(16);
    EXPECT_EQ(a.Do(in.data(), 12, out.data(), nullptr), CKR_DATA_LEN_RANGE);
    uint32_t len = 8;
    EXPECT_EQ(a.Do(in.data(), 16, out.data(), &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 16u);
    len = 16;
    EXPECT_EQ(a.Do(in.data(), 16, out.data(), &len), CKR_OK);
    EXPECT_EQ(out[15], 1);
}

// Token-backed and software stand-ins under one mechanism.
class Marker : public AlgMultiPart {
public:
    explicit Marker(bool hard) : hard_(hard) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_ENCRYPT; }
    uint32_t GetBlockSize() const override { return hard_ ? 2 : 1; }
    CK_RV Init(const CK_MECHANISM*, ObjPtr) override { return CKR_OK; }

private:
    bool hard_;
};

kv::shared_ptr<IObj> Key(bool onToken, uint32_t ref) {
    CK_ULONG cls = CKO_SECRET_KEY, type = CKK_AES;
    CK_BBOOL token = onToken;
    CK_ULONG keyRef = ref;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &token, 1},
                        {CKA_VENDOR_KEY_REF, &keyRef, sizeof keyRef}};
    return ObjFactory::CreateObject(t, ref ? 4 : 3);
}

TEST(Factory, ChoosesTokenOnlyForTokenKeysWithAReference) {
    const CK_MECHANISM_TYPE testMech = CKM_VENDOR_DEFINED + 0x77;
    ASSERT_TRUE(AlgFactory::RegisterSoftAlg(testMech, []() -> Alg* { return new Marker(false); }));
    CTokenTarn token;
    AlgFactory factory(&token);
    ASSERT_TRUE(factory.RegisterHardAlg(testMech, [](IToken*) -> Alg* { return new Marker(true); }));
    CK_MECHANISM m{testMech, nullptr, 0};
    struct Case {
        bool onToken;
        uint32_t ref;
        uint32_t blockSize;
    } cases[] = {{false, 0, 1}, {true, 0, 1}, {false, 5, 1}, {true, 5, 2}};
    for (auto c : cases) {
        Alg* alg = nullptr;
        ASSERT_EQ(factory.CreateEncAlg(&m, Key(c.onToken, c.ref), &alg), CKR_OK);
        EXPECT_EQ(dynamic_cast<AlgMultiPart*>(alg)->GetBlockSize(), c.blockSize) << c.onToken << c.ref;
        delete alg;
    }
    // No fall-back: a token key whose mechanism only software serves.
    CK_MECHANISM sha{CKM_SHA_1_HMAC, nullptr, 0};
    Alg* alg = nullptr;
    EXPECT_EQ(factory.CreateSignAlg(&sha, Key(true, 5), &alg), RV_NOT_SUPPORTED);
    EXPECT_EQ(factory.CreateDecAlg(&m, Key(false, 0), &alg), RV_NOT_SUPPORTED);
    EXPECT_EQ(factory.CreateEncAlg(nullptr, Key(false, 0), &alg), CKR_ARGUMENTS_BAD);
    AlgFactory noToken;
    EXPECT_EQ(noToken.CreateEncAlg(&m, Key(true, 5), &alg), CKR_GENERAL_ERROR);
    // A later software registration replaces the earlier one.
    ASSERT_TRUE(AlgFactory::RegisterSoftAlg(testMech, []() -> Alg* { return new Marker(true); }));
    ASSERT_EQ(noToken.CreateEncAlg(&m, Key(false, 0), &alg), CKR_OK);
    EXPECT_EQ(dynamic_cast<AlgMultiPart*>(alg)->GetBlockSize(), 2u);
    delete alg;
}

TEST(Padding, Pkcs5) {
    struct Case {
        Bytes block;
        CK_RV rv;
        uint32_t len;
    } cases[] = {
        // Every malformed padding alike: no oracle.
        {{1, 2, 3, 4, 5, 6, 7, 0}, CKR_ENCRYPTED_DATA_INVALID, 0},
        {{1, 2, 3, 4, 5, 6, 7, 9}, CKR_ENCRYPTED_DATA_INVALID, 0},
        {{1, 2, 3, 4, 5, 3, 3, 2}, CKR_ENCRYPTED_DATA_INVALID, 0},  // the 02 pad needs one more 02
        {{1, 2, 3, 4, 5, 2, 3, 3}, CKR_ENCRYPTED_DATA_INVALID, 0},
        {{9, 8, 8, 8, 8, 8, 8, 8}, CKR_ENCRYPTED_DATA_INVALID, 0},
        {{1, 2, 3, 4, 5, 6, 7, 1}, CKR_OK, 7},
        {{8, 8, 8, 8, 8, 8, 8, 8}, CKR_OK, 0},
    };
    for (auto& c : cases) {
        uint32_t len = 99;
        EXPECT_EQ(StripPKCSPadding(c.block.data(), 8, 8, &len), c.rv) << ToHex(c.block);
        if (c.rv == CKR_OK) {
            EXPECT_EQ(len, c.len);
        }
    }
    uint32_t len;
    EXPECT_EQ(StripPKCSPadding(cases[0].block.data(), 4, 8, &len), CKR_ARGUMENTS_BAD);
    Blocker q;
    const uint8_t five[5] = {};
    q.PushBack(five, 5);
    AddPKCSPadding(q, 8);
    EXPECT_EQ(q.Size(), 8u);
    AddPKCSPadding(q, 8);
    EXPECT_EQ(q.Size(), 16u);
}

TEST(Padding, Pkcs1Blocks) {
    const int k = 64;
    Bytes block(k), data(k - 11, 0x42), out(k);
    ASSERT_EQ(RSA_padding_add_PKCS1_before_sign(block.data(), k, data.data(), k - 11), CKR_OK);
    EXPECT_EQ(ToHex(Bytes(block.begin(), block.begin() + 11)), "0001FFFFFFFFFFFFFFFF00");
    EXPECT_EQ(RSA_padding_add_PKCS1_before_sign(block.data(), k, data.data(), k - 10), CKR_DATA_LEN_RANGE);
    int outLen = k;
    ASSERT_EQ(RSA_padding_strip_PKCS1_after_verify(out.data(), outLen, block.data(), k), CKR_OK);
    EXPECT_EQ(outLen, k - 11);

    ASSERT_EQ(RSA_padding_add_PKCS1_before_encrypt(block.data(), k, data.data(), 20), CKR_OK);
    EXPECT_EQ(block[1], 2);
    for (int i = 2; i < k - 21; ++i) EXPECT_NE(block[i], 0) << i;
    EXPECT_EQ(block[k - 21], 0);
    outLen = 19;
    EXPECT_EQ(RSA_padding_strip_PKCS1_after_decrypt(out.data(), outLen, block.data(), k), RV_BUFFER_TOO_SMALL);
    outLen = k;
    ASSERT_EQ(RSA_padding_strip_PKCS1_after_decrypt(out.data(), outLen, block.data(), k), CKR_OK);
    EXPECT_EQ(outLen, 20);

    Bytes shortPad = Bytes{0x00, 0x01, 0xFF, 0xFF, 0x00};
    shortPad.resize(k, 0x11);
    EXPECT_EQ(RSA_padding_strip_PKCS1_after_verify(out.data(), outLen, shortPad.data(), k), CKR_ARGUMENTS_BAD);
    Bytes allFF(k, 0xFF);
    allFF[0] = 0;
    allFF[1] = 1;
    EXPECT_EQ(RSA_padding_strip_PKCS1_after_verify(out.data(), outLen, allFF.data(), k), CKR_DATA_LEN_RANGE);
}

TEST(Random, FillsAndRefusesNothing) {
    uint8_t a[32] = {}, b[32] = {};
    EXPECT_EQ(genrate_random_bytes(a, 32), 32u);
    EXPECT_EQ(genrate_random_bytes(b, 32), 32u);
    EXPECT_NE(ToHex(Bytes(a, a + 32)), ToHex(Bytes(b, b + 32)));
    EXPECT_EQ(genrate_random_bytes(nullptr, 8), 0u);
    EXPECT_EQ(genrate_random_bytes(a, 0), 0u);
}

}  // namespace
