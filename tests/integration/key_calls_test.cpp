// Key generation, wrapping, unwrapping, derivation and random bytes through
// the PKCS#11 calls on the virtual token: the access rules as tables, key
// pairs generated on the token and checked with OpenSSL and a second
// library instance, USB failures during a generation.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "cont_mgr_fs_store.h"
#include "istore.h"
#include "key_template.h"
#include "obj_mgr.h"
#include "openssl_check.h"
#include "p11_env.h"
#include "p11_fresh_token.h"
#include "session_manager.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using namespace testing_kv;

namespace {

CK_MECHANISM Mech(CK_MECHANISM_TYPE type, void* param = nullptr, CK_ULONG len = 0) { return {type, param, len}; }

Bytes Attr(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(h, obj, &a, 1), CKR_OK) << std::hex << type;
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return {};
    Bytes v(a.ulValueLen);
    a.pValue = v.data();
    EXPECT_EQ(C_GetAttributeValue(h, obj, &a, 1), CKR_OK) << std::hex << type;
    return v;
}

bool Flag(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
    Bytes v = Attr(h, obj, type);
    return v.size() == 1 && v[0] != 0;
}

// An attribute as the library keeps it, read past the access rules: secret
// values the tests compare with OpenSSL's results.
Bytes Kept(CK_OBJECT_HANDLE h) {
    ObjPtr obj = KVEnv::GetCP11SessionManager()->SessionObjects().GetObject(static_cast<uint32_t>(h));
    const ByteVec* v = obj ? obj->Value(CKA_VALUE) : nullptr;
    return v ? *v : Bytes();
}

// A second library instance on its own connection: token, store and the
// manager stack as a slot builds them.
struct Instance {
    explicit Instance(const std::string& socket) : client(socket) {
        EXPECT_EQ(client.token->ConnectAndSetenv(), 0u);
        EXPECT_EQ(LoginUser(*client.token), 0u);
        store = std::make_unique<ObjMgrWithStore>(client.token->GetStore());
        containers = std::make_unique<ContMgrFsStore>(client.token->GetFileSystem());
        objects = std::make_unique<ObjMgrWithCont>(store.get(), containers.get());
        EXPECT_EQ(objects->CheckUpdate(nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(objects->CheckUpdate2(nullptr, nullptr, nullptr), 0u);
    }
    std::vector<ObjPtr> Keys() {
        std::vector<ObjPtr> all, keys;
        EXPECT_EQ(objects->GetAllObj(all), 0u);
        for (const ObjPtr& o : all) {
            if (o->HasAttr(CKA_KEY_TYPE)) keys.push_back(o);
        }
        return keys;
    }
    std::vector<uint16_t> Files() {
        std::vector<uint16_t> fids;
        EXPECT_EQ(client.token->GetFileList(fids), 0u);
        std::sort(fids.begin(), fids.end());
        return fids;
    }
    TokenClient client;
    std::unique_ptr<ObjMgrWithStore> store;
    std::unique_ptr<ContMgrFsStore> containers;
    std::unique_ptr<ObjMgrWithCont> objects;
};

const Bytes kP192 = Hex("06082A8648CE3D030101"), kP256 = Hex("06082A8648CE3D030107");

class KeyCalls : public FreshToken {
protected:
    CK_SESSION_HANDLE UserSession() {
        CK_SESSION_HANDLE h = Open(true);
        EXPECT_EQ(Login(h, CKU_USER, kUserPin), CKR_OK);
        return h;
    }
    int Apdus(const std::string& key) { return StatOf(*sim_, key); }
};

// ---------------------------------------------------------------- secret keys

struct SecretCase {
    const char* name;
    bool readWrite, login;
    CK_MECHANISM_TYPE mechanism;
    int token;       // CKA_TOKEN: -1 absent, else the value
    int isPrivate;   // CKA_PRIVATE: -1 absent, else the value
    CK_RV rv;
    bool privateAfter;
};

TEST_F(KeyCalls, SecretKeyGenerationRules) {
    const SecretCase cases[] = {
        {"token key in a read-only session", false, true, CKM_AES_KEY_GEN, 1, -1, CKR_SESSION_READ_ONLY, false},
        {"read-only session: public by default", false, false, CKM_AES_KEY_GEN, -1, -1, CKR_OK, false},
        {"read-write session: private by default", true, false, CKM_AES_KEY_GEN, 0, -1, CKR_USER_NOT_LOGGED_IN, true},
        {"private token key with login", true, true, CKM_AES_KEY_GEN, 1, -1, CKR_OK, true},
        // A key made on the token needs the token's verification: this
        // process's login, whatever an earlier case left on the token.
        {"public token key without login", true, false, CKM_DES3_KEY_GEN, 1, 0, CKR_USER_NOT_LOGGED_IN, false},
        {"private key asked without login", false, false, CKM_DES_KEY_GEN, 0, 1, CKR_USER_NOT_LOGGED_IN, true},
        {"session RC4 key", true, true, CKM_RC4_KEY_GEN, 0, -1, CKR_OK, true},
        {"not a key generation mechanism", true, true, CKM_SHA_1, 0, -1, CKR_MECHANISM_INVALID, false},
    };
    for (const SecretCase& c : cases) {
        SCOPED_TRACE(c.name);
        CK_SESSION_HANDLE h = Open(c.readWrite);
        if (c.login) {
            ASSERT_EQ(Login(h, CKU_USER, kUserPin), CKR_OK);
        }
        KeyTemplate t;
        if (c.token >= 0) t.Flag(CKA_TOKEN, c.token);
        if (c.isPrivate >= 0) t.Flag(CKA_PRIVATE, c.isPrivate);
        CK_MECHANISM m = Mech(c.mechanism);
        CK_OBJECT_HANDLE key = 0;
        ASSERT_EQ(C_GenerateKey(h, &m, t.data(), t.size(), &key), c.rv);
        if (c.rv == CKR_OK) {
            EXPECT_EQ((key & 0x80000000UL) == 0, c.token == 1);
            EXPECT_EQ(Flag(h, key, CKA_PRIVATE), c.privateAfter);
            EXPECT_TRUE(Flag(h, key, CKA_LOCAL));
            Bytes cls = Attr(h, key, CKA_CLASS);
            ASSERT_EQ(cls.size(), sizeof(CK_ULONG));
            EXPECT_EQ(*reinterpret_cast<CK_ULONG*>(cls.data()), CKO_SECRET_KEY);
            if (c.login) {
                EXPECT_EQ(C_DestroyObject(h, key), CKR_OK);
            }
        } else {
            EXPECT_EQ(key, 0u);
        }
        if (c.login) C_Logout(h);
        C_CloseSession(h);
    }
}

TEST_F(KeyCalls, SecretKeyTypesAndLengthsFollowTheMechanism) {
    CK_SESSION_HANDLE h = UserSession();
    struct {
        CK_MECHANISM_TYPE mechanism;
        CK_KEY_TYPE keyType;
        CK_ULONG asked;  // 0: no CKA_VALUE_LEN
        size_t length;
    } const cases[] = {
        {CKM_AES_KEY_GEN, CKK_AES, 0, 16},     {CKM_AES_KEY_GEN, CKK_AES, 32, 32},
        {CKM_DES3_KEY_GEN, CKK_DES3, 0, 24},   {CKM_DES_KEY_GEN, CKK_DES, 0, 8},
        {CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET, 20, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mechanism);
        KeyTemplate t;
        t.Flag(CKA_TOKEN, false).Flag(CKA_SENSITIVE, false);
        if (c.asked) t.ULong(CKA_VALUE_LEN, c.asked);
        CK_MECHANISM m = Mech(c.mechanism);
        CK_OBJECT_HANDLE key = 0;
        ASSERT_EQ(C_GenerateKey(h, &m, t.data(), t.size(), &key), CKR_OK);
        Bytes type = Attr(h, key, CKA_KEY_TYPE);
        ASSERT_EQ(type.size(), sizeof(CK_ULONG));
        EXPECT_EQ(*reinterpret_cast<CK_ULONG*>(type.data()), c.keyType);
        EXPECT_EQ(Attr(h, key, CKA_VALUE).size(), c.length);
    }
    // A key type of another mechanism, a template the factory refuses.
    CK_MECHANISM aes = Mech(CKM_AES_KEY_GEN);
    CK_OBJECT_HANDLE key = 0;
    KeyTemplate des;
    des.ULong(CKA_KEY_TYPE, CKK_DES);
    EXPECT_EQ(C_GenerateKey(h, &aes, des.data(), des.size(), &key), CKR_TEMPLATE_INCONSISTENT);
    KeyTemplate data;
    data.ULong(CKA_CLASS, CKO_DATA);
    EXPECT_EQ(C_GenerateKey(h, &aes, data.data(), data.size(), &key), CKR_TEMPLATE_INCONSISTENT);
    KeyTemplate badLength;
    badLength.ULong(CKA_VALUE_LEN, 17);
    EXPECT_EQ(C_GenerateKey(h, &aes, badLength.data(), badLength.size(), &key), CKR_TEMPLATE_INCONSISTENT);
    // A token key must fit in the token's free memory; a session key takes none of it.
    const std::string label(TokenInfo().ulFreePublicMemory + 1, 'x');
    KeyTemplate big;
    big.Raw(CKA_LABEL, label.data(), label.size()).Flag(CKA_TOKEN, true);
    EXPECT_EQ(C_GenerateKey(h, &aes, big.data(), big.size(), &key), CKR_DEVICE_MEMORY);
    KeyTemplate bigSession;
    bigSession.Raw(CKA_LABEL, label.data(), label.size()).Flag(CKA_TOKEN, false);
    EXPECT_EQ(C_GenerateKey(h, &aes, bigSession.data(), bigSession.size(), &key), CKR_OK);
    EXPECT_EQ(C_GenerateKey(h, nullptr, nullptr, 0, &key), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKey(h, &aes, nullptr, 1, &key), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKey(h, &aes, nullptr, 0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateKey(h + 100, &aes, nullptr, 0, &key), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(KeyCalls, SessionKeyEndsWithItsSession) {
    CK_SESSION_HANDLE keeper = Open(false), h = Open(false);
    CK_MECHANISM m = Mech(CKM_AES_KEY_GEN);
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(C_GenerateKey(h, &m, nullptr, 0, &key), CKR_OK);
    EXPECT_EQ(Attr(keeper, key, CKA_VALUE).size(), 16u);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    CK_ATTRIBUTE a{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(keeper, key, &a, 1), CKR_OBJECT_HANDLE_INVALID);
}

// ---------------------------------------------------------------- key pairs

struct PairCase {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    CK_ULONG bits;     // RSA
    const Bytes* curve;  // EC
    const char* curveName;
};

KeyTemplate PublicTemplate(const PairCase& c, bool token) {
    KeyTemplate t;
    t.Flag(CKA_TOKEN, token).Flag(CKA_VERIFY, true).Raw(CKA_ID, "\x01\x02", 2);
    if (c.curve) {
        t.Raw(CKA_EC_PARAMS, *c.curve);
    } else {
        t.ULong(CKA_MODULUS_BITS, c.bits);
    }
    return t;
}

KeyTemplate PrivateTemplate(bool token) {
    KeyTemplate t;
    t.Flag(CKA_TOKEN, token).Flag(CKA_SIGN, true).Raw(CKA_ID, "\x01\x02", 2);
    return t;
}

// Signs a message with the private key and checks the signature with
// OpenSSL against the public key read back.
void SignAndVerify(CK_SESSION_HANDLE h, const PairCase& c, CK_OBJECT_HANDLE pub, CK_OBJECT_HANDLE prv) {
    const Bytes message = Message(300);
    Bytes signature(512);
    CK_ULONG len = signature.size();
    if (c.curve) {
        const Bytes hash = Digest(EVP_sha256(), message);
        CK_MECHANISM m = Mech(CKM_ECDSA);
        ASSERT_EQ(C_SignInit(h, &m, prv), CKR_OK);
        ASSERT_EQ(C_Sign(h, const_cast<uint8_t*>(hash.data()), hash.size(), signature.data(), &len), CKR_OK);
        signature.resize(len);
        Bytes point = Attr(h, pub, CKA_EC_POINT);
        ASSERT_EQ(point.size() % 2, 1u);  // 04 || x || y
        const size_t half = point.size() / 2;
        Bytes x(point.end() - 2 * half, point.end() - half), y(point.end() - half, point.end());
        PKey key = EcKey(c.curveName, x, y);
        ASSERT_TRUE(key);
        EXPECT_TRUE(VerifyEcdsa(key.get(), hash, signature));
    } else {
        CK_MECHANISM m = Mech(CKM_SHA256_RSA_PKCS);
        ASSERT_EQ(C_SignInit(h, &m, prv), CKR_OK);
        ASSERT_EQ(C_Sign(h, const_cast<uint8_t*>(message.data()), message.size(), signature.data(), &len), CKR_OK);
        signature.resize(len);
        EXPECT_EQ(len, c.bits / 8);
        PKey key = RsaKey(Attr(h, pub, CKA_MODULUS), Attr(h, pub, CKA_PUBLIC_EXPONENT));
        ASSERT_TRUE(key);
        EXPECT_TRUE(VerifyRsa(key.get(), EVP_sha256(), message, signature));
    }
}

const PairCase kPairs[] = {
    {"RSA 1024", CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, nullptr, nullptr},
    {"RSA 2048", CKM_RSA_PKCS_KEY_PAIR_GEN, 2048, nullptr, nullptr},
    {"EC P-192", CKM_EC_KEY_PAIR_GEN, 0, &kP192, "prime192v1"},
    {"EC P-256", CKM_EC_KEY_PAIR_GEN, 0, &kP256, "prime256v1"},
};

TEST_F(KeyCalls, TokenKeyPairsAreFoundSignAndLeaveNothingBehind) {
    const std::vector<uint16_t> filesBefore = Instance(sim_->Socket()).Files();
    CK_SESSION_HANDLE h = UserSession();
    for (const PairCase& c : kPairs) {
        SCOPED_TRACE(c.name);
        KeyTemplate pubT = PublicTemplate(c, true), prvT = PrivateTemplate(true);
        CK_MECHANISM m = Mech(c.mechanism);
        CK_OBJECT_HANDLE pub = 0, prv = 0;
        ASSERT_EQ(C_GenerateKeyPair(h, &m, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv), CKR_OK);
        EXPECT_FALSE(Flag(h, pub, CKA_PRIVATE));
        EXPECT_TRUE(Flag(h, prv, CKA_PRIVATE));
        EXPECT_TRUE(Flag(h, pub, CKA_LOCAL));
        EXPECT_TRUE(Flag(h, prv, CKA_LOCAL));

        {
            // Another instance finds both halves, with their key files, in one container.
            Instance other(sim_->Socket());
            std::vector<ObjPtr> keys = other.Keys();
            ASSERT_EQ(keys.size(), 2u);
            for (const ObjPtr& k : keys) EXPECT_EQ(*k->Value(CKA_ID), Bytes({1, 2}));
            ASSERT_EQ(other.containers->Containers().size(), 1u);
            const std::vector<uint16_t> files = other.Files();
            EXPECT_EQ(files.size(), filesBefore.size() + 4) << "two key files and two object files";
        }
        SignAndVerify(h, c, pub, prv);

        EXPECT_EQ(C_DestroyObject(h, prv), CKR_OK);
        EXPECT_EQ(C_DestroyObject(h, pub), CKR_OK);
        Instance after(sim_->Socket());
        EXPECT_TRUE(after.Keys().empty());
        EXPECT_TRUE(after.containers->Containers().empty());
        EXPECT_EQ(after.Files(), filesBefore);
    }
}

// The DH group of RFC 2409 (1024 bits) with generator 2, as OpenSSL has it.
Bytes DhPrime() {
    BIGNUM* p = BN_get_rfc2409_prime_1024(nullptr);
    Bytes prime(BN_num_bytes(p));
    BN_bn2bin(p, prime.data());
    BN_free(p);
    return prime;
}

KeyTemplate DhPublicTemplate(bool token) {
    KeyTemplate t;
    t.Flag(CKA_TOKEN, token).Raw(CKA_PRIME, DhPrime()).Raw(CKA_BASE, Bytes{2});
    return t;
}

// Generates a DH pair in the session.
void DhPair(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE& pub, CK_OBJECT_HANDLE& prv) {
    KeyTemplate pubT = DhPublicTemplate(false), prvT;
    prvT.Flag(CKA_TOKEN, false).Flag(CKA_DERIVE, true);
    CK_MECHANISM m = Mech(CKM_DH_PKCS_KEY_PAIR_GEN);
    ASSERT_EQ(C_GenerateKeyPair(h, &m, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv), CKR_OK);
}

TEST_F(KeyCalls, KeyPairRules) {
    const std::vector<uint16_t> filesBefore = Instance(sim_->Socket()).Files();
    struct {
        const char* name;
        bool readWrite, login, publicOnToken, privateOnToken;
        int isPrivate;  // CKA_PRIVATE of the private template: -1 absent
        bool alwaysAuthenticate;
        CK_RV rv;
    } const cases[] = {
        {"token pair in a read-only session", false, true, false, true, -1, false, CKR_SESSION_READ_ONLY},
        {"public half on the token, read-only", false, true, true, false, -1, false, CKR_SESSION_READ_ONLY},
        {"private by default needs a login", true, false, false, false, -1, false, CKR_USER_NOT_LOGGED_IN},
        {"public session pair without login", false, false, false, false, 0, false, CKR_OK},
        {"always authenticate needs a private key", true, true, false, false, 0, true, CKR_TEMPLATE_INCONSISTENT},
        {"session pair with login", false, true, false, false, -1, false, CKR_OK},
        {"session pair, read-write", true, true, false, false, -1, false, CKR_OK},
        // The containers take no DH keys: refused by its template at once,
        // nothing of the pair stays behind.
        {"DH pair on the token", true, true, true, true, -1, false, CKR_TEMPLATE_INCONSISTENT},
        {"DH public half on the token", true, true, true, false, -1, false, CKR_TEMPLATE_INCONSISTENT},
        {"DH private half on the token", true, true, false, true, -1, false, CKR_TEMPLATE_INCONSISTENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CK_SESSION_HANDLE h = Open(c.readWrite);
        if (c.login) {
            ASSERT_EQ(Login(h, CKU_USER, kUserPin), CKR_OK);
        }
        KeyTemplate pubT = DhPublicTemplate(c.publicOnToken), prvT;
        prvT.Flag(CKA_TOKEN, c.privateOnToken);
        if (c.isPrivate >= 0) prvT.Flag(CKA_PRIVATE, c.isPrivate);
        if (c.alwaysAuthenticate) prvT.Flag(CKA_ALWAYS_AUTHENTICATE, true);
        CK_MECHANISM m = Mech(CKM_DH_PKCS_KEY_PAIR_GEN);
        CK_OBJECT_HANDLE pub = 0, prv = 0;
        ASSERT_EQ(C_GenerateKeyPair(h, &m, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv), c.rv);
        if (c.rv == CKR_OK) {
            EXPECT_FALSE(Flag(h, pub, CKA_PRIVATE));
            EXPECT_EQ(Flag(h, prv, CKA_PRIVATE), c.isPrivate != 0);
            EXPECT_TRUE(Flag(h, pub, CKA_LOCAL));
            EXPECT_EQ(C_DestroyObject(h, pub), CKR_OK);
            EXPECT_EQ(C_DestroyObject(h, prv), CKR_OK);
        }
        Instance other(sim_->Socket());
        EXPECT_TRUE(other.Keys().empty());
        EXPECT_EQ(other.Files(), filesBefore);
        if (c.login) C_Logout(h);
        C_CloseSession(h);
    }
    // A template of another family, and a mechanism that makes no pair.
    CK_SESSION_HANDLE h = UserSession();
    CK_MECHANISM rsa = Mech(CKM_RSA_PKCS_KEY_PAIR_GEN), sha = Mech(CKM_SHA_1);
    KeyTemplate pubT = PublicTemplate(kPairs[3], true), prvT = PrivateTemplate(true);
    pubT.ULong(CKA_KEY_TYPE, CKK_EC);
    CK_OBJECT_HANDLE pub = 0, prv = 0;
    EXPECT_EQ(C_GenerateKeyPair(h, &rsa, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv),
              CKR_TEMPLATE_INCONSISTENT);
    // A curve the token does not know.
    CK_MECHANISM ecGen = Mech(CKM_EC_KEY_PAIR_GEN);
    KeyTemplate p384;
    p384.Flag(CKA_TOKEN, true).Flag(CKA_VERIFY, true).Raw(CKA_EC_PARAMS, Hex("06052B81040022"));
    EXPECT_EQ(C_GenerateKeyPair(h, &ecGen, p384.data(), p384.size(), prvT.data(), prvT.size(), &pub, &prv),
              CKR_TEMPLATE_INCONSISTENT);
    pubT.ULong(CKA_CLASS, CKO_PUBLIC_KEY);
    prvT.ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_EC);
    EXPECT_EQ(C_GenerateKeyPair(h, &sha, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv),
              CKR_MECHANISM_INVALID);
    EXPECT_TRUE(Instance(sim_->Socket()).Keys().empty());
}

// RSA pairs of session keys are made in the library: nothing reaches the
// token, the private parts are never readable, the public half is the size
// asked for and verifies what the private half signs (OpenSSL checks).
TEST_F(KeyCalls, SessionRsaPairsStayInTheLibrary) {
    Instance before(sim_->Socket());
    const std::vector<uint16_t> filesBefore = before.Files();
    const struct {
        CK_ULONG bits;
        Bytes exponent;  // empty: none asked
        bool publicOnToken;
        CK_RV rv;
    } cases[] = {
        {1024, {}, false, CKR_OK},
        {2048, {0x03}, false, CKR_OK},
        {4096, {0x01, 0x00, 0x01}, false, CKR_OK},
        {512, {}, false, CKR_KEY_SIZE_RANGE},
        {8192, {}, false, CKR_KEY_SIZE_RANGE},
        {1024, {0x01, 0x00, 0x00}, false, CKR_TEMPLATE_INCONSISTENT},
        {1024, {}, true, CKR_TEMPLATE_INCONSISTENT},  // one half on the token: not made here
    };
    CK_SESSION_HANDLE h = UserSession();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, exponent of " << c.exponent.size() << " bytes");
        const PairCase pair{"RSA", CKM_RSA_PKCS_KEY_PAIR_GEN, c.bits, nullptr, nullptr};
        KeyTemplate pubT = PublicTemplate(pair, c.publicOnToken), prvT = PrivateTemplate(false);
        if (!c.exponent.empty()) pubT.Raw(CKA_PUBLIC_EXPONENT, c.exponent);
        prvT.Flag(CKA_DECRYPT, true);
        CK_MECHANISM m = Mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
        CK_OBJECT_HANDLE pub = 0, prv = 0;
        ASSERT_EQ(C_GenerateKeyPair(h, &m, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv), c.rv);
        if (c.rv != CKR_OK) continue;
        CK_ULONG bits = 0;
        CK_ATTRIBUTE a{CKA_MODULUS_BITS, &bits, sizeof bits};
        EXPECT_EQ(C_GetAttributeValue(h, pub, &a, 1), CKR_OK);
        EXPECT_EQ(bits, c.bits);
        EXPECT_EQ(Attr(h, pub, CKA_PUBLIC_EXPONENT), c.exponent.empty() ? Bytes({0x01, 0x00, 0x01}) : c.exponent);
        EXPECT_EQ(Attr(h, prv, CKA_MODULUS), Attr(h, pub, CKA_MODULUS));
        for (CK_ATTRIBUTE_TYPE flag : {CKA_SENSITIVE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_LOCAL})
            EXPECT_TRUE(Flag(h, prv, flag)) << std::hex << flag;
        EXPECT_FALSE(Flag(h, prv, CKA_EXTRACTABLE));
        EXPECT_FALSE(Flag(h, prv, CKA_TOKEN));
        for (CK_ATTRIBUTE_TYPE part : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                       CKA_COEFFICIENT}) {
            Bytes value(1024);
            CK_ATTRIBUTE secret{part, value.data(), value.size()};
            EXPECT_EQ(C_GetAttributeValue(h, prv, &secret, 1), CKR_ATTRIBUTE_SENSITIVE) << std::hex << part;
            EXPECT_EQ(secret.ulValueLen, CK_UNAVAILABLE_INFORMATION);
        }
        SignAndVerify(h, pair, pub, prv);
        EXPECT_EQ(C_DestroyObject(h, prv), CKR_OK);
        EXPECT_EQ(C_DestroyObject(h, pub), CKR_OK);
    }
    Instance after(sim_->Socket());
    EXPECT_TRUE(after.Keys().empty());
    EXPECT_EQ(after.Files(), filesBefore);
}

// The files outside the range of named (object) files.
std::vector<uint16_t> KeyFiles(std::vector<uint16_t> fids) {
    fids.erase(std::remove_if(fids.begin(), fids.end(), [](uint16_t f) { return f >= 0x2400 && f < 0x3400; }),
               fids.end());
    return fids;
}

// Generates an EC P-256 token pair.
CK_RV TokenPair(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE& pub, CK_OBJECT_HANDLE& prv) {
    KeyTemplate pubT = PublicTemplate(kPairs[3], true), prvT = PrivateTemplate(true);
    CK_MECHANISM m = Mech(CKM_EC_KEY_PAIR_GEN);
    return C_GenerateKeyPair(h, &m, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv);
}

TEST_F(KeyCalls, UsbFailureDuringGenerationLeavesNoHalfPair) {
    const std::vector<uint16_t> filesBefore = Instance(sim_->Socket()).Files();
    CK_SESSION_HANDLE h = UserSession();
    CK_OBJECT_HANDLE pub = 0, prv = 0;
    sim_->Control("stats-reset");
    ASSERT_EQ(TokenPair(h, pub, prv), CKR_OK);
    const int messages = Apdus("messages_in");
    ASSERT_EQ(C_DestroyObject(h, prv), CKR_OK);
    ASSERT_EQ(C_DestroyObject(h, pub), CKR_OK);

    // One lost message at each point of a generation: it completes whole,
    // or fails leaving neither half and no container.
    int failures = 0;
    for (int cut = 0; cut <= messages; ++cut) {
        SCOPED_TRACE(cut);
        sim_->Control("send-fail-after " + std::to_string(cut) + " 1");
        const CK_RV rv = TokenPair(h, pub, prv);
        sim_->Control("send-fail-after 0 0");
        Instance other(sim_->Socket());
        const std::vector<ObjPtr> keys = other.Keys();
        if (rv == CKR_OK) {
            EXPECT_EQ(keys.size(), 2u);
            EXPECT_EQ(other.containers->Containers().size(), 1u);
            EXPECT_EQ(C_DestroyObject(h, prv), CKR_OK);
            EXPECT_EQ(C_DestroyObject(h, pub), CKR_OK);
        } else {
            ++failures;
            EXPECT_TRUE(keys.empty());
            EXPECT_TRUE(other.containers->Containers().empty());
        }
    }
    EXPECT_GT(failures, 0);
    // Key files a failure could not delete go with the next generation.
    // (Object files the store began and could not finish are its own to
    // sweep: only the key files are compared.)
    ASSERT_EQ(TokenPair(h, pub, prv), CKR_OK);
    ASSERT_EQ(C_DestroyObject(h, prv), CKR_OK);
    ASSERT_EQ(C_DestroyObject(h, pub), CKR_OK);
    EXPECT_EQ(KeyFiles(Instance(sim_->Socket()).Files()), KeyFiles(filesBefore));
}

// ---------------------------------------------------------------- derivation

// Z = peer ^ x mod p, the shared secret OpenSSL computes.
Bytes SharedSecret(const Bytes& peer, const Bytes& x) {
    BIGNUM* p = BN_get_rfc2409_prime_1024(nullptr);
    BIGNUM* y = BN_bin2bn(peer.data(), static_cast<int>(peer.size()), nullptr);
    BIGNUM* e = BN_bin2bn(x.data(), static_cast<int>(x.size()), nullptr);
    BIGNUM* z = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_mod_exp(z, y, e, p, ctx);
    Bytes out(BN_num_bytes(z));
    BN_bn2bin(z, out.data());
    for (BIGNUM* b : {p, y, e, z}) BN_free(b);
    BN_CTX_free(ctx);
    return out;
}

TEST_F(KeyCalls, DiffieHellmanBetweenTwoSessions) {
    CK_SESSION_HANDLE a = UserSession(), b = Open(true);
    CK_OBJECT_HANDLE aPub = 0, aPrv = 0, bPub = 0, bPrv = 0;
    DhPair(a, aPub, aPrv);
    DhPair(b, bPub, bPrv);
    Bytes aValue = Attr(a, aPub, CKA_VALUE), bValue = Attr(b, bPub, CKA_VALUE);
    ASSERT_FALSE(aValue.empty());
    ASSERT_NE(aValue, bValue);

    KeyTemplate secret;
    secret.ULong(CKA_CLASS, CKO_SECRET_KEY)
        .ULong(CKA_KEY_TYPE, CKK_AES)
        .ULong(CKA_VALUE_LEN, 32)
        .Flag(CKA_TOKEN, false)
        .Flag(CKA_SENSITIVE, false);
    CK_MECHANISM withB = Mech(CKM_DH_PKCS_DERIVE, bValue.data(), bValue.size());
    CK_MECHANISM withA = Mech(CKM_DH_PKCS_DERIVE, aValue.data(), aValue.size());
    CK_OBJECT_HANDLE aKey = 0, bKey = 0;
    ASSERT_EQ(C_DeriveKey(a, &withB, aPrv, secret.data(), secret.size(), &aKey), CKR_OK);
    ASSERT_EQ(C_DeriveKey(b, &withA, bPrv, secret.data(), secret.size(), &bKey), CKR_OK);
    const Bytes aSecret = Attr(a, aKey, CKA_VALUE);
    ASSERT_EQ(aSecret.size(), 32u);
    EXPECT_EQ(aSecret, Attr(b, bKey, CKA_VALUE));
    const Bytes z = SharedSecret(bValue, Kept(aPrv));
    EXPECT_EQ(aSecret, Bytes(z.end() - 32, z.end()));

    // A token key is written into the token and found there by another instance.
    KeyTemplate onToken;
    onToken.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_DES3).Flag(CKA_TOKEN, true);
    CK_OBJECT_HANDLE tokenKey = 0;
    ASSERT_EQ(C_DeriveKey(a, &withB, aPrv, onToken.data(), onToken.size(), &tokenKey), CKR_OK);
    EXPECT_EQ(tokenKey & 0x80000000UL, 0u);
    Instance other(sim_->Socket());
    const std::vector<ObjPtr> keys = other.Keys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(*keys[0]->Value(CKA_VALUE), Bytes(z.end() - 24, z.end()));
    EXPECT_TRUE(keys[0]->HasAttr(CKA_VENDOR_KEY_REF));
}

TEST_F(KeyCalls, DerivationRules) {
    CK_SESSION_HANDLE rw = UserSession(), ro = Open(false);
    CK_OBJECT_HANDLE pub = 0, prv = 0;
    DhPair(rw, pub, prv);
    Bytes peer = Attr(rw, pub, CKA_VALUE);
    CK_MECHANISM m = Mech(CKM_DH_PKCS_DERIVE, peer.data(), peer.size()), aesGen = Mech(CKM_AES_KEY_GEN);
    CK_OBJECT_HANDLE aes = 0;
    ASSERT_EQ(C_GenerateKey(rw, &aesGen, nullptr, 0, &aes), CKR_OK);
    struct {
        const char* name;
        CK_SESSION_HANDLE h;
        CK_OBJECT_CLASS cls;
        bool token;
        CK_OBJECT_HANDLE base;
        CK_RV rv;
    } const cases[] = {
        {"a data object", rw, CKO_DATA, false, prv, CKR_TEMPLATE_INCONSISTENT},
        {"a token key in a read-only session", ro, CKO_SECRET_KEY, true, prv, CKR_SESSION_READ_ONLY},
        {"an unknown base key", rw, CKO_SECRET_KEY, false, 0x80007777, CKR_OBJECT_HANDLE_INVALID},
        {"a base key that may not derive", rw, CKO_SECRET_KEY, false, aes, CKR_KEY_FUNCTION_NOT_PERMITTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KeyTemplate t;
        t.ULong(CKA_CLASS, c.cls).ULong(CKA_KEY_TYPE, CKK_AES).ULong(CKA_VALUE_LEN, 16).Flag(CKA_TOKEN,
                                                                                                     c.token);
        CK_OBJECT_HANDLE key = 0;
        EXPECT_EQ(C_DeriveKey(c.h, &m, c.base, t.data(), t.size(), &key), c.rv);
    }
    // The private base key, a session object, goes with the logout.
    ASSERT_EQ(C_Logout(rw), CKR_OK);
    KeyTemplate publicKey;
    publicKey.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_DES).Flag(CKA_PRIVATE, false);
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(C_DeriveKey(rw, &m, prv, publicKey.data(), publicKey.size(), &key), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_TRUE(Instance(sim_->Socket()).Keys().empty());
}

// ---------------------------------------------------------------- wrapping

TEST_F(KeyCalls, WrapASessionKeyWithATokenRsaKey) {
    CK_SESSION_HANDLE h = UserSession();
    const PairCase& c = kPairs[0];
    KeyTemplate pubT = PublicTemplate(c, true), prvT = PrivateTemplate(true);
    CK_MECHANISM gen = Mech(c.mechanism);
    CK_OBJECT_HANDLE pub = 0, prv = 0;
    ASSERT_EQ(C_GenerateKeyPair(h, &gen, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv), CKR_OK);
    KeyTemplate desT;
    desT.Flag(CKA_TOKEN, false).Flag(CKA_SENSITIVE, false);
    CK_MECHANISM desGen = Mech(CKM_DES3_KEY_GEN);
    CK_OBJECT_HANDLE des = 0;
    ASSERT_EQ(C_GenerateKey(h, &desGen, desT.data(), desT.size(), &des), CKR_OK);
    const Bytes desValue = Attr(h, des, CKA_VALUE);
    ASSERT_EQ(desValue.size(), 24u);

    // An encryption in progress goes on after the wrapping.
    CK_MECHANISM ecb = Mech(CKM_DES3_ECB);
    ASSERT_EQ(C_EncryptInit(h, &ecb, des), CKR_OK);

    CK_MECHANISM rsa = Mech(CKM_RSA_PKCS);
    CK_ULONG len = 0;
    ASSERT_EQ(C_WrapKey(h, &rsa, pub, des, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 128u);
    Bytes wrapped(len);
    CK_ULONG shortLen = 16;
    EXPECT_EQ(C_WrapKey(h, &rsa, pub, des, wrapped.data(), &shortLen), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortLen, 128u);
    ASSERT_EQ(C_WrapKey(h, &rsa, pub, des, wrapped.data(), &len), CKR_OK);
    ASSERT_EQ(len, 128u);

    Bytes plain = Message(16), cipher(16);
    CK_ULONG cipherLen = cipher.size();
    ASSERT_EQ(C_Encrypt(h, plain.data(), plain.size(), cipher.data(), &cipherLen), CKR_OK);
    Bytes expected(16);
    int outLen = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, desValue.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, expected.data(), &outLen, plain.data(), static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(cipher, expected);

    KeyTemplate newT;
    newT.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_DES3).Flag(CKA_TOKEN, false).Flag(CKA_SENSITIVE,
                                                                                                   false);
    CK_OBJECT_HANDLE unwrapped = 0;
    ASSERT_EQ(C_UnwrapKey(h, &rsa, prv, wrapped.data(), len, newT.data(), newT.size(), &unwrapped), CKR_OK);
    EXPECT_EQ(Attr(h, unwrapped, CKA_VALUE), desValue);
    EXPECT_FALSE(Flag(h, unwrapped, CKA_LOCAL));

    // Keys that may not be wrapped, and unknown keys.
    KeyTemplate lockedT;
    lockedT.Flag(CKA_TOKEN, false).Flag(CKA_EXTRACTABLE, false);
    CK_OBJECT_HANDLE locked = 0;
    ASSERT_EQ(C_GenerateKey(h, &desGen, lockedT.data(), lockedT.size(), &locked), CKR_OK);
    EXPECT_EQ(C_WrapKey(h, &rsa, pub, locked, nullptr, &len), CKR_KEY_UNEXTRACTABLE);
    EXPECT_EQ(C_WrapKey(h, &rsa, 0x7777, des, nullptr, &len), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(C_WrapKey(h, &rsa, pub, 0x80007777, nullptr, &len), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(C_WrapKey(h, &rsa, pub, des, nullptr, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(KeyCalls, UnwrappingChecksTheNewKeyBeforeWritingIt) {
    CK_SESSION_HANDLE h = UserSession(), ro = Open(false);
    const PairCase& c = kPairs[0];
    KeyTemplate pubT = PublicTemplate(c, true), prvT = PrivateTemplate(true);
    CK_MECHANISM gen = Mech(c.mechanism);
    CK_OBJECT_HANDLE pub = 0, prv = 0;
    ASSERT_EQ(C_GenerateKeyPair(h, &gen, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv), CKR_OK);
    CK_MECHANISM desGen = Mech(CKM_DES3_KEY_GEN), rsa = Mech(CKM_RSA_PKCS);
    CK_OBJECT_HANDLE des = 0;
    ASSERT_EQ(C_GenerateKey(h, &desGen, nullptr, 0, &des), CKR_OK);
    Bytes wrapped(128);
    CK_ULONG len = wrapped.size();
    ASSERT_EQ(C_WrapKey(h, &rsa, pub, des, wrapped.data(), &len), CKR_OK);
    const std::vector<uint16_t> filesBefore = Instance(sim_->Socket()).Files();

    struct {
        const char* name;
        CK_SESSION_HANDLE h;
        CK_OBJECT_CLASS cls;
        bool token;
        CK_OBJECT_HANDLE unwrappingKey;
        CK_RV rv;
    } const cases[] = {
        {"a token key in a read-only session", ro, CKO_SECRET_KEY, true, prv, CKR_SESSION_READ_ONLY},
        {"a data object", h, CKO_DATA, true, prv, CKR_TEMPLATE_INCONSISTENT},
        {"an unknown unwrapping key", h, CKO_SECRET_KEY, true, 0x7777, CKR_KEY_HANDLE_INVALID},
        {"a public key cannot unwrap", h, CKO_SECRET_KEY, true, pub, CKR_KEY_FUNCTION_NOT_PERMITTED},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        KeyTemplate t;
        t.ULong(CKA_CLASS, k.cls).ULong(CKA_KEY_TYPE, CKK_DES3).Flag(CKA_TOKEN, k.token);
        CK_OBJECT_HANDLE key = 0;
        EXPECT_EQ(C_UnwrapKey(k.h, &rsa, k.unwrappingKey, wrapped.data(), len, t.data(), t.size(), &key), k.rv);
    }
    ASSERT_EQ(C_Logout(h), CKR_OK);
    KeyTemplate t;
    t.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_DES3).Flag(CKA_TOKEN, true).Flag(CKA_PRIVATE, false);
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(C_UnwrapKey(h, &rsa, prv, wrapped.data(), len, t.data(), t.size(), &key), CKR_USER_NOT_LOGGED_IN);
    Instance after(sim_->Socket());
    EXPECT_EQ(after.Files(), filesBefore);
    EXPECT_EQ(after.Keys().size(), 2u);

    // With the user back, a token key is unwrapped into the token.
    ASSERT_EQ(Login(h, CKU_USER, kUserPin), CKR_OK);
    ASSERT_EQ(C_UnwrapKey(h, &rsa, prv, wrapped.data(), len, t.data(), t.size(), &key), CKR_OK);
    EXPECT_EQ(key & 0x80000000UL, 0u);
    EXPECT_EQ(Instance(sim_->Socket()).Keys().size(), 3u);
}

// The token stays verified after another application's login. A process
// that never logged in is still refused every key made on the token, before
// any command, and can neither make nor fail to destroy half of one.
TEST_F(KeyCalls, TokenKeysNeedThisProcesssOwnLogin) {
    { Instance other(sim_->Socket()); }  // the token verified by another application
    CK_SESSION_HANDLE h = Open(true);
    const PairCase& rsa = kPairs[0];
    KeyTemplate pubT = PublicTemplate(rsa, true), prvT = PrivateTemplate(true);
    prvT.Flag(CKA_PRIVATE, false);  // nothing private asked for: only the token's verification stands in the way
    KeyTemplate aes = SecretKey(CKK_AES).Flag(CKA_TOKEN, true).Flag(CKA_PRIVATE, false).ULong(CKA_VALUE_LEN, 16);
    CK_MECHANISM pairGen = Mech(rsa.mechanism), aesGen = Mech(CKM_AES_KEY_GEN);
    CK_OBJECT_HANDLE pub = 0, prv = 0, key = 0;
    sim_->Control("stats-reset");
    EXPECT_EQ(C_GenerateKeyPair(h, &pairGen, pubT.data(), pubT.size(), prvT.data(), prvT.size(), &pub, &prv),
              CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(C_GenerateKey(h, &aesGen, aes.data(), aes.size(), &key), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(Apdus("apdus"), 0);
    EXPECT_TRUE(Instance(sim_->Socket()).Keys().empty());
    // Session keys need no login.
    KeyTemplate sessionAes = SecretKey(CKK_AES).Flag(CKA_TOKEN, false).Flag(CKA_PRIVATE, false).ULong(CKA_VALUE_LEN, 16);
    EXPECT_EQ(C_GenerateKey(h, &aesGen, sessionAes.data(), sessionAes.size(), &key), CKR_OK);
}

// ---------------------------------------------------------------- random

TEST_F(KeyCalls, RandomBytesInAsFewCommandsAsTheTokenAllows) {
    CK_SESSION_HANDLE h = Open(false);  // no login needed
    struct {
        CK_ULONG length;
        int commands;  // the token answers at most 16 bytes a command
    } const cases[] = {{1, 1}, {16, 1}, {24, 2}, {32, 2}, {1000, 63}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Bytes first(c.length + 1, 0xEE), second(c.length + 1, 0xEE);
        sim_->Control("stats-reset");
        ASSERT_EQ(C_GenerateRandom(h, first.data(), c.length), CKR_OK);
        EXPECT_EQ(Apdus("ins_84"), c.commands);
        EXPECT_EQ(Apdus("apdus"), c.commands);
        EXPECT_EQ(first[c.length], 0xEE) << "written past the length";
        ASSERT_EQ(C_GenerateRandom(h, second.data(), c.length), CKR_OK);
        if (c.length >= 16) {
            EXPECT_NE(first, second);
        }
    }
    sim_->Control("stats-reset");
    EXPECT_EQ(C_GenerateRandom(h, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_GenerateRandom(h, nullptr, 8), CKR_ARGUMENTS_BAD);
    uint8_t byte = 0;
    EXPECT_EQ(C_GenerateRandom(h, &byte, CK_ULONG(1) << 32), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateRandom(h + 100, &byte, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(Apdus("apdus"), 0);
    EXPECT_EQ(C_SeedRandom(h, &byte, 1), CKR_RANDOM_SEED_NOT_SUPPORTED);
}

}  // namespace
