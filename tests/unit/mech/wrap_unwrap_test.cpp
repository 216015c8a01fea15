// Wrapping secret keys with RSA public keys, checked by OpenSSL decrypting
// what comes out, and unwrapping through a decryption that stands in for
// the token's (OpenSSL with the private key, answering as the token's class
// does); 1024- and 2048-bit keys, CKM_RSA_PKCS and CKM_RSA_X_509, and the
// wrapping template in both of its kept forms.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>

#include "alg_factory.h"
#include "key_template.h"
#include "wrap_soft.h"

using testing_kv::AttrOf;
using testing_kv::BnParam;
using testing_kv::Bytes;
using testing_kv::KeyTemplate;
using testing_kv::SecretKey;
using testing_kv::ULong4;

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// An OpenSSL RSA key pair with its public numbers, big-endian.
struct RsaPair {
    explicit RsaPair(int bits)
        : key(EVP_RSA_gen(bits), EVP_PKEY_free), n(BnParam(key.get(), OSSL_PKEY_PARAM_RSA_N)),
          e(BnParam(key.get(), OSSL_PKEY_PARAM_RSA_E)) {}

    PKey key;
    Bytes n, e;
};

const RsaPair& Rsa(int bits) {
    static const RsaPair k1024(1024), k2048(2048);
    return bits == 1024 ? k1024 : k2048;
}

const PKey& RsaKey(int bits) { return Rsa(bits).key; }

// A key value that CKM_RSA_X_509 carries whole: no leading zero byte.
Bytes KeyValue(size_t n) {
    Bytes b(n);
    EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
    b[0] |= 0x80;
    return b;
}

int Padding(CK_MECHANISM_TYPE mechanism) { return mechanism == CKM_RSA_PKCS ? RSA_PKCS1_PADDING : RSA_NO_PADDING; }

// One k-byte block through OpenSSL, with the public or the private key.
Bytes OpenSslRsa(const PKey& key, bool encrypt, int padding, const Bytes& in) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    size_t len = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
    Bytes out(len);
    EXPECT_EQ(encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, padding), 1);
    const int ok = encrypt ? EVP_PKEY_encrypt(ctx, out.data(), &len, in.data(), in.size())
                           : EVP_PKEY_decrypt(ctx, out.data(), &len, in.data(), in.size());
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok == 1 ? len : 0);
    return out;
}

// The token's RSA decryption as the unwrap class meets it: k-byte blocks,
// a length query answered with k, RV_BUFFER_TOO_SMALL below k, and the
// leading zero bytes of a raw result dropped.
class StandInDecrypt : public AlgMultiPart {
public:
    StandInDecrypt(const PKey& key, CK_MECHANISM_TYPE mechanism) : key_(key), mechanism_(mechanism) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_DECRYPT; }
    uint32_t GetBlockSize() const override { return static_cast<uint32_t>(EVP_PKEY_get_size(key_.get())); }
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override {
        const uint32_t k = GetBlockSize(), capacity = *outLen;
        if (inLen != k) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        *outLen = k;
        if (!out) return CKR_OK;
        if (capacity < k) return RV_BUFFER_TOO_SMALL;
        Bytes plain = OpenSslRsa(key_, false, Padding(mechanism_), Bytes(in, in + inLen));
        if (plain.empty()) return CKR_ENCRYPTED_DATA_INVALID;
        size_t skip = 0;
        while (mechanism_ == CKM_RSA_X_509 && skip < plain.size() && plain[skip] == 0) ++skip;
        *outLen = static_cast<uint32_t>(plain.size() - skip);
        std::copy(plain.begin() + static_cast<std::ptrdiff_t>(skip), plain.end(), out);
        return CKR_OK;
    }

private:
    const PKey& key_;
    CK_MECHANISM_TYPE mechanism_;
};

ObjPtr RsaPublic(int bits, KeyTemplate t = KeyTemplate()) {
    return t.ULong(CKA_CLASS, CKO_PUBLIC_KEY)
        .ULong(CKA_KEY_TYPE, CKK_RSA)
        .Raw(CKA_MODULUS, Rsa(bits).n)
        .Raw(CKA_PUBLIC_EXPONENT, Rsa(bits).e)
        .Make();
}

ObjPtr RsaPrivateOnToken(KeyTemplate t = KeyTemplate().Flag(CKA_TOKEN, true)) {
    return t.ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_RSA).Make();
}

// The encryption object the key-management call makes for the wrap.
std::unique_ptr<AlgMultiPart> Cipher(CK_MECHANISM_TYPE mechanism, const ObjPtr& wrappingKey) {
    CK_MECHANISM m{mechanism, nullptr, 0};
    Alg* alg = nullptr;
    EXPECT_EQ(AlgFactory().CreateEncAlg(&m, wrappingKey, &alg), CKR_OK);
    return std::unique_ptr<AlgMultiPart>(dynamic_cast<AlgMultiPart*>(alg));
}

std::unique_ptr<Alg> WrapAlg(CK_MECHANISM_TYPE mechanism, const ObjPtr& wrappingKey, const ObjPtr& keyToWrap,
                             AlgMultiPart* cipher, CK_RV want = CKR_OK) {
    CK_MECHANISM m{mechanism, nullptr, 0};
    Alg* alg = nullptr;
    EXPECT_EQ(AlgFactory().CreateWrapAlg(&m, wrappingKey, keyToWrap, cipher, &alg), want);
    return std::unique_ptr<Alg>(alg);
}

// Wraps with a length query first, as an application does; the two calls
// must agree on the length.
CK_RV Wrap(CK_MECHANISM_TYPE mechanism, const ObjPtr& wrappingKey, const ObjPtr& keyToWrap, Bytes& wrapped) {
    auto cipher = Cipher(mechanism, wrappingKey);
    auto wrap = WrapAlg(mechanism, wrappingKey, keyToWrap, cipher.get());
    if (!wrap) return CKR_GENERAL_ERROR;
    uint32_t queried = 0;
    CK_RV rv = wrap->Do(nullptr, 0, nullptr, &queried);
    if (rv) return rv;
    wrapped.assign(queried, 0);
    uint32_t len = queried;
    rv = wrap->Do(nullptr, 0, wrapped.data(), &len);
    EXPECT_EQ(len, queried);
    wrapped.resize(len);
    return rv;
}

CK_RV Unwrap(CK_MECHANISM_TYPE mechanism, int bits, const ObjPtr& newKey, const Bytes& wrapped,
             const ObjPtr& unwrappingKey = RsaPrivateOnToken()) {
    StandInDecrypt cipher(RsaKey(bits), mechanism);
    CK_MECHANISM m{mechanism, nullptr, 0};
    Alg* alg = nullptr;
    CK_RV rv = AlgFactory().CreateUnwrapAlg(&m, unwrappingKey, newKey, &cipher, &alg);
    std::unique_ptr<Alg> owned(alg);
    return rv ? rv : owned->Do(wrapped.data(), static_cast<uint32_t>(wrapped.size()), nullptr, nullptr);
}

// The k-byte blocks of a wrapped value, each decrypted by OpenSSL.
Bytes OpenSslUnwrap(int bits, CK_MECHANISM_TYPE mechanism, const Bytes& wrapped) {
    const size_t k = static_cast<size_t>(bits / 8);
    Bytes plain;
    for (size_t at = 0; at < wrapped.size(); at += k) {
        const Bytes block = OpenSslRsa(RsaKey(bits), false, Padding(mechanism),
                                       Bytes(wrapped.begin() + static_cast<std::ptrdiff_t>(at),
                                             wrapped.begin() + static_cast<std::ptrdiff_t>(at + k)));
        plain.insert(plain.end(), block.begin(), block.end());
    }
    return plain;
}

const CK_MECHANISM_TYPE kMechanisms[] = {CKM_RSA_PKCS, CKM_RSA_X_509};

TEST(SoftWrap, RoundTripsWithBothMechanismsAndKeySizes) {
    for (int bits : {1024, 2048}) {
        const ObjPtr wrappingKey = RsaPublic(bits);
        for (CK_MECHANISM_TYPE mechanism : kMechanisms) {
            SCOPED_TRACE(std::to_string(bits) + (mechanism == CKM_RSA_PKCS ? " PKCS" : " X.509"));
            const Bytes value = KeyValue(24);
            const ObjPtr key = SecretKey(CKK_DES3).Raw(CKA_VALUE, value).Make();
            Bytes wrapped;
            ASSERT_EQ(Wrap(mechanism, wrappingKey, key, wrapped), CKR_OK);
            ASSERT_EQ(wrapped.size(), static_cast<size_t>(bits / 8));
            const Bytes opened = OpenSslUnwrap(bits, mechanism, wrapped);
            // The raw mechanism carries the value right-aligned in the block.
            Bytes expected(mechanism == CKM_RSA_X_509 ? wrapped.size() - value.size() : 0, 0);
            expected.insert(expected.end(), value.begin(), value.end());
            EXPECT_EQ(opened, expected);
            const ObjPtr unwrapped = SecretKey(CKK_DES3).Make();
            EXPECT_EQ(Unwrap(mechanism, bits, unwrapped, wrapped), CKR_OK);
            EXPECT_EQ(AttrOf(unwrapped, CKA_VALUE), value);
        }
    }
}

TEST(SoftWrap, TheLengthQueryAndTheCallAgree) {
    const ObjPtr wrappingKey = RsaPublic(1024);
    // 2000 bytes take 18 PKCS#1 blocks of 117 bytes: more than any fixed
    // buffer of twice the largest key would hold.
    const Bytes value = KeyValue(2000);
    const ObjPtr key = SecretKey(CKK_GENERIC_SECRET).Raw(CKA_VALUE, value).Make();
    Bytes wrapped;
    ASSERT_EQ(Wrap(CKM_RSA_PKCS, wrappingKey, key, wrapped), CKR_OK);
    EXPECT_EQ(wrapped.size(), 18u * 128u);
    EXPECT_EQ(OpenSslUnwrap(1024, CKM_RSA_PKCS, wrapped), value);

    // A short buffer learns the length and can try again; the raw mechanism
    // refuses a value as long as the modulus on the query already.
    auto cipher = Cipher(CKM_RSA_PKCS, wrappingKey);
    auto wrap = WrapAlg(CKM_RSA_PKCS, wrappingKey, SecretKey(CKK_AES).Raw(CKA_VALUE, KeyValue(16)).Make(),
                        cipher.get());
    Bytes out(127);
    uint32_t len = 127;
    EXPECT_EQ(wrap->Do(nullptr, 0, out.data(), &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 128u);
    auto rawCipher = Cipher(CKM_RSA_X_509, wrappingKey);
    const ObjPtr modulusLong = SecretKey(CKK_GENERIC_SECRET).Raw(CKA_VALUE, KeyValue(128)).Make();
    auto rawWrap = WrapAlg(CKM_RSA_X_509, wrappingKey, modulusLong, rawCipher.get());
    len = 0;
    EXPECT_EQ(rawWrap->Do(nullptr, 0, nullptr, &len), CKR_DATA_LEN_RANGE);
}

TEST(SoftWrap, UnwrapsWhatOpenSslWrapped) {
    for (int bits : {1024, 2048}) {
        for (CK_MECHANISM_TYPE mechanism : kMechanisms) {
            SCOPED_TRACE(std::to_string(bits) + (mechanism == CKM_RSA_PKCS ? " PKCS" : " X.509"));
            const Bytes value = KeyValue(32);
            Bytes block = value;
            if (mechanism == CKM_RSA_X_509) block.insert(block.begin(), static_cast<size_t>(bits / 8) - 32, 0);
            const Bytes wrapped = OpenSslRsa(RsaKey(bits), true, Padding(mechanism), block);
            const ObjPtr key = SecretKey(CKK_AES).Make();
            EXPECT_EQ(Unwrap(mechanism, bits, key, wrapped), CKR_OK);
            EXPECT_EQ(AttrOf(key, CKA_VALUE), value);
        }
    }
}

TEST(SoftWrap, KeysThatMayNotBeWrapped) {
    const ObjPtr wrappingKey = RsaPublic(1024, KeyTemplate().Flag(CKA_TRUSTED, true));
    const ObjPtr untrusted = RsaPublic(1024);  // not trusted by default
    const ObjPtr noWrap = RsaPublic(1024, KeyTemplate().Flag(CKA_WRAP, false));
    const Bytes value = KeyValue(16);
    auto cipher = Cipher(CKM_RSA_PKCS, wrappingKey);
    struct Case {
        const char* name;
        ObjPtr wrapping, key;
        CK_RV rv;
    } cases[] = {
        {"unextractable", wrappingKey, SecretKey(CKK_AES).Raw(CKA_VALUE, value).Flag(CKA_EXTRACTABLE, false).Make(),
         CKR_KEY_UNEXTRACTABLE},
        {"no CKA_WRAP", noWrap, SecretKey(CKK_AES).Raw(CKA_VALUE, value).Make(), CKR_GENERAL_ERROR},
        {"trusted only", untrusted, SecretKey(CKK_AES).Raw(CKA_VALUE, value).Flag(CKA_WRAP_WITH_TRUSTED, true).Make(),
         CKR_GENERAL_ERROR},
        {"trusted", wrappingKey, SecretKey(CKK_AES).Raw(CKA_VALUE, value).Flag(CKA_WRAP_WITH_TRUSTED, true).Make(),
         CKR_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WrapAlg(CKM_RSA_PKCS, c.wrapping, c.key, cipher.get(), c.rv);
    }
    WrapSecKeyWithRSAPubSoft wrap;
    CK_MECHANISM aes{CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(wrap.Init(&aes, wrappingKey, cases[3].key, cipher.get()), CKR_MECHANISM_INVALID);
    EXPECT_EQ(wrap.Init(nullptr, wrappingKey, cases[3].key, cipher.get()), CKR_MECHANISM_INVALID);
    CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(wrap.Init(&pkcs, wrappingKey, cases[3].key, nullptr), CKR_ARGUMENTS_BAD);

    uint32_t len = 0;
    auto noValue = WrapAlg(CKM_RSA_PKCS, wrappingKey, SecretKey(CKK_AES).Make(), cipher.get());
    EXPECT_EQ(noValue->Do(nullptr, 0, nullptr, &len), CKR_KEY_NOT_WRAPPABLE);
}

TEST(SoftWrap, TheWrappingTemplateInBothKeptForms) {
    const CK_KEY_TYPE aesType = CKK_AES;
    const CK_BBOOL yes = CK_TRUE;
    uint8_t id[] = {'k', '1'};
    const std::vector<CK_ATTRIBUTE> onlyAes = {{CKA_KEY_TYPE, const_cast<CK_KEY_TYPE*>(&aesType), sizeof aesType}};
    const std::vector<CK_ATTRIBUTE> aesWithId = {
        {CKA_KEY_TYPE, const_cast<CK_KEY_TYPE*>(&aesType), sizeof aesType},
        {CKA_ENCRYPT, const_cast<CK_BBOOL*>(&yes), 1},
        {CKA_ID, id, sizeof id}};
    // The form an object file keeps: type and length in 8 bytes each,
    // little-endian, the key type in the 4 bytes of a kept CK_ULONG.
    const Bytes storedOnlyAes = {0x00, 0x01, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0x1F, 0, 0, 0};
    const ObjPtr callerForm = RsaPublic(1024, KeyTemplate().Nested(CKA_WRAP_TEMPLATE, onlyAes));
    const ObjPtr withId = RsaPublic(1024, KeyTemplate().Nested(CKA_WRAP_TEMPLATE, aesWithId));
    const ObjPtr storedForm = RsaPublic(1024);
    ASSERT_EQ(storedForm->SetAttr(CKA_WRAP_TEMPLATE, storedOnlyAes.data(), static_cast<uint32_t>(storedOnlyAes.size()),
                                  AttrForm::Stored),
              CKR_OK);
    const Bytes v24 = KeyValue(24), v16 = KeyValue(16);
    const ObjPtr aes = SecretKey(CKK_AES).Raw(CKA_VALUE, v16).Make();
    const ObjPtr aesK1 = SecretKey(CKK_AES).Raw(CKA_VALUE, v16).Raw(CKA_ID, {'k', '1'}).Make();
    const ObjPtr des3 = SecretKey(CKK_DES3).Raw(CKA_VALUE, v24).Make();
    struct Case {
        const char* name;
        ObjPtr wrapping, key;
        CK_RV rv;
    } cases[] = {
        {"caller form, AES", callerForm, aes, CKR_OK},
        {"caller form, 3DES", callerForm, des3, CKR_OBJECT_HANDLE_INVALID},
        {"stored form, AES", storedForm, aes, CKR_OK},
        {"stored form, 3DES", storedForm, des3, CKR_OBJECT_HANDLE_INVALID},
        {"three entries, all held", withId, aesK1, CKR_OK},
        {"three entries, other ID", withId, aes, CKR_OBJECT_HANDLE_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cipher = Cipher(CKM_RSA_PKCS, c.wrapping);
        auto wrap = WrapAlg(CKM_RSA_PKCS, c.wrapping, c.key, cipher.get(), c.rv);
        EXPECT_EQ(CheckWrappingTemplate(c.wrapping, c.key), c.rv);
        if (c.rv == CKR_OK) {
            Bytes wrapped;
            EXPECT_EQ(Wrap(CKM_RSA_PKCS, c.wrapping, c.key, wrapped), CKR_OK);
            EXPECT_EQ(OpenSslUnwrap(1024, CKM_RSA_PKCS, wrapped), AttrOf(c.key, CKA_VALUE));
        }
    }
    EXPECT_EQ(CheckWrappingTemplate(ObjPtr(), aes), CKR_OBJECT_HANDLE_INVALID);
}

TEST(SoftWrap, AMalformedKeptTemplateIsAnError) {
    // Templates that the object classes would refuse, held by an object
    // that bypasses them.
    const Bytes header = {0x00, 0x01, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
    Bytes runsPast = header;
    runsPast.insert(runsPast.end(), {0x1F, 0});
    Bytes wideType = header;
    wideType[5] = 1;
    wideType.insert(wideType.end(), {0x1F, 0, 0, 0});
    Bytes hugeLength = header;
    hugeLength[15] = 0x80;
    const Bytes cases[] = {Bytes(header.begin(), header.begin() + 10), runsPast, wideType, hugeLength};
    const ObjPtr aes = SecretKey(CKK_AES).Raw(CKA_VALUE, KeyValue(16)).Make();
    StandInDecrypt unused(RsaKey(1024), CKM_RSA_PKCS);
    for (const Bytes& kept : cases) {
        const ObjPtr wrapping = testing_kv::MakeRaw({{CKA_CLASS, ULong4(CKO_PUBLIC_KEY)},
                                                     {CKA_KEY_TYPE, ULong4(CKK_RSA)},
                                                     {CKA_WRAP, {1}},
                                                     {CKA_WRAP_TEMPLATE, kept}});
        WrapSecKeyWithRSAPubSoft wrap;
        CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
        EXPECT_EQ(wrap.Init(&m, wrapping, aes, &unused), CKR_GENERAL_ERROR) << testing_kv::ToHex(kept);
    }
}

TEST(SoftUnwrap, RefusesOtherKeysAndInput) {
    const ObjPtr newKey = SecretKey(CKK_AES).Make();
    const Bytes block(128, 0xFF);  // above any 1024-bit modulus
    struct Case {
        const char* name;
        ObjPtr unwrappingKey;
        CK_RV rv;
    } cases[] = {
        {"not on the token", RsaPrivateOnToken(KeyTemplate()), CKR_GENERAL_ERROR},
        {"no CKA_UNWRAP", RsaPrivateOnToken(KeyTemplate().Flag(CKA_TOKEN, true).Flag(CKA_UNWRAP, false)),
         CKR_GENERAL_ERROR},
        {"a public key", RsaPublic(1024, KeyTemplate().Flag(CKA_TOKEN, true)), CKR_GENERAL_ERROR},
        {"a wrong block", RsaPrivateOnToken(), CKR_WRAPPED_KEY_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Unwrap(CKM_RSA_PKCS, 1024, newKey, block, c.unwrappingKey), c.rv);
    }
    EXPECT_EQ(Unwrap(CKM_RSA_PKCS, 1024, newKey, {}), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Unwrap(CKM_RSA_PKCS, 1024, newKey, Bytes(127, 1)), CKR_WRAPPED_KEY_LEN_RANGE);
    EXPECT_TRUE(AttrOf(newKey, CKA_VALUE).empty());
    UnwrapKey unwrap;
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(unwrap.Init(&m, RsaPrivateOnToken(), newKey, nullptr), CKR_ARGUMENTS_BAD);
    StandInDecrypt cipher(RsaKey(1024), CKM_RSA_PKCS);
    CK_MECHANISM aes{CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(unwrap.Init(&aes, RsaPrivateOnToken(), newKey, &cipher), CKR_MECHANISM_INVALID);
}

}  // namespace
