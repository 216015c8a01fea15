// What a hostile application hands the module through the PKCS#11 calls:
// lengths that wrap, array attributes that are not templates, guesses at
// secrets, padding oracles, library-owned attributes, keys used past their
// limits and past a logout. Each case is checked against the virtual token
// and, where a result is crypto, against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "key_template.h"
#include "openssl_check.h"
#include "p11_fresh_token.h"
#include "token_on_sim.h"

using testing_kv::FreshToken;
using testing_kv::KeyTemplate;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr CK_ATTRIBUTE_TYPE kKeyRef = 0x80000100UL;

// OpenSSL's AES-128-CBC of a whole message, no padding.
Bytes OpenSslAesCbc(const Bytes& key, const Bytes& iv, const Bytes& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int n = 0, fin = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &fin);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + fin));
    return out;
}

// A type-2 block of k bytes around the message, then made malformed by bend.
Bytes Type2Block(size_t k, const Bytes& message) {
    Bytes block(k, 0x5A);
    block[0] = 0x00;
    block[1] = 0x02;
    block[k - message.size() - 1] = 0x00;
    std::copy(message.begin(), message.end(), block.end() - static_cast<long>(message.size()));
    return block;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// Every regular file below dir, read whole.
std::vector<Bytes> FilesBelow(const std::string& dir) {
    std::vector<Bytes> files;
    DIR* d = opendir(dir.c_str());
    if (!d) return files;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        if (e->d_type == DT_DIR) {
            for (Bytes& f : FilesBelow(path)) files.push_back(std::move(f));
        } else {
            std::ifstream in(path, std::ios::binary);
            files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    closedir(d);
    return files;
}

class Hostile : public FreshToken {
protected:
    void SetUp() override {
        FreshToken::SetUp();
        h = Open(true);
        ASSERT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
    }
    CK_OBJECT_HANDLE Create(KeyTemplate t, CK_RV expected = CKR_OK) {
        CK_OBJECT_HANDLE o = 0;
        EXPECT_EQ(C_CreateObject(h, t.data(), t.size(), &o), expected);
        return o;
    }
    CK_OBJECT_HANDLE Aes(const Bytes& value, KeyTemplate extra = KeyTemplate()) {
        KeyTemplate t = extra;
        t.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_AES).Raw(CKA_VALUE, value);
        return Create(t);
    }
    Bytes Attr(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type, CK_RV* rv = nullptr) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        CK_RV r = C_GetAttributeValue(h, o, &a, 1);
        Bytes value;
        if (r == CKR_OK) {
            value.resize(a.ulValueLen);
            a.pValue = value.data();
            r = C_GetAttributeValue(h, o, &a, 1);
        }
        if (rv) *rv = r;
        return value;
    }
    // An OpenSSL RSA key imported as a token private key that decrypts and
    // unwraps; pub receives its public half.
    CK_OBJECT_HANDLE ImportRsa(EVP_PKEY* key) {
        using testing_kv::BnParam;
        KeyTemplate t;
        t.ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_RSA).Flag(CKA_TOKEN, true)
            .Flag(CKA_DECRYPT, true).Flag(CKA_UNWRAP, true)
            .Raw(CKA_MODULUS, BnParam(key, "n")).Raw(CKA_PUBLIC_EXPONENT, BnParam(key, "e"))
            .Raw(CKA_PRIVATE_EXPONENT, BnParam(key, "d")).Raw(CKA_PRIME_1, BnParam(key, "rsa-factor1"))
            .Raw(CKA_PRIME_2, BnParam(key, "rsa-factor2")).Raw(CKA_EXPONENT_1, BnParam(key, "rsa-exponent1"))
            .Raw(CKA_EXPONENT_2, BnParam(key, "rsa-exponent2"))
            .Raw(CKA_COEFFICIENT, BnParam(key, "rsa-coefficient1"));
        return Create(t);
    }
    CK_RV Unwrap(CK_OBJECT_HANDLE key, const Bytes& wrapped, KeyTemplate t, CK_OBJECT_HANDLE* out = nullptr) {
        CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
        CK_OBJECT_HANDLE made = 0;
        Bytes copy = wrapped;
        const CK_RV rv = C_UnwrapKey(h, &m, key, copy.data(), copy.size(), t.data(), t.size(), &made);
        if (out) *out = made;
        return rv;
    }
    size_t Count(KeyTemplate t) {
        std::vector<CK_OBJECT_HANDLE> found(64);
        CK_ULONG n = 0;
        EXPECT_EQ(C_FindObjectsInit(h, t.data(), t.size()), CKR_OK);
        EXPECT_EQ(C_FindObjects(h, found.data(), found.size(), &n), CKR_OK);
        EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
        return n;
    }

    CK_SESSION_HANDLE h = 0;
};

// An update whose length with what is queued passes 32 bits is refused
// before anything is copied, and the operation goes on.
TEST_F(Hostile, UpdateLengthsThatWrapAreRefusedAndTheOperationKept) {
    const Bytes key(16, 0x11), iv(16, 0x22), data(32, 0x33);
    const CK_OBJECT_HANDLE aes = Aes(key);
    Bytes param = iv;
    CK_MECHANISM m{CKM_AES_CBC, param.data(), param.size()};
    ASSERT_EQ(C_EncryptInit(h, &m, aes), CKR_OK);
    Bytes out(64), copy = data;
    CK_ULONG len = out.size();
    ASSERT_EQ(C_EncryptUpdate(h, copy.data(), 15, out.data(), &len), CKR_OK);
    EXPECT_EQ(len, 0u);
    len = out.size();
    EXPECT_EQ(C_EncryptUpdate(h, copy.data(), 0xFFFFFFF1UL, out.data(), &len), CKR_DATA_LEN_RANGE);
    len = out.size();
    ASSERT_EQ(C_EncryptUpdate(h, copy.data() + 15, 17, out.data(), &len), CKR_OK);
    CK_ULONG last = out.size() - len;
    ASSERT_EQ(C_EncryptFinal(h, out.data() + len, &last), CKR_OK);
    out.resize(len + last);
    EXPECT_EQ(out, OpenSslAesCbc(key, iv, data));
}

// An array attribute is followed only where the module knows it as a
// template; anything else under the array bit is refused unread.
TEST_F(Hostile, OnlyKnownArrayAttributesAreFollowed) {
    CK_ATTRIBUTE bogus[1] = {{CKA_LABEL, reinterpret_cast<void*>(0x10), 8}};  // a pointer nobody may follow
    struct Case {
        CK_ATTRIBUTE_TYPE type;
        CK_RV rv;
    } cases[] = {{0x40000001UL, CKR_ATTRIBUTE_VALUE_INVALID}, {0x40000213UL, CKR_ATTRIBUTE_VALUE_INVALID}};
    for (const Case& c : cases) {
        KeyTemplate t;
        t.ULong(CKA_CLASS, CKO_DATA).Raw(c.type, bogus, sizeof bogus);
        Create(t, c.rv);
    }
    // A known template with an entry whose length outruns nothing is kept.
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE inner[1] = {{CKA_EXTRACTABLE, &yes, 1}};
    KeyTemplate t;
    t.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_AES).Raw(CKA_VALUE, Bytes(16, 1));
    t.Raw(CKA_WRAP_TEMPLATE, inner, sizeof inner);
    Create(t);
}

// Template attributes read back the PKCS#11 way: the array's size, then each
// entry's type and length, then the values.
TEST_F(Hostile, TemplatesReadBackAsAttributeArrays) {
    CK_KEY_TYPE aesType = CKK_AES;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE inner[2] = {{CKA_KEY_TYPE, &aesType, sizeof aesType}, {CKA_EXTRACTABLE, &yes, 1}};
    const CK_OBJECT_HANDLE key = Aes(Bytes(16, 3), KeyTemplate().Raw(CKA_WRAP_TEMPLATE, inner, sizeof inner));
    CK_ATTRIBUTE query{CKA_WRAP_TEMPLATE, nullptr, 0};
    ASSERT_EQ(C_GetAttributeValue(h, key, &query, 1), CKR_OK);
    ASSERT_EQ(query.ulValueLen, 2 * sizeof(CK_ATTRIBUTE));
    CK_ATTRIBUTE entries[2] = {};
    query.pValue = entries;
    ASSERT_EQ(C_GetAttributeValue(h, key, &query, 1), CKR_OK);
    EXPECT_EQ(entries[0].type, CKA_KEY_TYPE);
    EXPECT_EQ(entries[0].ulValueLen, sizeof(CK_KEY_TYPE));
    EXPECT_EQ(entries[1].type, CKA_EXTRACTABLE);
    EXPECT_EQ(entries[1].ulValueLen, 1u);
    CK_KEY_TYPE readType = 0;
    CK_BBOOL readFlag = 0;
    entries[0].pValue = &readType;
    entries[1].pValue = &readFlag;
    ASSERT_EQ(C_GetAttributeValue(h, key, &query, 1), CKR_OK);
    EXPECT_EQ(readType, CKK_AES);
    EXPECT_EQ(readFlag, CK_TRUE);
    // An entry's buffer too small for its value.
    entries[0].ulValueLen = 1;
    EXPECT_EQ(C_GetAttributeValue(h, key, &query, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(entries[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

// No secret of a token key reaches the phone's storage, whatever is done
// with the key.
TEST_F(Hostile, NoKeyMaterialInThePhoneMirror) {
    const Bytes secret = {0xA7, 0x3C, 0x19, 0xE4, 0x52, 0x8B, 0x60, 0xD1, 0x2F, 0x94, 0x0E, 0xB5, 0x77, 0xC8, 0x3A, 0x6D};
    const CK_OBJECT_HANDLE aes =
        Aes(secret, KeyTemplate().Flag(CKA_TOKEN, true).Flag(CKA_SENSITIVE, true).Flag(CKA_ENCRYPT, true));
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    const Bytes d = testing_kv::BnParam(rsa, "d"), p = testing_kv::BnParam(rsa, "rsa-factor1");
    ImportRsa(rsa);
    EVP_PKEY_free(rsa);
    Bytes iv(16, 1), in(32, 2);
    CK_MECHANISM m{CKM_AES_CBC, iv.data(), iv.size()};
    ASSERT_EQ(C_EncryptInit(h, &m, aes), CKR_OK);
    Bytes out(32);
    CK_ULONG len = out.size();
    EXPECT_EQ(C_Encrypt(h, in.data(), in.size(), out.data(), &len), CKR_OK);
    EXPECT_GT(Count(KeyTemplate()), 0u);
    // Another process's view fills the mirror as a fresh start does.
    C_CloseAllSessions(1);
    while (C_Finalize(nullptr) == CKR_OK) {
    }
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
    h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
    EXPECT_EQ(Count(KeyTemplate().ULong(CKA_CLASS, CKO_PRIVATE_KEY)), 1u);
    const auto files = FilesBelow(sim_->Dir() + "/mirror");
    ASSERT_FALSE(files.empty());
    for (const Bytes& f : files) {
        EXPECT_FALSE(Contains(f, secret));
        EXPECT_FALSE(Contains(f, d));
        EXPECT_FALSE(Contains(f, p));
    }
}

// A value the module will not show is not matched by a search either.
TEST_F(Hostile, SearchesNeverMatchHiddenValues) {
    const Bytes value(16, 0x42);
    Aes(value, KeyTemplate().Flag(CKA_TOKEN, true).Flag(CKA_SENSITIVE, true));
    Aes(value, KeyTemplate().Flag(CKA_TOKEN, true).Flag(CKA_EXTRACTABLE, false).Flag(CKA_SENSITIVE, false));
    EXPECT_EQ(Count(KeyTemplate().Raw(CKA_VALUE, value)), 0u);
    Aes(value, KeyTemplate().Flag(CKA_TOKEN, true));  // an ordinary key is found by its value
    EXPECT_EQ(Count(KeyTemplate().Raw(CKA_VALUE, value)), 1u);
}

// Every malformed PKCS#1 block answers alike: decryption with
// CKR_ENCRYPTED_DATA_INVALID, unwrapping with CKR_WRAPPED_KEY_INVALID.
TEST_F(Hostile, NoPaddingOracle) {
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    const CK_OBJECT_HANDLE key = ImportRsa(rsa);
    const size_t k = 128;
    const Bytes message(16, 0x61);
    struct Case {
        const char* name;
        Bytes block;
    } cases[] = {
        {"first byte", [&] { Bytes b = Type2Block(k, message); b[0] = 1; return b; }()},
        {"block type 1", [&] { Bytes b = Type2Block(k, message); b[1] = 1; return b; }()},
        {"no separator", [&] { Bytes b(k, 0x5A); b[0] = 0; b[1] = 2; return b; }()},
        {"short padding", [&] { Bytes b(k, 0x5A); b[0] = 0; b[1] = 2; b[5] = 0; return b; }()},
        {"empty padding", [&] { Bytes b(k, 0x5A); b[0] = 0; b[1] = 2; b[2] = 0; return b; }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes wrapped = testing_kv::RsaPublicEncrypt(rsa, RSA_NO_PADDING, c.block);
        ASSERT_EQ(wrapped.size(), k);
        CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
        ASSERT_EQ(C_DecryptInit(h, &m, key), CKR_OK);
        Bytes out(k);
        CK_ULONG len = out.size();
        EXPECT_EQ(C_Decrypt(h, wrapped.data(), wrapped.size(), out.data(), &len), CKR_ENCRYPTED_DATA_INVALID);
        EXPECT_EQ(Unwrap(key, wrapped, testing_kv::SecretKey(CKK_AES)), CKR_WRAPPED_KEY_INVALID);
    }
    // A well-formed block still opens.
    Bytes good = testing_kv::RsaPublicEncrypt(rsa, RSA_NO_PADDING, Type2Block(k, message));
    CK_OBJECT_HANDLE made = 0;
    EXPECT_EQ(Unwrap(key, good, testing_kv::SecretKey(CKK_AES), &made), CKR_OK);
    EXPECT_EQ(Attr(made, CKA_VALUE), message);
    EVP_PKEY_free(rsa);
}

// A logout ends what a private key was doing and takes the private session
// objects with it.
TEST_F(Hostile, ALogoutEndsPrivateWork) {
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    const CK_OBJECT_HANDLE tokenKey = ImportRsa(rsa);
    EVP_PKEY_free(rsa);
    const CK_OBJECT_HANDLE sessionKey = Aes(Bytes(16, 9), KeyTemplate().Flag(CKA_PRIVATE, true));
    const CK_OBJECT_HANDLE publicKey = Aes(Bytes(16, 8), KeyTemplate().Flag(CKA_PRIVATE, false));
    CK_MECHANISM rsaPkcs{CKM_RSA_PKCS, nullptr, 0}, ecb{CKM_AES_ECB, nullptr, 0};
    ASSERT_EQ(C_DecryptInit(h, &rsaPkcs, tokenKey), CKR_OK);
    CK_SESSION_HANDLE other = Open(false);
    ASSERT_EQ(C_EncryptInit(other, &ecb, sessionKey), CKR_OK);
    ASSERT_EQ(C_Logout(h), CKR_OK);
    Bytes block(128, 1), out(128);
    CK_ULONG len = out.size();
    EXPECT_EQ(C_DecryptUpdate(h, block.data(), block.size(), out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
    len = out.size();
    Bytes data(16, 5);
    EXPECT_EQ(C_Encrypt(other, data.data(), data.size(), out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_EncryptInit(other, &ecb, sessionKey), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(C_EncryptInit(other, &ecb, publicKey), CKR_OK);
}

// Library-owned attributes and malformed values, from every call that makes
// a key.
TEST_F(Hostile, KeyCallsTakeNoLibraryOwnedOrMalformedAttributes) {
    CK_MECHANISM aesGen{CKM_AES_KEY_GEN, nullptr, 0}, ecGen{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    const Bytes p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    struct Case {
        const char* name;
        KeyTemplate extra;
        CK_RV rv;
    } cases[] = {
        {"key reference", KeyTemplate().ULong(kKeyRef, 0xA020), CKR_ATTRIBUTE_READ_ONLY},
        {"container name", KeyTemplate().Text(0x80564D42UL, "{0000}"), CKR_ATTRIBUTE_READ_ONLY},
        {"object stamp", KeyTemplate().Raw(0x80000101UL, Bytes(8, 0x5A)), CKR_ATTRIBUTE_READ_ONLY},
        {"trusted", KeyTemplate().Flag(CKA_TRUSTED, true), CKR_ATTRIBUTE_READ_ONLY},
        {"value length past 32 bits", KeyTemplate().Raw(CKA_VALUE_LEN, [] {
             Bytes b(8, 0);
             b[0] = 16;
             b[4] = 1;  // 2^32 + 16, little-endian
             return b;
         }()),
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"a flag of two bytes", KeyTemplate().Raw(CKA_TOKEN, Bytes{1, 0}), CKR_ATTRIBUTE_VALUE_INVALID},
    };
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    const CK_OBJECT_HANDLE unwrapper = ImportRsa(rsa);
    const Bytes wrapped = testing_kv::RsaPublicEncrypt(rsa, RSA_NO_PADDING, Type2Block(128, Bytes(16, 7)));
    EVP_PKEY_free(rsa);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeyTemplate secret = c.extra;
        secret.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_AES).ULong(CKA_VALUE_LEN, 16);
        if (std::string(c.name) == "value length past 32 bits") {
            secret = c.extra;
            secret.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_AES);
        }
        CK_OBJECT_HANDLE key = 0, pub = 0;
        EXPECT_EQ(C_GenerateKey(h, &aesGen, secret.data(), secret.size(), &key), c.rv);
        KeyTemplate pubT = c.extra, prvT;
        pubT.Raw(CKA_EC_PARAMS, p256);
        prvT.Flag(CKA_SIGN, true);
        EXPECT_EQ(C_GenerateKeyPair(h, &ecGen, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &key), c.rv);
        KeyTemplate plainPub, badPrv = c.extra;
        plainPub.Raw(CKA_EC_PARAMS, p256);
        badPrv.Flag(CKA_SIGN, true);
        EXPECT_EQ(C_GenerateKeyPair(h, &ecGen, plainPub.data(), plainPub.size(), badPrv.data(), badPrv.size(), &pub,
                                    &key),
                  c.rv);
        EXPECT_EQ(Unwrap(unwrapper, wrapped, secret), c.rv);
    }
    EXPECT_EQ(Count(KeyTemplate().ULong(CKA_CLASS, CKO_SECRET_KEY)), 0u) << "nothing made";
}

// The unwrapped value must fit the new key, before anything is stored.
TEST_F(Hostile, UnwrappedValuesFitTheirKeys) {
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    const CK_OBJECT_HANDLE unwrapper = ImportRsa(rsa);
    struct Case {
        const char* name;
        size_t valueLength;
        CK_ULONG asked;  // 0: none asked
        CK_RV rv;
    } cases[] = {
        {"5 bytes for AES", 5, 32, CKR_WRAPPED_KEY_LEN_RANGE},
        {"5 bytes for AES, no length asked", 5, 0, CKR_WRAPPED_KEY_LEN_RANGE},
        {"16 bytes where 32 are asked", 16, 32, CKR_TEMPLATE_INCONSISTENT},
        {"32 bytes where 32 are asked", 32, 32, CKR_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeyTemplate t = testing_kv::SecretKey(CKK_AES);
        t.Flag(CKA_TOKEN, true);
        if (c.asked) t.ULong(CKA_VALUE_LEN, c.asked);
        const Bytes wrapped = testing_kv::RsaPublicEncrypt(rsa, RSA_NO_PADDING, Type2Block(128, Bytes(c.valueLength, 7)));
        EXPECT_EQ(Unwrap(unwrapper, wrapped, t), c.rv);
    }
    EXPECT_EQ(Count(KeyTemplate().ULong(CKA_CLASS, CKO_SECRET_KEY)), 1u);
    EVP_PKEY_free(rsa);
}

// What the unwrapping key's CKA_UNWRAP_TEMPLATE says, the new key is.
TEST_F(Hostile, TheUnwrapTemplateIsImposed) {
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    const CK_OBJECT_HANDLE unwrapper = ImportRsa(rsa);
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE inner[1] = {{CKA_SENSITIVE, &yes, 1}};
    CK_ATTRIBUTE set{CKA_UNWRAP_TEMPLATE, inner, sizeof inner};
    ASSERT_EQ(C_SetAttributeValue(h, unwrapper, &set, 1), CKR_OK);
    const Bytes wrapped = testing_kv::RsaPublicEncrypt(rsa, RSA_NO_PADDING, Type2Block(128, Bytes(16, 7)));
    EVP_PKEY_free(rsa);
    CK_OBJECT_HANDLE made = 0;
    ASSERT_EQ(Unwrap(unwrapper, wrapped, testing_kv::SecretKey(CKK_AES), &made), CKR_OK);
    CK_RV rv = CKR_OK;
    Attr(made, CKA_VALUE, &rv);
    EXPECT_EQ(rv, CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(Unwrap(unwrapper, wrapped, testing_kv::SecretKey(CKK_AES).Flag(CKA_SENSITIVE, false)),
              CKR_TEMPLATE_INCONSISTENT);
}

// A key limited to some mechanisms serves those alone.
TEST_F(Hostile, AllowedMechanismsAreHonoured) {
    CK_MECHANISM_TYPE allowed[] = {CKM_AES_CBC_PAD};
    const CK_OBJECT_HANDLE key =
        Aes(Bytes(16, 4), KeyTemplate().Raw(CKA_ALLOWED_MECHANISMS, allowed, sizeof allowed));
    Bytes iv(16, 0);
    CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0}, cbcPad{CKM_AES_CBC_PAD, iv.data(), iv.size()};
    EXPECT_EQ(C_EncryptInit(h, &ecb, key), CKR_MECHANISM_INVALID);
    EXPECT_EQ(C_DecryptInit(h, &ecb, key), CKR_MECHANISM_INVALID);
    EXPECT_EQ(C_EncryptInit(h, &cbcPad, key), CKR_OK);
}

// Nothing is trusted by default, and a user cannot make a key trusted: a
// key that may only be wrapped by trusted keys stays inside.
TEST_F(Hostile, OnlyTheSecurityOfficerTrusts) {
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    KeyTemplate pubT;
    pubT.ULong(CKA_CLASS, CKO_PUBLIC_KEY).ULong(CKA_KEY_TYPE, CKK_RSA).Flag(CKA_WRAP, true)
        .Raw(CKA_MODULUS, testing_kv::BnParam(rsa, "n")).Raw(CKA_PUBLIC_EXPONENT, testing_kv::BnParam(rsa, "e"));
    EVP_PKEY_free(rsa);
    const CK_OBJECT_HANDLE wrapper = Create(pubT);
    EXPECT_EQ(Attr(wrapper, CKA_TRUSTED), Bytes{0});
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE trust{CKA_TRUSTED, &yes, 1};
    EXPECT_EQ(C_SetAttributeValue(h, wrapper, &trust, 1), CKR_ATTRIBUTE_READ_ONLY);
    KeyTemplate trusted = pubT;
    Create(trusted.Flag(CKA_TRUSTED, true), CKR_ATTRIBUTE_READ_ONLY);
    const CK_OBJECT_HANDLE guarded = Aes(Bytes(16, 6), KeyTemplate().Flag(CKA_WRAP_WITH_TRUSTED, true));
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG len = 0;
    EXPECT_NE(C_WrapKey(h, &m, wrapper, guarded, nullptr, &len), CKR_OK);
}

// A null PIN sends nothing and costs no try.
TEST_F(FreshToken, ANullPinIsRefusedWithoutACommand) {
    CK_SESSION_HANDLE h = Open(true);
    sim_->Control("stats-reset");
    for (int i = 0; i < 6; ++i) EXPECT_EQ(C_Login(h, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(testing_kv::StatOf(*sim_, "apdus"), 0);
    EXPECT_EQ(sim_->Control("tries"), "user=5/5 so=5/5");
    EXPECT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
}

// Before C_Initialize every call but those whose own checks come first
// answers CKR_CRYPTOKI_NOT_INITIALIZED, whatever it is handed.
TEST(Uninitialised, EveryCallSaysSoFirst) {
    while (C_Finalize(nullptr) == CKR_OK) {
    }
    CK_ULONG len = 0;
    struct Case {
        const char* name;
        CK_RV rv;
    } cases[] = {
        {"C_EncryptInit", C_EncryptInit(0, nullptr, 0)},
        {"C_DecryptInit", C_DecryptInit(0, nullptr, 0)},
        {"C_SignInit", C_SignInit(0, nullptr, 0)},
        {"C_VerifyInit", C_VerifyInit(0, nullptr, 0)},
        {"C_DigestInit", C_DigestInit(0, nullptr)},
        {"C_Encrypt", C_Encrypt(0, nullptr, 5, nullptr, nullptr)},
        {"C_SignFinal", C_SignFinal(0, nullptr, nullptr)},
        {"C_FindObjectsInit", C_FindObjectsInit(0, nullptr, 3)},
        {"C_CreateObject", C_CreateObject(0, nullptr, 3, nullptr)},
        {"C_GenerateKey", C_GenerateKey(0, nullptr, nullptr, 3, nullptr)},
        {"C_WrapKey", C_WrapKey(0, nullptr, 0, 0, nullptr, &len)},
        {"C_GenerateRandom", C_GenerateRandom(0, nullptr, 8)},
        {"C_Login", C_Login(0, CKU_USER, nullptr, 0)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.rv, CKR_CRYPTOKI_NOT_INITIALIZED) << c.name;
}

}  // namespace
