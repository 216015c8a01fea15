// Key and security commands of CTokenTarn over a fake device (secure
// messaging off), against bytes worked out by hand.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "fake_card_device.h"
#include "token_tarn.h"
#include "token_wiring.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

class TokenKeys : public ::testing::Test {
protected:
    TokenKeys() {
        dev = new FakeCardDevice;
        token.SetDev(dev);
        EXPECT_EQ(token.ConnectAndSetenv(), 0u);
        dev->sent.clear();
    }
    static Bytes Message(size_t n) {
        Bytes m(n);
        for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i * 7 + 1);
        return m;
    }
    FakeCardDevice* dev;
    CTokenTarn token{SlotTokenParts()};
};

// SHA-1 state after whole 64-byte blocks, from OpenSSL's own context.
std::string Sha1Chain(const Bytes& m, size_t head) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    SHA_CTX ctx;
    SHA1_Init(&ctx);
    SHA1_Update(&ctx, m.data(), head);
    const unsigned int h[5] = {ctx.h0, ctx.h1, ctx.h2, ctx.h3, ctx.h4};
#pragma GCC diagnostic pop
    Bytes out;
    for (unsigned int w : h) out.insert(out.end(), {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)});
    return ToHex(out);
}

TEST_F(TokenKeys, KeyFilesAndGenerationByHand) {
    ASSERT_EQ(token.CreateRSAReference(0x8000, 0xA020, 1024), 0u);
    ASSERT_EQ(token.CreateECCReference(0x8020, 0xA040, 192), 0u);
    ASSERT_EQ(token.RSAGenerateKeyPair(0x2401, 0x2402, 1024), 0u);
    ASSERT_EQ(token.ECCGenerateKeyPair(0x8020, 0xA040, 256), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{
                             "00E40000028000",
                             "00E000001C" "621A" "82021200" "83028000" "85020400" "860890B6B696FFFFFFFF" "87020066",
                             "00E4000002A020",
                             "00E0000018" "6216" "82021100" "8302A020" "85020400" "8608FFB6B696FFFFFFFF",
                             "00E40000028020",
                             "00E000001C" "621A" "82021400" "83028020" "85020100" "860890B6B696FFFFFFFF" "87020066",
                             "00E4000002A040",
                             "00E0000018" "6216" "82021300" "8302A040" "85020100" "8608FFB6B696FFFFFFFF",
                             "00460000070104002402" "2401",
                             "0046000007020100A040" "8020",
                         }));
}

TEST_F(TokenKeys, KeyPartsAndSecretKeys) {
    const Bytes modulus(128, 0xC1), exponent = Hex("010001"), privateExponent(128, 0xD2);
    ASSERT_EQ(token.RSAWritePubKey(0x8000, modulus, exponent), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"80E7010005" "8000" "010001",
                                                   "80E7020082" "8000" + ToHex(modulus)}));
    dev->sent.clear();
    ASSERT_EQ(token.RSAWritePrvKey(0xA020, modulus, privateExponent, exponent, false), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"80E7020082" "A020" + ToHex(modulus),
                                                   "80E7030082" "A020" + ToHex(privateExponent)}));
    dev->sent.clear();
    const Bytes scalar(32, 0x33);
    ASSERT_EQ(token.ECCWritePrvKey(0xA040, scalar.data(), 32), 0u);
    ASSERT_EQ(token.UpdateKey(0x11, Hex("000102030405060708090A0B0C0D0E0F").data(), 16), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"80E9010022" "A040" + ToHex(scalar),
                                                   "80E5051111" "00" "000102030405060708090A0B0C0D0E0F"}));
    // Refused before anything is sent.
    dev->sent.clear();
    struct Case {
        const char* what;
        RV rv;
    } refused[] = {
        {"two-byte exponent", token.RSAWritePubKey(0x8000, modulus, Hex("0101"))},
        {"modulus of 63 bytes", token.RSAWritePubKey(0x8000, Bytes(63, 1), exponent)},
        {"modulus of 257 bytes", token.RSAWritePubKey(0x8000, Bytes(257, 1), exponent)},
        {"private exponent of another length", token.RSAWritePrvKey(0xA020, modulus, Bytes(127, 1), exponent, false)},
        {"empty public exponent with the public half",
         token.RSAWritePrvKey(0xA020, modulus, privateExponent, Bytes(), true)},
        {"key part of 499 bytes", token.ECCWritePubKey(0x8020, Bytes(499, 4).data(), 499)},
    };
    for (const auto& c : refused) EXPECT_EQ(c.rv, CKR_ARGUMENTS_BAD) << c.what;
    EXPECT_TRUE(dev->sent.empty());
}

TEST_F(TokenKeys, HashAndSignSendsTheWholeMessageOrAContinuation) {
    dev->psoAnswer = Bytes(128, 0x77);
    const auto tailOf = [](const Bytes& m, size_t n) { return ToHex(Bytes(m.end() - static_cast<long>(n), m.end())); };
    const Bytes m0 = Message(0), m335 = Message(335), m336 = Message(336), m384 = Message(384), m5000 = Message(5000);
    struct Case {
        const Bytes& message;
        std::string hash;  // the hashing command
    } cases[] = {
        {m0, "002A9080" "14"},
        {m335, "002A9080" "00014F" + ToHex(m335) + "14"},
        // 336: five blocks here, 16 bytes left for the token.
        {m336, "002A90A0" "2E" "810400000005" "9014" + Sha1Chain(m336, 320) + "8010" + tailOf(m336, 16) + "14"},
        // 384: a multiple of 64 keeps a whole block for the token.
        {m384, "002A90A0" "5E" "810400000005" "9014" + Sha1Chain(m384, 320) + "8040" + tailOf(m384, 64) + "14"},
        // 5000: 78 blocks, 8 bytes left.
        {m5000, "002A90A0" "26" "81040000004E" "9014" + Sha1Chain(m5000, 4992) + "8008" + tailOf(m5000, 8) + "14"},
    };
    for (const auto& c : cases) {
        dev->sent.clear();
        uint8_t sig[256];
        uint32_t sigLen = sizeof sig;
        ASSERT_EQ(token.RSASign(0xA020, c.message.data(), static_cast<uint32_t>(c.message.size()), sig, &sigLen,
                                CKM_SHA1_RSA_PKCS),
                  0u);
        EXPECT_EQ(ToHex(Bytes(sig, sig + sigLen)), ToHex(dev->psoAnswer));
        EXPECT_EQ(dev->sent, (std::vector<std::string>{"002241B6078001818102A020", c.hash, "002A9E9A00"}))
            << c.message.size();
        EXPECT_EQ(token.LockScope(), 0u);
    }
}

TEST_F(TokenKeys, EcdsaSignsAGivenHashOrItsOwn) {
    dev->psoAnswer = Bytes(64, 0x42);
    const Bytes hash32(32, 0xAB);
    uint8_t sig[64];
    uint32_t sigLen = sizeof sig;
    ASSERT_EQ(token.ECCSign(0xA040, hash32.data(), 32, sig, &sigLen, CKM_ECDSA), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"002241B6078001928102A040", "002A9E9A20" + ToHex(hash32)}));
    dev->sent.clear();
    EXPECT_EQ(token.ECCSign(0xA040, hash32.data(), 31, sig, &sigLen, CKM_ECDSA), CKR_GENERAL_ERROR);
    EXPECT_TRUE(dev->sent.empty());
    sigLen = 63;  // the caller's area is too small for the answer
    EXPECT_EQ(token.ECCSign(0xA040, hash32.data(), 20, sig, &sigLen, CKM_ECDSA), CKR_DEVICE_ERROR);
    EXPECT_EQ(token.LockScope(), 0u);
}

TEST_F(TokenKeys, FailedEnvironmentReleasesTheLock) {
    dev->forced = {0x6A88};
    uint8_t out[256];
    uint32_t outLen = sizeof out;
    EXPECT_NE(token.RSAPrvRawCipher(0xA020, Bytes(128, 1).data(), 128, out, &outLen), 0u);
    EXPECT_EQ(dev->sent.size(), 1u);  // no PSO after a failed MSE
    EXPECT_EQ(token.LockScope(), 0u);
    EXPECT_EQ(token.RSAPrvRawCipher(0xA020, Bytes(2049, 1).data(), 2049, out, &outLen), CKR_ARGUMENTS_BAD);
}

TEST_F(TokenKeys, CbcCarriesTheChainAcrossPiecesAndCalls) {
    const Bytes plain = Message(400);
    Bytes iv(16, 0x0F), out(400);
    ASSERT_EQ(token.AES_Encrypt_CBC(0x11, iv.data(), plain.data(), out.data(), 400), 0u);
    ASSERT_EQ(dev->sent.size(), 4u);  // MSE and PSO for 336 bytes, then for 64
    EXPECT_EQ(dev->sent[0], "002281B806800104830111");
    Bytes first(plain.begin(), plain.begin() + 336);
    for (int i = 0; i < 16; ++i) first[i] ^= 0x0F;
    EXPECT_EQ(dev->sent[1], "002A868000" "0150" + ToHex(first));
    // The second piece starts with its first block XOR ciphertext bytes 320-335.
    Bytes second(plain.begin() + 336, plain.end());
    for (int i = 0; i < 16; ++i) second[i] ^= out[320 + i];
    EXPECT_EQ(dev->sent[3], "002A868040" + ToHex(second));
    EXPECT_EQ(ToHex(iv), ToHex(Bytes(out.end() - 16, out.end())));
    // The fake block cipher is an XOR: CBC over the whole input by hand gives the same ciphertext.
    Bytes chain(16, 0x0F), expected;
    for (size_t b = 0; b < 400; b += 16) {
        for (size_t i = 0; i < 16; ++i) expected.push_back(static_cast<uint8_t>(plain[b + i] ^ chain[i] ^ 0x5C));
        chain.assign(expected.end() - 16, expected.end());
    }
    EXPECT_EQ(out, expected);

    // Decrypting in place, in two calls, gives the plaintext back.
    Bytes buffer = out, iv2(16, 0x0F);
    dev->sent.clear();
    ASSERT_EQ(token.AES_Decrypt_CBC(0x11, iv2.data(), buffer.data(), buffer.data(), 160), 0u);
    ASSERT_EQ(token.AES_Decrypt_CBC(0x11, iv2.data(), buffer.data() + 160, buffer.data() + 160, 240), 0u);
    EXPECT_EQ(buffer, plain);
    EXPECT_EQ(dev->sent[0], "002241B806800104830111");

    // Nothing to do sends nothing; a partial block is refused.
    dev->sent.clear();
    EXPECT_EQ(token.AES_Encrypt_CBC(0x11, iv.data(), plain.data(), out.data(), 0), 0u);
    EXPECT_EQ(token.DES_Encrypt_CBC(0x11, iv.data(), plain.data(), out.data(), 12), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(dev->sent.empty());
}

TEST_F(TokenKeys, PublicKeyAnswersAreCheckedBeforeReading) {
    // RSA: 00, L1, exponent, two bytes, L2 (two bytes), modulus.
    dev->publicKey = Hex("0003010001" "0000" "0004" "C1C2C3C4");
    uint8_t modulus[8], exponent[4];
    uint32_t modulusLen = sizeof modulus, exponentLen = sizeof exponent;
    ASSERT_EQ(token.RSAReadPubKey(0x8000, modulus, &modulusLen, exponent, &exponentLen), 0u);
    EXPECT_EQ(ToHex(Bytes(modulus, modulus + modulusLen)), "C1C2C3C4");
    EXPECT_EQ(ToHex(Bytes(exponent, exponent + exponentLen)), "010001");
    EXPECT_EQ(dev->sent.back(), "80B40000028000");
    modulusLen = 3;
    EXPECT_EQ(token.RSAReadPubKey(0x8000, modulus, &modulusLen, exponent, &exponentLen), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(modulusLen, 4u);
    modulusLen = exponentLen = 0;
    EXPECT_EQ(token.RSAReadPubKey(0x8000, nullptr, &modulusLen, nullptr, &exponentLen), 0u);
    EXPECT_EQ(modulusLen, 4u);
    EXPECT_EQ(exponentLen, 3u);
    // EC: 00, L1, x, 00, L2, y.
    dev->publicKey = Hex("0002AABB" "0003" "CCDDEE");
    uint8_t x[4], y[4];
    uint32_t xLen = sizeof x, yLen = sizeof y;
    ASSERT_EQ(token.ECCReadPubKey(0x8020, x, &xLen, y, &yLen), 0u);
    EXPECT_EQ(ToHex(Bytes(x, x + xLen)) + ToHex(Bytes(y, y + yLen)), "AABBCCDDEE");

    for (const char* lying : {"00", "0003010001" "0000" "00", "0003010001" "0000" "0005" "C1C2C3C4", "00FF01"}) {
        dev->publicKey = Hex(lying);
        modulusLen = sizeof modulus;
        exponentLen = sizeof exponent;
        EXPECT_EQ(token.RSAReadPubKey(0x8000, modulus, &modulusLen, exponent, &exponentLen), CKR_DEVICE_ERROR) << lying;
    }
    for (const char* lying : {"0002AABB", "0002AABB" "0004" "CCDDEE", "0009AABB"}) {
        dev->publicKey = Hex(lying);
        xLen = yLen = sizeof x;
        EXPECT_EQ(token.ECCReadPubKey(0x8020, x, &xLen, y, &yLen), CKR_DEVICE_ERROR) << lying;
    }
}

}  // namespace
