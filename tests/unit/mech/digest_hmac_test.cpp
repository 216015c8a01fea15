// Digests and HMAC through the Alg interface against published vectors,
// in one part and in many awkward parts, with the length protocol.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "alg_factory.h"
#include "hmac_soft.h"
#include "obj_factory.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

std::unique_ptr<AlgMultiPart> Digest(CK_MECHANISM_TYPE type) {
    AlgFactory factory;
    CK_MECHANISM m{type, nullptr, 0};
    Alg* alg = nullptr;
    EXPECT_EQ(factory.CreateDigestAlg(&m, &alg), CKR_OK);
    return std::unique_ptr<AlgMultiPart>(dynamic_cast<AlgMultiPart*>(alg));
}

std::string OnePart(CK_MECHANISM_TYPE type, const std::string& msg) {
    auto d = Digest(type);
    uint8_t out[64];
    uint32_t len = sizeof out;
    EXPECT_EQ(d->Do(reinterpret_cast<const uint8_t*>(msg.data()), static_cast<uint32_t>(msg.size()), out, &len), CKR_OK);
    return ToHex(Bytes(out, out + len));
}

std::string ManyParts(CK_MECHANISM_TYPE type, const std::string& msg) {
    auto d = Digest(type);
    const auto* p = reinterpret_cast<const uint8_t*>(msg.data());
    size_t done = 0;
    for (size_t step = 1; done < msg.size(); step = step * 3 % 1021 + 1) {
        size_t n = std::min(step, msg.size() - done);
        uint32_t ignored = 0;
        EXPECT_EQ(d->Update(p + done, static_cast<uint32_t>(n), nullptr, &ignored), CKR_OK);
        done += n;
    }
    uint8_t out[64];
    uint32_t len = sizeof out;
    EXPECT_EQ(d->Final(out, &len), CKR_OK);
    return ToHex(Bytes(out, out + len));
}

struct DigestCase {
    CK_MECHANISM_TYPE type;
    std::string message;
    const char* hex;
};

TEST(Digests, PublishedVectorsInOneAndManyParts) {
    const std::string million(1000000, 'a');
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const DigestCase cases[] = {
        {CKM_MD2, "", "8350E5A3E24C153DF2275C9F80692773"},
        {CKM_MD2, "message digest", "AB4F496BFB2A530B219FF33031FE06B0"},
        {CKM_MD5, "", "D41D8CD98F00B204E9800998ECF8427E"},
        {CKM_MD5, "abc", "900150983CD24FB0D6963F7D28E17F72"},
        {CKM_SHA_1, "abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {CKM_SHA_1, two, "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
        {CKM_SHA_1, million, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
        {CKM_SHA224, "abc", "23097D223405D8228642A477BDA255B32AADBCE4BDA0B3F7E36C9DA7"},
        {CKM_SHA256, "", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
        {CKM_SHA256, "abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {CKM_SHA384, "abc",
         "CB00753F45A35E8BB5A03D699AC65007272C32AB0EDED1631A8B605A43FF5BED8086072BA1E7CC2358BAECA134C825A7"},
        {CKM_SHA512, "abc",
         "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OnePart(c.type, c.message), c.hex) << std::hex << c.type;
        EXPECT_EQ(ManyParts(c.type, c.message), c.hex) << std::hex << c.type;
    }
}

TEST(Digests, LengthProtocol) {
    auto d = Digest(CKM_SHA_1);
    const uint8_t msg[] = "abc";
    uint32_t ignored = 0;
    d->Update(msg, 3, nullptr, &ignored);
    uint32_t len = 0;
    EXPECT_EQ(d->Final(nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 20u);
    uint8_t out[20];
    len = 19;
    EXPECT_EQ(d->Final(out, &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 20u);
    ASSERT_EQ(d->Final(out, &len), CKR_OK);  // the context survived both queries
    EXPECT_EQ(ToHex(Bytes(out, out + 20)), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(d->Do(msg, 3, out, nullptr), CKR_ARGUMENTS_BAD);
    len = 5;
    EXPECT_EQ(d->Do(msg, 3, out, &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 20u);
}

kv::shared_ptr<IObj> SecretKey(const Bytes& value) {
    CK_ULONG cls = CKO_SECRET_KEY, type = CKK_GENERIC_SECRET;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
    return ObjFactory::CreateObject(t, 3);
}

std::unique_ptr<Alg> Hmac(CK_MECHANISM_TYPE type, bool sign, const Bytes& key) {
    AlgFactory factory;
    CK_MECHANISM m{type, nullptr, 0};
    Alg* alg = nullptr;
    CK_RV rv = sign ? factory.CreateSignAlg(&m, SecretKey(key), &alg) : factory.CreateVerifyAlg(&m, SecretKey(key), &alg);
    EXPECT_EQ(rv, CKR_OK);
    return std::unique_ptr<Alg>(alg);
}

std::string Mac(CK_MECHANISM_TYPE type, const Bytes& key, const std::string& msg) {
    auto h = Hmac(type, true, key);
    uint8_t out[64];
    uint32_t len = sizeof out;
    EXPECT_EQ(h->Do(reinterpret_cast<const uint8_t*>(msg.data()), static_cast<uint32_t>(msg.size()), out, &len), CKR_OK);
    return ToHex(Bytes(out, out + len));
}

TEST(Hmac, Rfc2202And4231Vectors) {
    const Bytes k16(16, 0x0B), k20(20, 0x0B), k131(131, 0xAA);
    EXPECT_EQ(Mac(CKM_MD5_HMAC, k16, "Hi There"), "9294727A3638BB1C13F48EF8158BFC9D");
    EXPECT_EQ(Mac(CKM_SHA_1_HMAC, k20, "Hi There"), "B617318655057264E28BC0B6FB378C8EF146BE00");
    EXPECT_EQ(Mac(CKM_SHA224_HMAC, k20, "Hi There"), "896FB1128ABBDF196832107CD49DF33F47B4B1169912BA4F53684B22");
    EXPECT_EQ(Mac(CKM_SHA256_HMAC, k20, "Hi There"),
              "B0344C61D8DB38535CA8AFCEAF0BF12B881DC200C9833DA726E9376C2E32CFF7");
    EXPECT_EQ(Mac(CKM_SHA384_HMAC, k20, "Hi There"),
              "AFD03944D84895626B0825F4AB46907F15F9DADBE4101EC682AA034C7CEBC59CFAEA9EA9076EDE7F4AF152E8B2FA9CB6");
    EXPECT_EQ(Mac(CKM_SHA512_HMAC, k20, "Hi There"),
              "87AA7CDEA5EF619D4FF0B4241A1D6CB02379F4E2CE4EC2787AD0B30545E17CDEDAA833B7D6B8A702038B274EAEA3F4E4"
              "BE9D914EEB61F1702E696C203A126854");
    EXPECT_EQ(Mac(CKM_SHA256_HMAC, k131, "Test Using Larger Than Block-Size Key - Hash Key First"),
              "60E431591EE0B67F0D8A26AACBF5B77F8E0BC6213728C5140546040F0EE37F54");
}

TEST(Hmac, Md2FollowsRfc2104OverTheMd2Digest) {
    // H((K ^ opad) || H((K ^ ipad) || m)) with MD2's 16-byte block, built
    // from the digest class.
    const Bytes key = Hex("000102030405060708090A0B0C0D0E0F");
    const std::string msg = "what do ya want for nothing?";
    Bytes inner, outer;
    for (uint8_t b : key) {
        inner.push_back(b ^ 0x36);
        outer.push_back(b ^ 0x5C);
    }
    inner.insert(inner.end(), msg.begin(), msg.end());
    Bytes innerHash = Hex(OnePart(CKM_MD2, std::string(inner.begin(), inner.end())));
    outer.insert(outer.end(), innerHash.begin(), innerHash.end());
    EXPECT_EQ(Mac(CKM_MD2_HMAC, key, msg), OnePart(CKM_MD2, std::string(outer.begin(), outer.end())));
}

TEST(Hmac, VerifyAndItsErrors) {
    const Bytes key(20, 0x0B);
    const uint8_t msg[] = "Hi There";
    Bytes mac = Hex("B617318655057264E28BC0B6FB378C8EF146BE00");
    auto v = Hmac(CKM_SHA_1_HMAC, false, key);
    uint32_t len = 20;
    EXPECT_EQ(v->Do(msg, 8, mac.data(), &len), CKR_OK);
    mac[19] ^= 1;
    EXPECT_EQ(v->Do(msg, 8, mac.data(), &len), CKR_SIGNATURE_INVALID);
    len = 19;
    EXPECT_EQ(v->Do(msg, 8, mac.data(), &len), CKR_SIGNATURE_LEN_RANGE);

    auto s = Hmac(CKM_SHA_1_HMAC, true, key);
    auto* multi = dynamic_cast<AlgMultiPart*>(s.get());
    uint32_t outLen = 20;
    uint8_t out[20];
    EXPECT_EQ(multi->Update(msg, 8, out, &outLen), RV_NOT_SUPPORTED);
    outLen = 0;
    EXPECT_EQ(s->Do(msg, 8, nullptr, &outLen), CKR_OK);
    EXPECT_EQ(outLen, 20u);
    outLen = 10;
    EXPECT_EQ(s->Do(msg, 8, out, &outLen), RV_BUFFER_TOO_SMALL);

    SHA1HmacSignSoft wrongMechanism;
    CK_MECHANISM other{CKM_SHA256_HMAC, nullptr, 0};
    EXPECT_EQ(wrongMechanism.Init(&other, SecretKey(key)), CKR_MECHANISM_INVALID);
    CK_MECHANISM right{CKM_SHA_1_HMAC, nullptr, 0};
    EXPECT_EQ(wrongMechanism.Init(&right, ObjPtr()), CKR_GENERAL_ERROR);
}

}  // namespace
