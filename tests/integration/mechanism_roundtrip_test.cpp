// Every mechanism the module lists or registers, run through the PKCS#11
// calls against the virtual token with session keys and token keys, each
// result checked with OpenSSL (or, where OpenSSL 3 has no MD2, with the
// published MD2 vectors). One row per mechanism; a mechanism without a row
// fails the coverage test.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "alg_factory.h"
#include "disk_mirror.h"
#include "hard_registration.h"
#include "host_socket_bridge.h"
#include "key_template.h"
#include "openssl_check.h"
#include "pkcs11.h"
#include "sim_process.h"

using namespace testing_kv;

namespace {

enum Op : unsigned {
    kDigest = 1 << 0,
    kCipher = 1 << 1,   // encrypt and decrypt with a secret key
    kMac = 1 << 2,      // HMAC sign and verify
    kRsaSign = 1 << 3,  // sign and verify with an RSA key
    kRsaCrypt = 1 << 4,
    kRecover = 1 << 5,  // verify with recovery
    kWrap = 1 << 6,     // wrap and unwrap a secret key
    kEcdsa = 1 << 7,
    kGenerate = 1 << 8,
    kGeneratePair = 1 << 9,
    kDerive = 1 << 10,  // DH key pair generation and derivation
    kImport = 1 << 11,  // token keys made from templates
};

struct Row {
    CK_MECHANISM_TYPE type;
    unsigned ops;
    const char* reference = nullptr;  // OpenSSL's digest or cipher name
    CK_KEY_TYPE keyType = 0;          // of the secret key used or made
    size_t keyLen = 0, ivLen = 0;     // bytes
    CK_MECHANISM_TYPE use = 0;        // key generation: the mechanism the key serves
};

const Row kRows[] = {
    {CKM_MD2, kDigest, "MD2"},
    {CKM_MD5, kDigest, "MD5"},
    {CKM_SHA_1, kDigest, "SHA1"},
    {CKM_SHA224, kDigest, "SHA224"},
    {CKM_SHA256, kDigest, "SHA256"},
    {CKM_SHA384, kDigest, "SHA384"},
    {CKM_SHA512, kDigest, "SHA512"},
    {CKM_DES_ECB, kCipher, "DES-ECB", CKK_DES, 8, 0},
    {CKM_DES_CBC, kCipher, "DES-CBC", CKK_DES, 8, 8},
    {CKM_DES_CBC_PAD, kCipher, "DES-CBC", CKK_DES, 8, 8},
    {CKM_DES3_ECB, kCipher, "DES-EDE3-ECB", CKK_DES3, 24, 0},
    {CKM_DES3_CBC, kCipher, "DES-EDE3-CBC", CKK_DES3, 24, 8},
    {CKM_DES3_CBC_PAD, kCipher, "DES-EDE3-CBC", CKK_DES3, 24, 8},
    {CKM_AES_ECB, kCipher, "AES-128-ECB", CKK_AES, 16, 0},
    {CKM_AES_CBC, kCipher, "AES-128-CBC", CKK_AES, 16, 16},
    {CKM_AES_CBC_PAD, kCipher, "AES-128-CBC", CKK_AES, 16, 16},
    {CKM_RC2_ECB, kCipher, "RC2-ECB", CKK_RC2, 16, 0},
    {CKM_RC2_CBC, kCipher, "RC2-CBC", CKK_RC2, 16, 8},
    {CKM_RC2_CBC_PAD, kCipher, "RC2-CBC", CKK_RC2, 16, 8},
    {CKM_RC4, kCipher, "RC4", CKK_RC4, 16, 0},
    {CKM_MD2_HMAC, kMac, "MD2", CKK_GENERIC_SECRET, 20},
    {CKM_MD5_HMAC, kMac, "MD5", CKK_GENERIC_SECRET, 20},
    {CKM_SHA_1_HMAC, kMac, "SHA1", CKK_GENERIC_SECRET, 20},
    {CKM_SHA224_HMAC, kMac, "SHA224", CKK_GENERIC_SECRET, 20},
    {CKM_SHA256_HMAC, kMac, "SHA256", CKK_GENERIC_SECRET, 100},  // longer than the block: hashed first
    {CKM_SHA384_HMAC, kMac, "SHA384", CKK_GENERIC_SECRET, 20},
    {CKM_SHA512_HMAC, kMac, "SHA512", CKK_GENERIC_SECRET, 20},
    {CKM_DES_KEY_GEN, kGenerate, nullptr, CKK_DES, 0, 0, CKM_DES_ECB},
    {CKM_DES3_KEY_GEN, kGenerate, nullptr, CKK_DES3, 0, 0, CKM_DES3_CBC},
    {CKM_AES_KEY_GEN, kGenerate, nullptr, CKK_AES, 16, 0, CKM_AES_CBC_PAD},
    {CKM_RC2_KEY_GEN, kGenerate, nullptr, CKK_RC2, 16, 0, CKM_RC2_ECB},
    {CKM_RC4_KEY_GEN, kGenerate, nullptr, CKK_RC4, 16, 0, CKM_RC4},
    {CKM_GENERIC_SECRET_KEY_GEN, kGenerate, nullptr, CKK_GENERIC_SECRET, 20, 0, CKM_SHA_1_HMAC},
    {CKM_RSA_PKCS, kRsaSign | kRsaCrypt | kRecover | kWrap},
    {CKM_RSA_X_509, kRsaSign | kRsaCrypt | kWrap},
    {CKM_MD2_RSA_PKCS, kRsaSign, "MD2"},
    {CKM_MD5_RSA_PKCS, kRsaSign, "MD5"},
    {CKM_SHA1_RSA_PKCS, kRsaSign, "SHA1"},
    {CKM_SHA224_RSA_PKCS, kRsaSign, "SHA224"},
    {CKM_SHA256_RSA_PKCS, kRsaSign, "SHA256"},
    {CKM_SHA384_RSA_PKCS, kRsaSign, "SHA384"},
    {CKM_SHA512_RSA_PKCS, kRsaSign, "SHA512"},
    {CKM_ECDSA, kEcdsa},
    {CKM_ECDSA_SHA1, kEcdsa, "SHA1"},
    {CKM_RSA_PKCS_KEY_PAIR_GEN, kGeneratePair},
    {CKM_EC_KEY_PAIR_GEN, kGeneratePair},
    {CKM_DH_PKCS_KEY_PAIR_GEN, kDerive},
    {CKM_DH_PKCS_DERIVE, kDerive},
    {CKM_VENDOR_IMPORT_KEY, kImport},
};

const Row& RowOf(CK_MECHANISM_TYPE type) {
    for (const Row& r : kRows) {
        if (r.type == type) return r;
    }
    ADD_FAILURE() << "no row for " << std::hex << type;
    return kRows[0];
}

const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};  // prime256v1 OID

// RFC 1319, A.5: MD2("abc").
const Bytes kMd2Abc = {0xda, 0x85, 0x3b, 0x0d, 0x3f, 0x88, 0xd9, 0x9b,
                       0x30, 0x28, 0x3a, 0x69, 0xe6, 0xde, 0xd6, 0xbb};
const Bytes kAbc = {'a', 'b', 'c'};

// RFC 8017, 9.2 note 1: the DER DigestInfo of each hash before its value.
Bytes DigestInfoPrefix(const std::string& hash) {
    const Bytes sha2 = {0x30, 0x00, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                        0x65, 0x03, 0x04, 0x02, 0x00, 0x05, 0x00, 0x04, 0x00};
    const struct {
        const char* name;
        Bytes prefix;
    } md[] = {
        {"MD2", {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04,
                 0x10}},
        {"MD5", {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04,
                 0x10}},
        {"SHA1", {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
    };
    for (const auto& m : md) {
        if (hash == m.name) return m.prefix;
    }
    // SHA-2: 2.16.840.1.101.3.4.2.n with n = 4 (224), 1 (256), 2 (384), 3 (512).
    const struct {
        const char* name;
        uint8_t n, len;
    } sha[] = {{"SHA224", 4, 28}, {"SHA256", 1, 32}, {"SHA384", 2, 48}, {"SHA512", 3, 64}};
    for (const auto& s : sha) {
        if (hash != s.name) continue;
        Bytes p = sha2;
        p[1] = static_cast<uint8_t>(0x11 + s.len);
        p[14] = s.n;
        p[18] = s.len;
        return p;
    }
    ADD_FAILURE() << hash;
    return {};
}

// The message each hash is checked on: "abc" for MD2, whose reference is
// the published value.
Bytes MessageFor(const std::string& hash) { return hash == "MD2" ? kAbc : Message(300); }

Bytes ReferenceHash(const std::string& hash, const Bytes& message) {
    if (hash == "MD2") {
        EXPECT_EQ(message, kAbc);
        return kMd2Abc;
    }
    EVP_MD* md = EVP_MD_fetch(nullptr, hash.c_str(), nullptr);
    EXPECT_NE(md, nullptr) << hash;
    const Bytes out = md ? Digest(md, message) : Bytes();
    EVP_MD_free(md);
    return out;
}

Bytes Flip(Bytes b) {
    b[b.size() / 2] ^= 0x01;
    return b;
}

// One output call the PKCS#11 way: the length asked first, then the bytes.
Bytes Output(const std::function<CK_RV(CK_BYTE_PTR, CK_ULONG_PTR)>& call) {
    CK_ULONG n = 0;
    EXPECT_EQ(call(nullptr, &n), CKR_OK);
    Bytes out(std::max<CK_ULONG>(n, 1));
    EXPECT_EQ(call(out.data(), &n), CKR_OK);
    out.resize(n);
    return out;
}

bool Padded(const Row& row) {
    return row.type == CKM_DES_CBC_PAD || row.type == CKM_DES3_CBC_PAD || row.type == CKM_AES_CBC_PAD ||
           row.type == CKM_RC2_CBC_PAD;
}

// OpenSSL's transformation of a whole message with a symmetric cipher.
Bytes OpenSslCipher(const Row& row, const Bytes& key, const Bytes& iv, bool encrypt, const Bytes& in) {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, row.reference, nullptr);
    EXPECT_NE(cipher, nullptr) << row.reference;
    if (!cipher) return {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n = 0, last = 0;
    EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, encrypt);
    EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size()));
    if (row.keyType == CKK_RC2) EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, 128, nullptr);
    EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), encrypt);
    EVP_CIPHER_CTX_set_padding(ctx, Padded(row));
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &last);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    out.resize(static_cast<size_t>(n + last));
    return out;
}

// HMAC as RFC 2104 builds it from a hash; MD2's hash is the module's digest
// (itself checked against the published vectors), the others OpenSSL's.
Bytes ReferenceHmac(const std::string& hash, const Bytes& key, const Bytes& message,
                    const std::function<Bytes(const Bytes&)>& moduleMd2) {
    if (hash != "MD2") {
        Bytes out(EVP_MAX_MD_SIZE);
        unsigned int len = 0;
        EVP_MD* md = EVP_MD_fetch(nullptr, hash.c_str(), nullptr);
        HMAC(md, key.data(), static_cast<int>(key.size()), message.data(), message.size(), out.data(), &len);
        EVP_MD_free(md);
        out.resize(len);
        return out;
    }
    constexpr size_t kBlock = 16;  // MD2's block
    Bytes k = key.size() > kBlock ? moduleMd2(key) : key;
    k.resize(kBlock, 0);
    Bytes inner(kBlock), outer(kBlock);
    for (size_t i = 0; i < kBlock; ++i) {
        inner[i] = k[i] ^ 0x36;
        outer[i] = k[i] ^ 0x5c;
    }
    inner.insert(inner.end(), message.begin(), message.end());
    const Bytes innerHash = moduleMd2(inner);
    outer.insert(outer.end(), innerHash.begin(), innerHash.end());
    return moduleMd2(outer);
}

// An OpenSSL public- or private-key operation with a padding.
Bytes OpenSslPkey(EVP_PKEY* key, int padding, const Bytes& in,
                  int (*init)(EVP_PKEY_CTX*),
                  int (*run)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t)) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t len = 0;
    Bytes out;
    if (init(ctx) == 1 && (padding < 0 || EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1) &&
        run(ctx, nullptr, &len, in.data(), in.size()) == 1) {
        out.resize(len);
        if (run(ctx, out.data(), &len, in.data(), in.size()) == 1) {
            out.resize(len);
        } else {
            out.clear();
        }
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

// r ‖ s of an OpenSSL ECDSA signature over a hash.
Bytes OpenSslEcdsa(EVP_PKEY* key, const Bytes& hash) {
    const Bytes der = OpenSslPkey(key, -1, hash, EVP_PKEY_sign_init, EVP_PKEY_sign);
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    Bytes rs(64);
    if (sig) {
        BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + 32, 32);
        ECDSA_SIG_free(sig);
    }
    return rs;
}

// Keys made once per run: an OpenSSL RSA key and P-256 key, their public
// halves as session and token objects, their private halves as token
// objects; all token objects are destroyed at the end.
class MechanismRoundTrip : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sim = new SimProcess();
        HostSocketBridge::Instance().SetSocketPath(sim->Socket());
        DiskMirror::SetBase(sim->Dir() + "/mirror");
        legacy = OSSL_PROVIDER_load(nullptr, "legacy");  // DES, RC2 and RC4 of the reference
        standard = OSSL_PROVIDER_load(nullptr, "default");
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        CK_SLOT_ID id;
        CK_ULONG n = 1;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, &id, &n), CKR_OK);
        ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
        const char pin[] = "12345678";
        ASSERT_EQ(C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), 8), CKR_OK);

        rsa = EVP_RSA_gen(1024);
        const Bytes nBytes = BnParam(rsa, OSSL_PKEY_PARAM_RSA_N), e = BnParam(rsa, OSSL_PKEY_PARAM_RSA_E);
        KeyTemplate rsaPublic = KeyTemplate()
                                    .ULong(CKA_CLASS, CKO_PUBLIC_KEY)
                                    .ULong(CKA_KEY_TYPE, CKK_RSA)
                                    .Raw(CKA_MODULUS, nBytes)
                                    .Raw(CKA_PUBLIC_EXPONENT, e);
        for (bool onToken : {false, true}) rsaPub[onToken] = Create(rsaPublic, onToken);
        KeyTemplate rsaPrivate = KeyTemplate()
                                     .ULong(CKA_CLASS, CKO_PRIVATE_KEY)
                                     .ULong(CKA_KEY_TYPE, CKK_RSA)
                                     .Raw(CKA_MODULUS, nBytes)
                                     .Raw(CKA_PUBLIC_EXPONENT, e)
                                     .Raw(CKA_PRIVATE_EXPONENT, BnParam(rsa, OSSL_PKEY_PARAM_RSA_D));
        rsaPrv[true] = Create(rsaPrivate, true);
        // The session key carries the CRT parts too, as a key translated
        // from an application's software key does.
        const struct {
            CK_ATTRIBUTE_TYPE type;
            const char* name;
        } crt[] = {{CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},         {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2},
                   {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},    {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2},
                   {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
        for (const auto& part : crt) rsaPrivate.Raw(part.type, BnParam(rsa, part.name));
        rsaPrv[false] = Create(rsaPrivate, false);

        ec = EVP_EC_gen("P-256");
        Bytes point(65), scalar(32);
        size_t pointLen = 0;
        EVP_PKEY_get_octet_string_param(ec, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &pointLen);
        BIGNUM* priv = nullptr;
        EVP_PKEY_get_bn_param(ec, OSSL_PKEY_PARAM_PRIV_KEY, &priv);
        BN_bn2binpad(priv, scalar.data(), 32);
        BN_clear_free(priv);
        auto ecKey = [](CK_OBJECT_CLASS cls) {
            return KeyTemplate().ULong(CKA_CLASS, cls).ULong(CKA_KEY_TYPE, CKK_EC).Raw(CKA_EC_PARAMS, kP256);
        };
        for (bool onToken : {false, true}) ecPub[onToken] = Create(ecKey(CKO_PUBLIC_KEY).Raw(CKA_EC_POINT, point), onToken);
        ecPrv = Create(ecKey(CKO_PRIVATE_KEY).Raw(CKA_VALUE, scalar), true);
    }
    static void TearDownTestSuite() {
        for (CK_OBJECT_HANDLE k : tokenKeys) EXPECT_EQ(C_DestroyObject(h, k), CKR_OK);
        tokenKeys.clear();
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
        EVP_PKEY_free(rsa);
        EVP_PKEY_free(ec);
        OSSL_PROVIDER_unload(legacy);
        OSSL_PROVIDER_unload(standard);
        delete sim;
        sim = nullptr;
    }

    // A key object from a template, with every usage allowed.
    static CK_OBJECT_HANDLE Create(KeyTemplate t, bool onToken) {
        t.Flag(CKA_TOKEN, onToken);
        const std::vector<CK_ATTRIBUTE> a = Usage(t).Attributes();
        CK_OBJECT_HANDLE obj = 0;
        EXPECT_EQ(C_CreateObject(h, const_cast<CK_ATTRIBUTE*>(a.data()), a.size(), &obj), CKR_OK);
        if (onToken && obj) tokenKeys.push_back(obj);
        return obj;
    }
    static KeyTemplate& Usage(KeyTemplate& t) {
        for (CK_ATTRIBUTE_TYPE use : {CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_WRAP, CKA_UNWRAP, CKA_DERIVE})
            t.Flag(use, true);
        return t;
    }
    // A key (one template) or key pair (public, private) made by the module.
    static std::vector<CK_OBJECT_HANDLE> Generate(CK_MECHANISM_TYPE type, std::vector<KeyTemplate> templates,
                                                  bool onToken) {
        std::vector<std::vector<CK_ATTRIBUTE>> a;
        for (KeyTemplate& t : templates) a.push_back(Usage(t.Flag(CKA_TOKEN, onToken)).Attributes());
        CK_MECHANISM m{type, nullptr, 0};
        std::vector<CK_OBJECT_HANDLE> keys(a.size());
        const CK_RV rv = a.size() == 2 ? C_GenerateKeyPair(h, &m, a[0].data(), a[0].size(), a[1].data(),
                                                           a[1].size(), &keys[0], &keys[1])
                                       : C_GenerateKey(h, &m, a[0].data(), a[0].size(), &keys[0]);
        EXPECT_EQ(rv, CKR_OK) << std::hex << type;
        if (rv == CKR_OK && onToken) tokenKeys.insert(tokenKeys.end(), keys.begin(), keys.end());
        return keys;
    }
    static Bytes Attr(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        EXPECT_EQ(C_GetAttributeValue(h, obj, &a, 1), CKR_OK) << std::hex << type;
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(C_GetAttributeValue(h, obj, &a, 1), CKR_OK) << std::hex << type;
        return value;
    }

    static Bytes ModuleDigest(CK_MECHANISM_TYPE type, Bytes data) {
        CK_MECHANISM m{type, nullptr, 0};
        EXPECT_EQ(C_DigestInit(h, &m), CKR_OK);
        return Output([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_Digest(h, data.data(), data.size(), o, n); });
    }
    static Bytes Sign(CK_MECHANISM m, CK_OBJECT_HANDLE key, Bytes data) {
        EXPECT_EQ(C_SignInit(h, &m, key), CKR_OK);
        return Output([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_Sign(h, data.data(), data.size(), o, n); });
    }
    static CK_RV Verify(CK_MECHANISM m, CK_OBJECT_HANDLE key, Bytes data, Bytes signature) {
        const CK_RV rv = C_VerifyInit(h, &m, key);
        return rv ? rv : C_Verify(h, data.data(), data.size(), signature.data(), signature.size());
    }
    static Bytes Crypt(bool encrypt, CK_MECHANISM m, CK_OBJECT_HANDLE key, Bytes in) {
        EXPECT_EQ((encrypt ? C_EncryptInit : C_DecryptInit)(h, &m, key), CKR_OK);
        return Output([&](CK_BYTE_PTR o, CK_ULONG_PTR n) {
            return (encrypt ? C_Encrypt : C_Decrypt)(h, in.data(), in.size(), o, n);
        });
    }

    // A cipher row with a key whose value is known: the module's encryption
    // equals OpenSSL's, and the module decrypts it back.
    static void CheckCipher(const Row& row, CK_OBJECT_HANDLE key, const Bytes& value) {
        const Bytes iv = Message(row.ivLen);
        Bytes param = iv;
        if (row.type == CKM_RC2_ECB) {
            CK_RC2_PARAMS bits = 128;
            param.assign(reinterpret_cast<uint8_t*>(&bits), reinterpret_cast<uint8_t*>(&bits) + sizeof bits);
        } else if (row.keyType == CKK_RC2) {
            CK_RC2_CBC_PARAMS rc2{128, {}};
            std::memcpy(rc2.iv, iv.data(), 8);
            param.assign(reinterpret_cast<uint8_t*>(&rc2), reinterpret_cast<uint8_t*>(&rc2) + sizeof rc2);
        }
        // Block modes without padding take whole blocks; the rest any length.
        const Bytes plain = Message(Padded(row) || row.keyType == CKK_RC4 ? 83 : 64);
        const Bytes expected = OpenSslCipher(row, value, iv, true, plain);
        ASSERT_FALSE(expected.empty());
        CK_MECHANISM m{row.type, param.empty() ? nullptr : param.data(), param.size()};
        EXPECT_EQ(Crypt(true, m, key, plain), expected);
        EXPECT_EQ(Crypt(false, m, key, expected), plain);
    }
    // An HMAC row: the module's MAC equals the reference, the module accepts
    // it and refuses it changed.
    static void CheckMac(const Row& row, CK_OBJECT_HANDLE key, const Bytes& value) {
        const Bytes data = Message(200);
        const Bytes expected = ReferenceHmac(row.reference, value, data,
                                             [](const Bytes& in) { return ModuleDigest(CKM_MD2, in); });
        CK_MECHANISM m{row.type, nullptr, 0};
        EXPECT_EQ(Sign(m, key, data), expected);
        EXPECT_EQ(Verify(m, key, data, expected), CKR_OK);
        EXPECT_NE(Verify(m, key, data, Flip(expected)), CKR_OK);
    }
    static void CheckSecret(const Row& row, CK_OBJECT_HANDLE key, const Bytes& value) {
        if (row.ops & kCipher) {
            CheckCipher(row, key, value);
        } else {
            CheckMac(row, key, value);
        }
    }
    static void CheckEcdsa(const Row& row, CK_OBJECT_HANDLE prv, EVP_PKEY* pub) {
        const Bytes message = Message(200);
        const bool hashes = row.reference != nullptr;
        const Bytes hash = ReferenceHash(hashes ? row.reference : "SHA256", message);
        const Bytes sig = Sign(CK_MECHANISM{row.type, nullptr, 0}, prv, hashes ? message : hash);
        EXPECT_EQ(sig.size(), 64u);
        EXPECT_TRUE(VerifyEcdsa(pub, hash, sig));
    }

    static SimProcess* sim;
    static OSSL_PROVIDER* legacy;
    static OSSL_PROVIDER* standard;
    static CK_SESSION_HANDLE h;
    static EVP_PKEY* rsa;
    static EVP_PKEY* ec;
    static CK_OBJECT_HANDLE rsaPub[2], rsaPrv[2], ecPub[2], ecPrv;  // [onToken]
    static std::vector<CK_OBJECT_HANDLE> tokenKeys;
};

SimProcess* MechanismRoundTrip::sim = nullptr;
OSSL_PROVIDER* MechanismRoundTrip::legacy = nullptr;
OSSL_PROVIDER* MechanismRoundTrip::standard = nullptr;
CK_SESSION_HANDLE MechanismRoundTrip::h = 0;
EVP_PKEY* MechanismRoundTrip::rsa = nullptr;
EVP_PKEY* MechanismRoundTrip::ec = nullptr;
CK_OBJECT_HANDLE MechanismRoundTrip::rsaPub[2] = {}, MechanismRoundTrip::rsaPrv[2] = {};
CK_OBJECT_HANDLE MechanismRoundTrip::ecPub[2] = {}, MechanismRoundTrip::ecPrv = 0;
std::vector<CK_OBJECT_HANDLE> MechanismRoundTrip::tokenKeys;

// The token registry as a token's factory holds it.
struct RegistryProbe : AlgFactory {
    std::set<AlgKey> Keys() {
        RegHardAlg(*this);
        std::set<AlgKey> keys;
        for (const auto& entry : hardCreators_) keys.insert(entry.first);
        return keys;
    }
    std::set<CK_MECHANISM_TYPE> Hard() {
        std::set<CK_MECHANISM_TYPE> types;
        for (const AlgKey& key : Keys()) types.insert(key.first);
        return types;
    }
};

std::vector<const Row*> RowsWith(unsigned op) {
    std::vector<const Row*> rows;
    for (const Row& r : kRows) {
        if (r.ops & op) rows.push_back(&r);
    }
    EXPECT_FALSE(rows.empty());
    return rows;
}

TEST_F(MechanismRoundTrip, EveryListedOrRegisteredMechanismHasARow) {
    CK_ULONG n = 0;
    ASSERT_EQ(C_GetMechanismList(1, nullptr, &n), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> listed(n);
    ASSERT_EQ(C_GetMechanismList(1, listed.data(), &n), CKR_OK);
    std::set<CK_MECHANISM_TYPE> all(listed.begin(), listed.end());
    for (const auto& entry : AlgFactory::GetSoftCreators()) all.insert(entry.first.first);
    for (CK_MECHANISM_TYPE type : RegistryProbe().Hard()) all.insert(type);
    std::set<CK_MECHANISM_TYPE> rows;
    for (const Row& r : kRows) rows.insert(r.type);
    for (CK_MECHANISM_TYPE type : all) EXPECT_EQ(rows.count(type), 1u) << "no row for mechanism 0x" << std::hex << type;
    for (CK_MECHANISM_TYPE type : rows) EXPECT_EQ(all.count(type), 1u) << "row for an unknown mechanism 0x" << std::hex << type;
}

// What C_GetMechanismInfo claims for recovery has a class behind it: a
// claimed flag whose init answers CKR_MECHANISM_INVALID tells a client a lie.
TEST_F(MechanismRoundTrip, ClaimedRecoveryHasAClass) {
    CK_ULONG n = 0;
    ASSERT_EQ(C_GetMechanismList(1, nullptr, &n), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> listed(n);
    ASSERT_EQ(C_GetMechanismList(1, listed.data(), &n), CKR_OK);
    std::set<AlgKey> classes;
    for (const auto& entry : AlgFactory::GetSoftCreators()) classes.insert(entry.first);
    for (const AlgKey& key : RegistryProbe().Keys()) classes.insert(key);
    const struct {
        CK_FLAGS flag;
        int32_t function;
    } kinds[] = {{CKF_SIGN_RECOVER, MECH_FUNC_SIGN_RECOVER}, {CKF_VERIFY_RECOVER, MECH_FUNC_VERIFY_RECOVER}};
    for (CK_MECHANISM_TYPE type : listed) {
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(C_GetMechanismInfo(1, type, &info), CKR_OK);
        for (const auto& k : kinds) {
            if (info.flags & k.flag) {
                EXPECT_EQ(classes.count({type, k.function}), 1u) << "0x" << std::hex << type << " claims 0x" << k.flag;
            }
        }
    }
}

TEST_F(MechanismRoundTrip, DigestsMatchTheReference) {
    for (const Row* row : RowsWith(kDigest)) {
        const Bytes message = MessageFor(row->reference);
        EXPECT_EQ(ModuleDigest(row->type, message), ReferenceHash(row->reference, message)) << row->reference;
    }
}

TEST_F(MechanismRoundTrip, SecretKeyMechanismsMatchTheReferenceWithSessionAndTokenKeys) {
    for (const Row* row : RowsWith(kCipher | kMac)) {
        for (bool onToken : {false, true}) {
            SCOPED_TRACE(std::string(row->reference) + (onToken ? " token key" : " session key"));
            const Bytes value = Message(row->keyLen);
            CheckSecret(*row, Create(SecretKey(row->keyType).Raw(CKA_VALUE, value), onToken), value);
        }
    }
}

TEST_F(MechanismRoundTrip, GeneratedSecretKeysWorkAsOpenSslExpects) {
    for (const Row* row : RowsWith(kGenerate)) {
        for (bool onToken : {false, true}) {
            SCOPED_TRACE(std::to_string(row->type) + (onToken ? " token key" : " session key"));
            KeyTemplate t = SecretKey(row->keyType);
            if (row->keyLen) t.ULong(CKA_VALUE_LEN, row->keyLen);
            const CK_OBJECT_HANDLE key = Generate(row->type, {t}, onToken)[0];
            const Bytes value = Attr(key, CKA_VALUE);
            CheckSecret(RowOf(row->use), key, value);
        }
    }
}

// Signatures of the session key (made in the library) and of the imported
// token key open under OpenSSL to the expected block; OpenSSL's signatures
// verify with the session and token public keys.
TEST_F(MechanismRoundTrip, RsaSignaturesMatchOpenSsl) {
    for (const Row* row : RowsWith(kRsaSign)) {
        SCOPED_TRACE(row->type);
        const bool x509 = row->type == CKM_RSA_X_509;
        const int padding = x509 ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
        Bytes message = row->reference ? MessageFor(row->reference) : Message(x509 ? 128 : 45);
        if (x509) message[0] = 0;  // below the modulus
        Bytes content = message;
        if (row->reference) {
            content = DigestInfoPrefix(row->reference);
            const Bytes hash = ReferenceHash(row->reference, message);
            content.insert(content.end(), hash.begin(), hash.end());
        }
        CK_MECHANISM m{row->type, nullptr, 0};
        for (CK_OBJECT_HANDLE prv : rsaPrv) {
            const Bytes sig = Sign(m, prv, message);
            EXPECT_EQ(OpenSslPkey(rsa, padding, sig, EVP_PKEY_verify_recover_init, EVP_PKEY_verify_recover), content)
                << (prv == rsaPrv[0] ? "session key" : "token key");
        }
        const Bytes theirs = OpenSslPkey(rsa, padding, content, EVP_PKEY_sign_init, EVP_PKEY_sign);
        for (CK_OBJECT_HANDLE pub : rsaPub) {
            EXPECT_EQ(Verify(m, pub, message, theirs), CKR_OK);
            EXPECT_NE(Verify(m, pub, message, Flip(theirs)), CKR_OK);
        }
    }
}

TEST_F(MechanismRoundTrip, RsaEncryptionOpensOnTheOtherSide) {
    for (const Row* row : RowsWith(kRsaCrypt)) {
        SCOPED_TRACE(row->type);
        const bool x509 = row->type == CKM_RSA_X_509;
        const int padding = x509 ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
        // Raw RSA takes less than the modulus's length, right-aligned in a
        // block of it, and its decryption drops the block's leading zeros.
        const Bytes plain = Message(x509 ? 127 : 45);
        Bytes block = plain;
        if (x509) block.insert(block.begin(), 0);
        CK_MECHANISM m{row->type, nullptr, 0};
        for (CK_OBJECT_HANDLE pub : rsaPub) {
            const Bytes sealed = Crypt(true, m, pub, plain);
            EXPECT_EQ(OpenSslPkey(rsa, padding, sealed, EVP_PKEY_decrypt_init, EVP_PKEY_decrypt), block);
        }
        const Bytes theirs = OpenSslPkey(rsa, padding, block, EVP_PKEY_encrypt_init, EVP_PKEY_encrypt);
        for (CK_OBJECT_HANDLE prv : rsaPrv) EXPECT_EQ(Crypt(false, m, prv, theirs), plain);
    }
}

TEST_F(MechanismRoundTrip, VerifyRecoverGivesBackWhatOpenSslSigned) {
    for (const Row* row : RowsWith(kRecover)) {
        const Bytes data = Message(45);
        Bytes sig = OpenSslPkey(rsa, RSA_PKCS1_PADDING, data, EVP_PKEY_sign_init, EVP_PKEY_sign);
        CK_MECHANISM m{row->type, nullptr, 0};
        for (CK_OBJECT_HANDLE pub : rsaPub) {
            ASSERT_EQ(C_VerifyRecoverInit(h, &m, pub), CKR_OK);
            EXPECT_EQ(Output([&](CK_BYTE_PTR o, CK_ULONG_PTR n) {
                          return C_VerifyRecover(h, sig.data(), sig.size(), o, n);
                      }),
                      data);
        }
    }
}

// A session AES key wrapped with each public key opens under OpenSSL; a key
// OpenSSL wraps unwraps with the token's private key to the same value.
TEST_F(MechanismRoundTrip, WrappedKeysOpenOnTheOtherSide) {
    const Bytes value = Message(16);
    const CK_OBJECT_HANDLE aes = Create(SecretKey(CKK_AES).Raw(CKA_VALUE, value).Flag(CKA_EXTRACTABLE, true), false);
    for (const Row* row : RowsWith(kWrap)) {
        SCOPED_TRACE(row->type);
        const bool x509 = row->type == CKM_RSA_X_509;
        const int padding = x509 ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
        CK_MECHANISM m{row->type, nullptr, 0};
        // Raw RSA carries the value at the end of a block of the modulus's length.
        Bytes block = value;
        if (x509) block.insert(block.begin(), 128 - value.size(), 0);
        for (CK_OBJECT_HANDLE pub : rsaPub) {
            const Bytes wrapped = Output(
                [&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_WrapKey(h, &m, pub, aes, o, n); });
            EXPECT_EQ(OpenSslPkey(rsa, padding, wrapped, EVP_PKEY_decrypt_init, EVP_PKEY_decrypt), block);
        }
        Bytes theirs = OpenSslPkey(rsa, padding, block, EVP_PKEY_encrypt_init, EVP_PKEY_encrypt);
        KeyTemplate t = SecretKey(x509 ? CKK_GENERIC_SECRET : CKK_AES).Flag(CKA_EXTRACTABLE, true);
        const std::vector<CK_ATTRIBUTE> a = Usage(t).Attributes();
        CK_OBJECT_HANDLE unwrapped = 0;
        ASSERT_EQ(C_UnwrapKey(h, &m, rsaPrv[true], theirs.data(), theirs.size(), const_cast<CK_ATTRIBUTE*>(a.data()),
                              a.size(), &unwrapped),
                  CKR_OK);
        EXPECT_EQ(Attr(unwrapped, CKA_VALUE), value);  // raw RSA drops the leading zeros
    }
}

TEST_F(MechanismRoundTrip, EcdsaMatchesOpenSslBothWays) {
    for (const Row* row : RowsWith(kEcdsa)) {
        SCOPED_TRACE(row->type);
        CheckEcdsa(*row, ecPrv, ec);
        const Bytes message = Message(200);
        const Bytes hash = ReferenceHash(row->reference ? row->reference : "SHA256", message);
        const Bytes theirs = OpenSslEcdsa(ec, hash);
        for (CK_OBJECT_HANDLE pub : ecPub) {
            CK_MECHANISM m{row->type, nullptr, 0};
            EXPECT_EQ(Verify(m, pub, row->reference ? message : hash, theirs), CKR_OK);
            EXPECT_NE(Verify(m, pub, row->reference ? message : hash, Flip(theirs)), CKR_OK);
        }
    }
}

// Pairs made on the token, and RSA pairs of session keys made in the
// library, sign as OpenSSL expects with their public halves; a session
// pair's private half also decrypts what OpenSSL encrypted to it.
TEST_F(MechanismRoundTrip, GeneratedKeyPairsSignAsOpenSslExpects) {
    for (const Row* row : RowsWith(kGeneratePair)) {
        SCOPED_TRACE(row->type);
        if (row->type == CKM_RSA_PKCS_KEY_PAIR_GEN) {
            for (bool onToken : {false, true}) {
                SCOPED_TRACE(onToken ? "token pair" : "session pair");
                KeyTemplate pub = KeyTemplate().ULong(CKA_CLASS, CKO_PUBLIC_KEY).ULong(CKA_KEY_TYPE, CKK_RSA);
                KeyTemplate prv = KeyTemplate().ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_RSA);
                const auto pair = Generate(row->type, {pub.ULong(CKA_MODULUS_BITS, 1024), prv}, onToken);
                PKey key = RsaKey(Attr(pair[0], CKA_MODULUS), Attr(pair[0], CKA_PUBLIC_EXPONENT));
                ASSERT_TRUE(key);
                EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 1024);
                const Bytes data = Message(300);
                EXPECT_TRUE(VerifyRsa(key.get(), EVP_sha256(), data,
                                      Sign(CK_MECHANISM{CKM_SHA256_RSA_PKCS, nullptr, 0}, pair[1], data)));
                const Bytes plain = Message(45);
                const Bytes theirs = RsaPublicEncrypt(key.get(), RSA_PKCS1_PADDING, plain);
                EXPECT_EQ(Crypt(false, CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0}, pair[1], theirs), plain);
            }
        } else {
            auto half = [](CK_OBJECT_CLASS cls) {
                return KeyTemplate().ULong(CKA_CLASS, cls).ULong(CKA_KEY_TYPE, CKK_EC).Raw(CKA_EC_PARAMS, kP256);
            };
            const auto pair = Generate(row->type, {half(CKO_PUBLIC_KEY), half(CKO_PRIVATE_KEY)}, true);
            const Bytes point = Attr(pair[0], CKA_EC_POINT);  // 04 ‖ x ‖ y, possibly DER-wrapped
            ASSERT_GE(point.size(), 65u);
            const auto x = point.end() - 64, y = point.end() - 32;
            PKey key = EcKey("prime256v1", Bytes(x, y), Bytes(y, point.end()));
            CheckEcdsa(RowOf(CKM_ECDSA), pair[1], key.get());
        }
    }
}

// A DH pair made by the module derives with OpenSSL's public value of the
// same group the secret OpenSSL derives. The pair is a session pair: the
// token registry serves the same software class.
TEST_F(MechanismRoundTrip, DhDerivationAgreesWithOpenSsl) {
    EVP_PKEY_CTX* gen = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    EVP_PKEY* theirs = nullptr;
    ASSERT_EQ(EVP_PKEY_keygen_init(gen), 1);
    OSSL_PARAM group[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("ffdhe2048"), 0),
                          OSSL_PARAM_construct_end()};
    ASSERT_EQ(EVP_PKEY_CTX_set_params(gen, group), 1);
    ASSERT_EQ(EVP_PKEY_generate(gen, &theirs), 1);
    EVP_PKEY_CTX_free(gen);
    PKey own(theirs, EVP_PKEY_free);
    const Bytes p = BnParam(theirs, OSSL_PKEY_PARAM_FFC_P), g = BnParam(theirs, OSSL_PKEY_PARAM_FFC_G);
    Bytes theirPublic = BnParam(theirs, OSSL_PKEY_PARAM_PUB_KEY);
    KeyTemplate pub = KeyTemplate().ULong(CKA_CLASS, CKO_PUBLIC_KEY).ULong(CKA_KEY_TYPE, CKK_DH);
    KeyTemplate prv = KeyTemplate().ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_DH);
    const auto pair = Generate(CKM_DH_PKCS_KEY_PAIR_GEN, {pub.Raw(CKA_PRIME, p).Raw(CKA_BASE, g), prv}, false);
    const Bytes ourPublic = Attr(pair[0], CKA_VALUE);
    CK_MECHANISM m{CKM_DH_PKCS_DERIVE, theirPublic.data(), theirPublic.size()};
    KeyTemplate t = SecretKey(CKK_AES).ULong(CKA_VALUE_LEN, 32).Flag(CKA_EXTRACTABLE, true);
    const std::vector<CK_ATTRIBUTE> a = t.Attributes();
    CK_OBJECT_HANDLE derived = 0;
    ASSERT_EQ(C_DeriveKey(h, &m, pair[1], const_cast<CK_ATTRIBUTE*>(a.data()), a.size(), &derived), CKR_OK);

    BIGNUM* y = BN_bin2bn(ourPublic.data(), static_cast<int>(ourPublic.size()), nullptr);
    PKey peer = PublicKey("DH", [&](OSSL_PARAM_BLD* b) {
        OSSL_PARAM_BLD_push_utf8_string(b, OSSL_PKEY_PARAM_GROUP_NAME, "ffdhe2048", 0);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_PUB_KEY, y);
    });
    BN_free(y);
    ASSERT_TRUE(peer);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(theirs, nullptr);
    size_t len = 256;
    Bytes z(len);
    ASSERT_EQ(EVP_PKEY_derive_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_derive_set_peer(ctx, peer.get()), 1);
    ASSERT_EQ(EVP_PKEY_derive(ctx, z.data(), &len), 1);
    EVP_PKEY_CTX_free(ctx);
    z.resize(len);
    // The derived key is the last 32 bytes of Z.
    EXPECT_EQ(Attr(derived, CKA_VALUE), Bytes(z.end() - 32, z.end()));
}

// Token keys made from templates are imported: they carry a token-side
// reference, and the AES one encrypts on the token as OpenSSL does.
TEST_F(MechanismRoundTrip, ImportedTokenKeysCarryAReferenceAndWork) {
    for (const Row* row : RowsWith(kImport)) {
        SCOPED_TRACE(row->type);
        const Bytes value = Message(16);
        const CK_OBJECT_HANDLE aes = Create(SecretKey(CKK_AES).Raw(CKA_VALUE, value), true);
        for (CK_OBJECT_HANDLE key : {aes, rsaPrv[true], ecPrv, rsaPub[1], ecPub[1]}) {
            const Bytes ref = Attr(key, CKA_VENDOR_KEY_REF);
            EXPECT_NE(std::count(ref.begin(), ref.end(), 0), static_cast<long>(ref.size())) << key;
        }
        CheckCipher(RowOf(CKM_AES_ECB), aes, value);
    }
}

}  // namespace
