// Keys on the virtual token through the token layer: key pairs generated
// on the card, signatures and deciphering checked with OpenSSL against the
// public key read back, secret-key ciphers against OpenSSL.
#include <gtest/gtest.h>

#include "openssl_check.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using namespace testing_kv;

namespace {

class TokenKeysOnSim : public ::testing::Test {
protected:
    TokenKeysOnSim() {
        DiskMirror::SetBase(sim.Dir() + "/mirror");
        client = std::make_unique<TokenClient>(sim.Socket());
    }
    void SetUp() override {
        ASSERT_EQ(token().ConnectAndSetenv(), 0u);
        ASSERT_EQ(testing_kv::LoginUser(token()), 0u);
    }
    CTokenTarn& token() { return *client->token; }

    PKey GenerateRsa(uint32_t pub, uint32_t prv, uint32_t bits) {
        EXPECT_EQ(token().CreateRSAReference(pub, prv, bits), 0u);
        EXPECT_EQ(token().RSAGenerateKeyPair(pub, prv, bits), 0u);
        Bytes n(512), e(8);
        uint32_t nLen = 512, eLen = 8;
        EXPECT_EQ(token().RSAReadPubKey(pub, n.data(), &nLen, e.data(), &eLen), 0u);
        EXPECT_EQ(nLen, bits / 8);
        n.resize(nLen);
        e.resize(eLen);
        return RsaKey(n, e);
    }
    PKey GenerateEc(uint32_t pub, uint32_t prv, uint32_t bits) {
        EXPECT_EQ(token().CreateECCReference(pub, prv, bits), 0u);
        EXPECT_EQ(token().ECCGenerateKeyPair(pub, prv, bits), 0u);
        Bytes x(64), y(64);
        uint32_t xLen = 64, yLen = 64;
        EXPECT_EQ(token().ECCReadPubKey(pub, x.data(), &xLen, y.data(), &yLen), 0u);
        EXPECT_EQ(xLen, bits / 8);
        x.resize(xLen);
        y.resize(yLen);
        return EcKey(bits == 256 ? "prime256v1" : "prime192v1", x, y);
    }

    SimProcess sim;
    std::unique_ptr<TokenClient> client;
};

TEST_F(TokenKeysOnSim, RsaKeyPairsSignEveryLengthAndDecipher) {
    for (uint32_t bits : {1024u, 2048u}) {
        PKey key = GenerateRsa(0x8000, 0xA020, bits);
        ASSERT_TRUE(key) << bits;
        for (size_t length : {size_t(0), size_t(1), size_t(335), size_t(336), size_t(384), size_t(5000)}) {
            const Bytes m = Message(length);
            for (auto [mechanism, md] : {std::pair{CKM_SHA1_RSA_PKCS, EVP_sha1()}, std::pair{CKM_SHA256_RSA_PKCS, EVP_sha256()}}) {
                Bytes sig(256);
                uint32_t sigLen = 256;
                ASSERT_EQ(token().RSASign(0xA020, m.data(), static_cast<uint32_t>(length), sig.data(), &sigLen, mechanism),
                          0u);
                sig.resize(sigLen);
                EXPECT_TRUE(VerifyRsa(key.get(), md, m, sig)) << bits << " bits, " << length << " bytes";
            }
        }
        // A block made by OpenSSL with the public key comes back through the private key.
        Bytes plain(bits / 8, 0);
        plain[bits / 8 - 1] = 0x42;
        plain[1] = 0x17;
        Bytes cipher(bits / 8);
        size_t cipherLen = cipher.size();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
        ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
        ASSERT_EQ(EVP_PKEY_encrypt(ctx, cipher.data(), &cipherLen, plain.data(), plain.size()), 1);
        EVP_PKEY_CTX_free(ctx);
        Bytes out(bits / 8);
        uint32_t outLen = static_cast<uint32_t>(out.size());
        ASSERT_EQ(token().RSAPrvRawCipher(0xA020, cipher.data(), static_cast<uint32_t>(cipherLen), out.data(), &outLen), 0u);
        out.resize(outLen);
        EXPECT_EQ(out, plain);
    }
}

TEST_F(TokenKeysOnSim, EcKeyPairsSignGivenHashesAndMessages) {
    for (uint32_t bits : {192u, 256u}) {
        PKey key = GenerateEc(0x8020, 0xA040, bits);
        ASSERT_TRUE(key) << bits;
        for (const EVP_MD* md : {EVP_sha1(), EVP_sha256()}) {
            const Bytes hash = Digest(md, Message(100));
            Bytes sig(64);
            uint32_t sigLen = 64;
            ASSERT_EQ(token().ECCSign(0xA040, hash.data(), static_cast<uint32_t>(hash.size()), sig.data(), &sigLen, CKM_ECDSA),
                      0u);
            EXPECT_EQ(sigLen, 2 * bits / 8);
            sig.resize(sigLen);
            EXPECT_TRUE(VerifyEcdsa(key.get(), hash, sig)) << bits;
        }
        for (size_t length : {size_t(0), size_t(336), size_t(5000)}) {
            const Bytes m = Message(length);
            Bytes sig(64);
            uint32_t sigLen = 64;
            ASSERT_EQ(token().ECCSign(0xA040, m.data(), static_cast<uint32_t>(length), sig.data(), &sigLen, CKM_ECDSA_SHA1),
                      0u);
            sig.resize(sigLen);
            EXPECT_TRUE(VerifyEcdsa(key.get(), Digest(EVP_sha1(), m), sig)) << bits << " bits, " << length << " bytes";
        }
    }
}

TEST_F(TokenKeysOnSim, SecretKeysMatchOpenSsl) {
    const Bytes key = testing_kv::Hex("000102030405060708090A0B0C0D0E0F");
    ASSERT_EQ(token().UpdateKey(0x11, key.data(), 16), 0u);
    const Bytes plain = Message(400);
    Bytes iv(16, 0x3C), out(400);
    ASSERT_EQ(token().AES_Encrypt_CBC(0x11, iv.data(), plain.data(), out.data(), 160), 0u);
    ASSERT_EQ(token().AES_Encrypt_CBC(0x11, iv.data(), plain.data() + 160, out.data() + 160, 240), 0u);
    Bytes expected(400 + 16);
    int len = 0, fin = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const Bytes startIv(16, 0x3C);
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), startIv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, expected.data(), &len, plain.data(), 400);
    EVP_EncryptFinal_ex(ctx, expected.data() + len, &fin);
    EVP_CIPHER_CTX_free(ctx);
    expected.resize(400);
    EXPECT_EQ(out, expected);

    Bytes back(400), iv2(16, 0x3C);
    ASSERT_EQ(token().AES_Decrypt_CBC(0x11, iv2.data(), out.data(), back.data(), 400), 0u);
    EXPECT_EQ(back, plain);
    Bytes ecb(400);
    ASSERT_EQ(token().AES_ECB_OP(0x11, plain.data(), ecb.data(), 400, true), 0u);
    EXPECT_EQ(Bytes(ecb.begin(), ecb.begin() + 16), [&] {
        Bytes first(32);
        int n = 0;
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(c, EVP_aes_128_ecb(), nullptr, key.data(), nullptr);
        EVP_EncryptUpdate(c, first.data(), &n, plain.data(), 16);
        EVP_CIPHER_CTX_free(c);
        first.resize(16);
        return first;
    }());
}

TEST_F(TokenKeysOnSim, PrivateKeysNeedTheUserPin) {
    GenerateRsa(0x8000, 0xA020, 1024);
    // After a reset of the card, a connection that never logged in.
    sim.Control("reset");
    TokenClient other(sim.Socket());
    ASSERT_EQ(other.token->ConnectAndSetenv(), 0u);
    Bytes sig(128);
    uint32_t sigLen = 128;
    const Bytes m = Message(20);
    EXPECT_EQ(other.token->RSASign(0xA020, m.data(), 20, sig.data(), &sigLen, CKM_SHA1_RSA_PKCS), CKR_USER_NOT_LOGGED_IN);
}

}  // namespace
