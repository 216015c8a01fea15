// The RSA public-key backend keeps the last key each thread built: keys of
// one size and exponent that alternate must each raise with their own
// modulus, and an object may be used on another thread while its builder
// goes on with the same key. OpenSSL's own public operation is the reference.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <thread>
#include <vector>

#include "pubkey_backend.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::ToHex;

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Bytes BnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1);
    Bytes b(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, b.data());
    BN_free(bn);
    return b;
}

// A 2048-bit key (exponent 65537) and what raising a fixed block gives with it.
struct Key {
    PKey pkey{EVP_RSA_gen(2048), EVP_PKEY_free};
    Bytes n = BnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_N);
    Bytes e = BnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_E);
    Bytes block = Bytes(256, 0x3C);
    Bytes raised = Reference();

    std::unique_ptr<RsaPublicKey> Backend() const { return RsaPublicKey::Create(n.data(), n.size(), e.data(), e.size()); }
    Bytes Raise(RsaPublicKey& rsa) const {
        Bytes out(256);
        EXPECT_TRUE(rsa.Raw(block.data(), out.data()));
        return out;
    }

private:
    Bytes Reference() {
        block[0] = 0x00;  // below any 2048-bit modulus
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey.get(), nullptr);
        size_t len = 256;
        Bytes out(len);
        EXPECT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING), 1);
        EXPECT_EQ(EVP_PKEY_encrypt(ctx, out.data(), &len, block.data(), block.size()), 1);
        EVP_PKEY_CTX_free(ctx);
        return out;
    }
};

TEST(RsaPublicBackend, AlternatingKeysOfOneSizeRaiseWithTheirOwnModulus) {
    const Key a, b;
    ASSERT_EQ(a.e, b.e);
    ASSERT_NE(a.raised, b.raised);
    for (const Key* k : {&a, &b, &a, &a, &b}) {
        auto rsa = k->Backend();
        ASSERT_TRUE(rsa);
        EXPECT_EQ(ToHex(k->Raise(*rsa)), ToHex(k->raised));
    }
}

TEST(RsaPublicBackend, ObjectUsedOnAnotherThreadWhileItsBuilderGoesOn) {
    const Key k;
    auto handedOver = k.Backend();
    ASSERT_TRUE(handedOver);
    std::thread other([&] {
        for (int i = 0; i < 50; ++i) EXPECT_EQ(k.Raise(*handedOver), k.raised);
    });
    for (int i = 0; i < 50; ++i) {
        auto mine = k.Backend();
        ASSERT_TRUE(mine);
        EXPECT_EQ(k.Raise(*mine), k.raised);
    }
    other.join();
}

}  // namespace
