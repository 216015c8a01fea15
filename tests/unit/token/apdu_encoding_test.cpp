// Plain and wrapped command encodings, answer unwrapping and channel opening,
// against hand-worked bytes and the shared wire vectors.
#include <gtest/gtest.h>

#include "apdu.h"
#include "sm_session.h"
#include "result_codes.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

std::string Plain(const APDU& a) {
    uint8_t buf[4096];
    uint32_t len = 0;
    EXPECT_TRUE(Build_Plaintext_APDU(a, buf, sizeof buf, &len));
    return ToHex(Bytes(buf, buf + len));
}

APDU FromVector(const nlohmann::json& c) {
    Bytes data = Hex(c["data"]);
    return APDU(c["cla"], c["ins"], c["p1"], c["p2"], static_cast<uint32_t>(data.size()), data.data(), c["le"]);
}

TEST(PlainApdu, HandWorkedForms) {
    const uint8_t fid[2] = {0x3F, 0x00};
    EXPECT_EQ(Plain(APDU(0x00, 0xE4, 0, 0)), "00E4000000");                      // five bytes ending 00
    EXPECT_EQ(Plain(APDU(0x00, 0xB0, 0, 0, 0, nullptr, 8)), "00B0000008");
    EXPECT_EQ(Plain(APDU(0x00, 0xB0, 0, 0, 0, nullptr, 255)), "00B00000FF");
    EXPECT_EQ(Plain(APDU(0x00, 0xB0, 0, 0, 0, nullptr, 256)), "00B00000000100");  // 00 01 00
    EXPECT_EQ(Plain(APDU(0x00, 0xB0, 1, 0x50, 0, nullptr, 336)), "00B00150000150");
    EXPECT_EQ(Plain(APDU(0x00, 0xA4, 0, 0, 2, fid)), "00A40000023F00");
    EXPECT_EQ(Plain(APDU(0x00, 0xA4, 0, 0, 2, fid, 16)), "00A40000023F0010");
    EXPECT_EQ(Plain(APDU(0x00, 0xA4, 0, 0, 2, fid, 300)), "00A40000023F0000012C");  // 3-byte Le after 1-byte Lc
}

TEST(PlainApdu, SharedVectors) {
    for (const auto& v : testing_kv::Vectors()["plain_apdus"]) EXPECT_EQ(Plain(FromVector(v)), v["encoded"]) << v["what"];
}

TEST(PlainApdu, RefusesWhatDoesNotFit) {
    uint8_t buf[8];
    uint32_t len;
    const uint8_t data[8] = {};
    EXPECT_FALSE(Build_Plaintext_APDU(APDU(0, 0xD6, 0, 0, 8, data), buf, sizeof buf, &len));
    APDU shortData(0, 0xD6, 0, 0, 2, data);
    shortData.lc = 4;  // claims more than it holds
    uint8_t big[64];
    EXPECT_FALSE(Build_Plaintext_APDU(shortData, big, sizeof big, &len));
}

TEST(PlainApdu, RefusesLcThatDisagreesWithItsData) {
    const uint8_t data[4] = {1, 2, 3, 4};
    uint8_t buf[64];
    uint32_t len = 0;
    APDU longData(0, 0xD6, 0, 0, 4, data);
    longData.lc = 2;  // claims less than it holds
    EXPECT_FALSE(Build_Plaintext_APDU(longData, buf, sizeof buf, &len));
    APDU noData(0, 0xD6, 0, 0, 4, nullptr);  // an Lc without its bytes
    EXPECT_FALSE(Build_Plaintext_APDU(noData, buf, sizeof buf, &len));
}

class Wrapped : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        v = testing_kv::Channel(GetParam());
        session.SetCipher(GetParam() == "aes128" ? SessionCipher::Aes128 : SessionCipher::Tdes2);
        Bytes e = Hex(v["s_enc"]), m = Hex(v["s_mac"]), c = Hex(v["counter_after_opening"]);
        session.SetState(e.data(), m.data(), c.data());
    }
    nlohmann::json v;
    SmSession session;
};

TEST_P(Wrapped, CommandsMatchTheVectorsInOrder) {
    for (const auto& c : v["commands_in_order"]) {
        APDU a = FromVector(c);
        a.cla |= 0x0C;
        uint8_t buf[4096];
        uint32_t len = 0;
        ASSERT_TRUE(session.Wrap(a, c["expect_data_flag"], buf, sizeof buf, &len));
        EXPECT_EQ(ToHex(Bytes(buf, buf + len)), c["wrapped"].get<std::string>()) << c["what"];
        EXPECT_EQ(ToHex(Bytes(session.Counter(), session.Counter() + 16)), c["counter_used"].get<std::string>());
    }
}

TEST_P(Wrapped, StructureByHand) {
    const size_t b = GetParam() == "aes128" ? 16 : 8;
    uint8_t buf[4096];
    uint32_t len = 0;
    // Neither data nor Le: Lc' = 10, the MAC object alone.
    ASSERT_TRUE(session.Wrap(APDU(0x0C, 0x2A, 0x9E, 0x9A), false, buf, sizeof buf, &len));
    EXPECT_EQ(len, 15u);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 7)).substr(0, 14), "0C2A9E9A0A8E08");
    // b-1 data bytes pad to one block, b bytes to two.
    const uint8_t data[32] = {};
    ASSERT_TRUE(session.Wrap(APDU(0x0C, 0xD6, 0, 0, static_cast<uint32_t>(b - 1), data), false, buf, sizeof buf, &len));
    EXPECT_EQ(buf[5], 0x87);
    EXPECT_EQ(buf[6], 1 + b);
    ASSERT_TRUE(session.Wrap(APDU(0x0C, 0xD6, 0, 0, static_cast<uint32_t>(b), data), false, buf, sizeof buf, &len));
    EXPECT_EQ(buf[6], 1 + 2 * b);
    // Le 127: 97 01 7F and one trailing byte; Le 128: 97 02 00 80 and two.
    ASSERT_TRUE(session.Wrap(APDU(0x0C, 0x84, 0, 0, 0, nullptr, 127), false, buf, sizeof buf, &len));
    EXPECT_EQ(ToHex(Bytes(buf + 5, buf + 8)), "97017F");
    EXPECT_EQ(ToHex(Bytes(buf + len - 1, buf + len)), "7F");
    ASSERT_TRUE(session.Wrap(APDU(0x0C, 0x84, 0, 0, 0, nullptr, 128), false, buf, sizeof buf, &len));
    EXPECT_EQ(ToHex(Bytes(buf + 5, buf + 9)), "97020080");
    EXPECT_EQ(ToHex(Bytes(buf + len - 2, buf + len)), "0080");
    // 130 bytes of data: the 82 length form of the data object.
    ASSERT_TRUE(session.Wrap(APDU(0x0C, 0xD6, 0, 0, 130, std::vector<uint8_t>(130).data()), false, buf, sizeof buf,
                             &len));
    EXPECT_EQ(ToHex(Bytes(buf + 5, buf + 8)), "878200");
}

TEST_P(Wrapped, UnwrapsTheVectorAnswerAndRefusesMalformedOnes) {
    Bytes wrapped = Hex(v["answer"]["wrapped_data_object"]);
    uint8_t out[64];
    uint32_t len = 0;
    ASSERT_EQ(session.Unwrap(wrapped.data(), static_cast<uint32_t>(wrapped.size()), out, sizeof out, &len), 0u);
    EXPECT_EQ(ToHex(Bytes(out, out + len)), v["answer"]["plain_data"].get<std::string>());
    EXPECT_EQ(session.Unwrap(wrapped.data(), static_cast<uint32_t>(wrapped.size()), out, 3, &len), CKR_DEVICE_ERROR)
        << "larger than the caller's area";

    auto refused = [&](Bytes bad, const char* what) {
        EXPECT_EQ(session.Unwrap(bad.data(), static_cast<uint32_t>(bad.size()), out, sizeof out, &len),
                  CKR_DEVICE_ERROR)
            << what;
    };
    Bytes b = wrapped;
    b[0] = 0x99;
    refused(b, "wrong tag");
    b = wrapped;
    b[1] += 1;
    refused(b, "length past the answer");
    b = wrapped;
    b[2] = 0x02;
    refused(b, "indicator not 01");
    b = wrapped;
    b[1] -= 1;
    b.pop_back();
    refused(b, "not whole blocks");
    const size_t blk = GetParam() == "aes128" ? 16 : 8;
    // One block of bad padding under the session key: no 80, 80 first, data after the 80.
    Bytes noMarker(blk, 0x00), markerFirst(blk, 0x00), dataAfter(blk, 0x00);
    markerFirst[0] = 0x80;
    dataAfter[0] = 0x01;
    dataAfter[1] = 0x80;
    dataAfter[2] = 0xAA;
    for (const Bytes& plain : {noMarker, markerFirst, dataAfter}) {
        Bytes ct(blk);
        ASSERT_TRUE(SmCbcEncrypt(session.Cipher(), session.EncKey(), nullptr, plain.data(), blk, ct.data()));
        Bytes obj{0x87, static_cast<uint8_t>(blk + 1), 0x01};
        obj.insert(obj.end(), ct.begin(), ct.end());
        refused(obj, "padding");
    }
}

TEST_P(Wrapped, OpensTheChannelAsTheVectorsSay) {
    SmSession fresh;
    fresh.SetCipher(session.Cipher());
    Bytes kEnc = Hex(v["k_enc"]), kMac = Hex(v["k_mac"]), hc = Hex(v["host_challenge"]);
    Bytes r = Hex(v["initialize_update_answer_data"]);
    uint8_t auth[16];
    ASSERT_EQ(fresh.Open(kEnc.data(), kMac.data(), hc.data(), r.data(), auth), 0u);
    Bytes ext = Hex(v["external_authenticate"]);
    EXPECT_EQ(ToHex(Bytes(auth, auth + 16)), ToHex(Bytes(ext.begin() + 5, ext.end())));
    EXPECT_EQ(ToHex(Bytes(fresh.Counter(), fresh.Counter() + 16)), v["counter_after_opening"].get<std::string>());
    r[27] ^= 1;
    EXPECT_EQ(fresh.Open(kEnc.data(), kMac.data(), hc.data(), r.data(), auth), CKR_GENERAL_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Ciphers, Wrapped, ::testing::Values("aes128", "tdes2"));

TEST(StatusWords, MapAsTheTokenMeansThem) {
    struct Case {
        uint16_t sw;
        RV rv;
    } cases[] = {{0x9000, 0},
                 {0x6B00, CKR_DATA_LEN_RANGE},
                 {0x6700, CKR_DATA_LEN_RANGE},
                 {0x6A82, SCARD_E_FILE_NOT_FOUND},
                 {0x6986, SCARD_E_FILE_NOT_FOUND},
                 {0x6A83, SCARD_E_DIR_NOT_FOUND},
                 {0x6985, SCARD_E_NO_SUCH_FILE},
                 {0x6982, CKR_USER_NOT_LOGGED_IN},
                 {0x6983, CKR_PIN_LOCKED},
                 {0x6A84, CKR_DEVICE_MEMORY},
                 {0x6988, SCARD_E_UNEXPECTED},
                 {0x6F83, SCARD_E_UNEXPECTED},
                 {0x63C2, CKR_DEVICE_ERROR},
                 {0x6A85, CKR_DEVICE_ERROR},
                 {0xFFFF, CKR_DEVICE_ERROR}};
    for (auto c : cases) EXPECT_EQ(GetDevErr(c.sw), c.rv) << std::hex << c.sw;
}

}  // namespace
