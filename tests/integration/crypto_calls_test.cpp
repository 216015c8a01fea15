// The encrypt, decrypt, digest, sign and verify calls through the PKCS#11
// interface against the virtual token: the operation state machine with
// software and token keys alike, and results checked with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "openssl_check.h"
#include "p11_env.h"
#include "pkcs11.h"
#include "session_manager.h"
#include "sim_process.h"
#include "key_template.h"

using namespace testing_kv;

namespace {

const char kUserPin[] = "12345678";
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const Bytes kP192 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x01};

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE type, const char* pin) {
    return C_Login(h, type, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
}

CK_MECHANISM Mech(CK_MECHANISM_TYPE type, Bytes* param = nullptr) {
    return CK_MECHANISM{type, param ? param->data() : nullptr, param ? param->size() : 0};
}

Bytes Flip(Bytes b) {
    b[b.size() / 2] ^= 0x01;
    return b;
}

// RSA PKCS#1 v1.5 over raw data with an OpenSSL private key.
Bytes OpenSslRawSign(EVP_PKEY* key, const Bytes& data) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t len = 0;
    Bytes out;
    if (EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_sign(ctx, nullptr, &len, data.data(), data.size()) == 1) {
        out.resize(len);
        if (EVP_PKEY_sign(ctx, out.data(), &len, data.data(), data.size()) != 1) out.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

// r ‖ s of an OpenSSL ECDSA signature over a hash.
Bytes OpenSslEcdsa(EVP_PKEY* key, const Bytes& hash, size_t width) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t len = 0;
    Bytes der;
    if (EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, nullptr, &len, hash.data(), hash.size()) == 1) {
        der.resize(len);
        EVP_PKEY_sign(ctx, der.data(), &len, hash.data(), hash.size());
        der.resize(len);
    }
    EVP_PKEY_CTX_free(ctx);
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    Bytes rs(2 * width);
    if (sig) {
        BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), static_cast<int>(width));
        BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + width, static_cast<int>(width));
        ECDSA_SIG_free(sig);
    }
    return rs;
}

Bytes OpenSslSign(EVP_PKEY* key, const EVP_MD* md, const Bytes& data) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    Bytes sig;
    if (EVP_DigestSignInit(ctx, nullptr, md, nullptr, key) == 1 &&
        EVP_DigestSign(ctx, nullptr, &len, data.data(), data.size()) == 1) {
        sig.resize(len);
        EVP_DigestSign(ctx, sig.data(), &len, data.data(), data.size());
        sig.resize(len);
    }
    EVP_MD_CTX_free(ctx);
    return sig;
}

// OpenSSL's encryption of a whole message.
Bytes OpenSslCipher(const char* name, const Bytes& key, const Bytes& iv, bool pad, const Bytes& in) {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    EXPECT_NE(cipher, nullptr) << name;
    if (!cipher) return Bytes();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n = 0, fin = 0;
    EVP_EncryptInit_ex(ctx, cipher, nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size()));
    if (std::string(name) == "RC2-CBC") EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, 128, nullptr);
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), iv.empty() ? nullptr : iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &fin);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    out.resize(static_cast<size_t>(n + fin));
    return out;
}

// One output call the PKCS#11 way: the length asked first, then the bytes.
Bytes TwoStep(const std::function<CK_RV(CK_BYTE_PTR, CK_ULONG_PTR)>& call) {
    CK_ULONG n = 0;
    EXPECT_EQ(call(nullptr, &n), CKR_OK);
    Bytes out(std::max<CK_ULONG>(n, 1));  // a real buffer, also for no bytes
    EXPECT_EQ(call(out.data(), &n), CKR_OK);
    out.resize(n);
    return out;
}

KeyTemplate RsaPublic() {
    return KeyTemplate().ULong(CKA_CLASS, CKO_PUBLIC_KEY).ULong(CKA_KEY_TYPE, CKK_RSA);
}
KeyTemplate RsaPrivate() {
    return KeyTemplate().ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_RSA);
}
KeyTemplate EcKeyTemplate(CK_OBJECT_CLASS cls, const Bytes& curve) {
    return KeyTemplate().ULong(CKA_CLASS, cls).ULong(CKA_KEY_TYPE, CKK_EC).Raw(CKA_EC_PARAMS, curve);
}

class CryptoCalls;

// The same cases run with software keys and with token keys: a signing
// key and its verifying key, an RSA pair and an AES key.
struct KeySet {
    const char* name;
    CK_MECHANISM_TYPE signMechanism;
    CK_OBJECT_HANDLE signKey, verifyKey, rsaPub, rsaPrv, aes;
    // A signature of rsaPrv: CKM_RSA_PKCS or CKM_SHA256_RSA_PKCS.
    std::function<Bytes(CryptoCalls&, CK_MECHANISM_TYPE, const Bytes&)> rsaSign;
};

// Keys are made through the calls: session keys in a keeper session that
// stays open through the test, token keys destroyed at its end.
class CryptoCalls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sim = new SimProcess();
        HostSocketBridge::Instance().SetSocketPath(sim->Socket());
        DiskMirror::SetBase(sim->Dir() + "/mirror");
        // Single DES, RC2 and RC4 of the reference live in OpenSSL's legacy provider.
        legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        standard = OSSL_PROVIDER_load(nullptr, "default");
    }
    static void TearDownTestSuite() {
        delete sim;
        sim = nullptr;
        OSSL_PROVIDER_unload(legacy);
        OSSL_PROVIDER_unload(standard);
    }
    void SetUp() override {
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        // Bound once: a new binding reloads the token objects under new handles.
        static const bool bound = [] {
            CK_SLOT_ID id;
            CK_ULONG n = 1;
            return C_GetSlotList(CK_TRUE, &id, &n) == CKR_OK;
        }();
        ASSERT_TRUE(bound);
        ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &keeper), CKR_OK);
        ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
        ASSERT_EQ(Login(h, CKU_USER, kUserPin), CKR_OK);
    }
    void TearDown() override {
        CK_SESSION_INFO info{};
        C_GetSessionInfo(keeper, &info);
        if (info.state == CKS_RW_SO_FUNCTIONS) C_Logout(keeper);
        if (info.state != CKS_RW_USER_FUNCTIONS) {
            EXPECT_EQ(Login(keeper, CKU_USER, kUserPin), CKR_OK);
        }
        for (CK_OBJECT_HANDLE k : tokenKeys_) EXPECT_EQ(C_DestroyObject(keeper, k), CKR_OK);
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
    }

public:
    // A new session for the next case, nothing running; the keeper keeps
    // the login and the session keys.
    void Restart() {
        ASSERT_EQ(C_CloseSession(h), CKR_OK);
        ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
    }

    CK_OBJECT_HANDLE Create(const KeyTemplate& t) {
        const std::vector<CK_ATTRIBUTE> a = t.Attributes();
        CK_OBJECT_HANDLE obj = 0;
        EXPECT_EQ(C_CreateObject(keeper, const_cast<CK_ATTRIBUTE*>(a.data()), a.size(), &obj), CKR_OK);
        return obj;
    }
    // A token key (one template) or key pair (public, private) made by the token.
    std::vector<CK_OBJECT_HANDLE> Generate(CK_MECHANISM_TYPE mechanism, std::vector<KeyTemplate> templates) {
        std::vector<std::vector<CK_ATTRIBUTE>> a;
        for (KeyTemplate& t : templates) a.push_back(t.Flag(CKA_TOKEN, true).Attributes());
        CK_MECHANISM m = Mech(mechanism);
        std::vector<CK_OBJECT_HANDLE> keys(a.size());
        const CK_RV rv = a.size() == 2 ? C_GenerateKeyPair(keeper, &m, a[0].data(), a[0].size(), a[1].data(),
                                                           a[1].size(), &keys[0], &keys[1])
                                       : C_GenerateKey(keeper, &m, a[0].data(), a[0].size(), &keys[0]);
        EXPECT_EQ(rv, CKR_OK) << mechanism;
        if (rv == CKR_OK) tokenKeys_.insert(tokenKeys_.end(), keys.begin(), keys.end());
        return keys;
    }
    std::vector<CK_OBJECT_HANDLE> TokenRsaPair(CK_ULONG bits, bool alwaysAuthenticate = false) {
        return Generate(CKM_RSA_PKCS_KEY_PAIR_GEN, {RsaPublic().ULong(CKA_MODULUS_BITS, bits),
                                                    RsaPrivate().Flag(CKA_ALWAYS_AUTHENTICATE, alwaysAuthenticate)});
    }
    Bytes Attr(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        EXPECT_EQ(C_GetAttributeValue(keeper, obj, &a, 1), CKR_OK) << type;
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(C_GetAttributeValue(keeper, obj, &a, 1), CKR_OK) << type;
        return value;
    }
    PKey OpenSslPublic(CK_OBJECT_HANDLE rsaPub) {
        return RsaKey(Attr(rsaPub, CKA_MODULUS), Attr(rsaPub, CKA_PUBLIC_EXPONENT));
    }
    std::vector<KeySet> KeySets();

    Bytes Sign(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, Bytes data, bool parts = false) {
        CK_MECHANISM m = Mech(mechanism);
        EXPECT_EQ(C_SignInit(h, &m, key), CKR_OK);
        if (!parts) {
            return TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_Sign(h, data.data(), data.size(), o, n); });
        }
        for (size_t at = 0; at < data.size(); at += 100)
            EXPECT_EQ(C_SignUpdate(h, data.data() + at, std::min<size_t>(100, data.size() - at)), CKR_OK);
        return TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_SignFinal(h, o, n); });
    }
    CK_RV Verify(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, Bytes data, Bytes signature, bool parts = false) {
        CK_MECHANISM m = Mech(mechanism);
        CK_RV rv = C_VerifyInit(h, &m, key);
        if (rv) return rv;
        if (!parts) return C_Verify(h, data.data(), data.size(), signature.data(), signature.size());
        for (size_t at = 0; at < data.size(); at += 100) {
            if ((rv = C_VerifyUpdate(h, data.data() + at, std::min<size_t>(100, data.size() - at)))) return rv;
        }
        return C_VerifyFinal(h, signature.data(), signature.size());
    }
    // Encryption or decryption in one part, or in pieces of 7 bytes.
    Bytes Crypt(bool encrypt, CK_MECHANISM m, CK_OBJECT_HANDLE key, const Bytes& in, bool parts) {
        auto init = encrypt ? C_EncryptInit : C_DecryptInit;
        auto single = encrypt ? C_Encrypt : C_Decrypt;
        auto update = encrypt ? C_EncryptUpdate : C_DecryptUpdate;
        auto final = encrypt ? C_EncryptFinal : C_DecryptFinal;
        EXPECT_EQ(init(h, &m, key), CKR_OK);
        Bytes data = in;
        if (!parts) {
            return TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return single(h, data.data(), data.size(), o, n); });
        }
        Bytes out;
        for (size_t at = 0; at < data.size(); at += 7) {
            const CK_ULONG piece = std::min<size_t>(7, data.size() - at);
            Bytes part =
                TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return update(h, data.data() + at, piece, o, n); });
            out.insert(out.end(), part.begin(), part.end());
        }
        Bytes last = TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return final(h, o, n); });
        out.insert(out.end(), last.begin(), last.end());
        return out;
    }

    static SimProcess* sim;
    static OSSL_PROVIDER* legacy;
    static OSSL_PROVIDER* standard;
    CK_SESSION_HANDLE h = 0, keeper = 0;

private:
    std::vector<CK_OBJECT_HANDLE> tokenKeys_;
};

SimProcess* CryptoCalls::sim = nullptr;
OSSL_PROVIDER* CryptoCalls::legacy = nullptr;
OSSL_PROVIDER* CryptoCalls::standard = nullptr;

std::vector<KeySet> CryptoCalls::KeySets() {
    static PKey soft(EVP_RSA_gen(1024), EVP_PKEY_free);
    const Bytes n = BnParam(soft.get(), OSSL_PKEY_PARAM_RSA_N), e = BnParam(soft.get(), OSSL_PKEY_PARAM_RSA_E);
    const Bytes d = BnParam(soft.get(), OSSL_PKEY_PARAM_RSA_D);
    const CK_OBJECT_HANDLE hmac = Create(SecretKey(CKK_GENERIC_SECRET).Raw(CKA_VALUE, Message(32)));
    KeySet session{"session keys", CKM_SHA256_HMAC, hmac, hmac,
                   Create(RsaPublic().Raw(CKA_MODULUS, n).Raw(CKA_PUBLIC_EXPONENT, e)),
                   Create(RsaPrivate().Raw(CKA_MODULUS, n).Raw(CKA_PUBLIC_EXPONENT, e).Raw(CKA_PRIVATE_EXPONENT, d)),
                   Create(SecretKey(CKK_AES).Raw(CKA_VALUE, Message(16))),
                   [](CryptoCalls&, CK_MECHANISM_TYPE m, const Bytes& data) {
                       return m == CKM_RSA_PKCS ? OpenSslRawSign(soft.get(), data)
                                                : OpenSslSign(soft.get(), EVP_sha256(), data);
                   }};
    const std::vector<CK_OBJECT_HANDLE> pair = TokenRsaPair(1024);
    const CK_OBJECT_HANDLE aes = Generate(CKM_AES_KEY_GEN, {SecretKey(CKK_AES).ULong(CKA_VALUE_LEN, 16)})[0];
    KeySet token{"token keys", CKM_SHA256_RSA_PKCS, pair[1], pair[0], pair[0], pair[1], aes,
                 [key = pair[1]](CryptoCalls& t, CK_MECHANISM_TYPE m, const Bytes& data) {
                     return t.Sign(m, key, data);
                 }};
    return {session, token};
}

TEST_F(CryptoCalls, LengthQueriesAndShortBuffersKeepTheOperation) {
    for (const KeySet& k : KeySets()) {
        SCOPED_TRACE(k.name);
        Bytes data = Message(300);
        CK_MECHANISM m = Mech(k.signMechanism);
        ASSERT_EQ(C_SignInit(h, &m, k.signKey), CKR_OK);
        CK_ULONG need = 0;
        ASSERT_EQ(C_Sign(h, data.data(), data.size(), nullptr, &need), CKR_OK);
        Bytes sig(need);
        CK_ULONG len = need - 1;
        EXPECT_EQ(C_Sign(h, data.data(), data.size(), sig.data(), &len), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, need);
        ASSERT_EQ(C_Sign(h, data.data(), data.size(), sig.data(), &len), CKR_OK);
        EXPECT_EQ(C_Sign(h, data.data(), data.size(), sig.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(Verify(k.signMechanism, k.verifyKey, data, sig), CKR_OK);

        // An update's short buffer, and a final's, keep the encryption too.
        Bytes iv(16, 7);
        m = Mech(CKM_AES_CBC_PAD, &iv);
        ASSERT_EQ(C_EncryptInit(h, &m, k.aes), CKR_OK);
        Bytes out(48);
        len = 8;  // 40 bytes give one block now; the last whole one waits for the padding
        EXPECT_EQ(C_EncryptUpdate(h, data.data(), 40, out.data(), &len), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, 16u);
        ASSERT_EQ(C_EncryptUpdate(h, data.data(), 40, out.data(), &len), CKR_OK);
        len = 31;
        EXPECT_EQ(C_EncryptFinal(h, out.data() + 16, &len), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, 32u);
        ASSERT_EQ(C_EncryptFinal(h, out.data() + 16, &len), CKR_OK);
        const Bytes first40(data.begin(), data.begin() + 40);
        EXPECT_EQ(out, OpenSslCipher("AES-128-CBC", Attr(k.aes, CKA_VALUE), iv, true, first40));

        // Verification with recovery answers a length query and goes on.
        const Bytes digest = Message(35);
        Bytes recoverable = k.rsaSign(*this, CKM_RSA_PKCS, digest);
        m = Mech(CKM_RSA_PKCS);
        ASSERT_EQ(C_VerifyRecoverInit(h, &m, k.rsaPub), CKR_OK);
        Bytes recovered = TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) {
            return C_VerifyRecover(h, recoverable.data(), recoverable.size(), o, n);
        });
        EXPECT_EQ(recovered, digest);
        EXPECT_EQ(C_VerifyRecover(h, recoverable.data(), recoverable.size(), out.data(), &len),
                  CKR_OPERATION_NOT_INITIALIZED);
    }
}

TEST_F(CryptoCalls, AFailedVerificationEndsIt) {
    for (const KeySet& k : KeySets()) {
        SCOPED_TRACE(k.name);
        const Bytes data = Message(250);
        Bytes wrong = Flip(k.rsaSign(*this, CKM_SHA256_RSA_PKCS, data));
        for (bool parts : {false, true}) {
            EXPECT_NE(Verify(CKM_SHA256_RSA_PKCS, k.rsaPub, data, wrong, parts), CKR_OK);
            EXPECT_EQ(C_Verify(h, wrong.data(), 1, wrong.data(), wrong.size()), CKR_OPERATION_NOT_INITIALIZED);
            EXPECT_EQ(C_VerifyFinal(h, wrong.data(), wrong.size()), CKR_OPERATION_NOT_INITIALIZED);
        }
        // Whatever the mechanism answers is the answer, and the end.
        wrong = Flip(Sign(k.signMechanism, k.signKey, data));
        EXPECT_NE(Verify(k.signMechanism, k.verifyKey, data, wrong), CKR_OK);
        EXPECT_EQ(C_VerifyFinal(h, wrong.data(), wrong.size()), CKR_OPERATION_NOT_INITIALIZED);
    }
}

TEST_F(CryptoCalls, WhichOperationsRunSideBySide) {
    for (const KeySet& k : KeySets()) {
        SCOPED_TRACE(k.name);
        CK_MECHANISM ecb = Mech(CKM_AES_ECB), sign = Mech(k.signMechanism), verify = Mech(k.signMechanism);
        CK_MECHANISM md5 = Mech(CKM_MD5);
        ASSERT_EQ(C_EncryptInit(h, &ecb, k.aes), CKR_OK);
        EXPECT_EQ(C_EncryptInit(h, &ecb, k.aes), CKR_OK);  // replaces the running one
        EXPECT_EQ(C_DigestInit(h, &md5), CKR_OK);
        EXPECT_EQ(C_DigestInit(h, &md5), CKR_OK);  // the encryption is a companion
        ASSERT_EQ(C_SignInit(h, &sign, k.signKey), CKR_OK);
        EXPECT_EQ(C_SignInit(h, &sign, k.signKey), CKR_OK);  // encryption runs: replaced
        Restart();
        ASSERT_EQ(C_SignInit(h, &sign, k.signKey), CKR_OK);
        EXPECT_EQ(C_SignInit(h, &sign, k.signKey), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(C_VerifyInit(h, &verify, k.verifyKey), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(C_DigestInit(h, &md5), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(C_DecryptInit(h, &ecb, k.aes), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(C_EncryptInit(h, &ecb, k.aes), CKR_OK);  // encryption is never refused
        Restart();
        // A search blocks every init but encryption's.
        ASSERT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_OK);
        EXPECT_EQ(C_SignInit(h, &sign, k.signKey), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(C_DigestInit(h, &md5), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(C_EncryptInit(h, &ecb, k.aes), CKR_OK);
        Restart();
        ASSERT_EQ(C_DigestInit(h, &md5), CKR_OK);
        EXPECT_EQ(C_DecryptInit(h, &ecb, k.aes), CKR_OK);
        EXPECT_EQ(C_VerifyInit(h, &verify, k.verifyKey), CKR_OK);
        EXPECT_EQ(C_SignInit(h, &sign, k.signKey), CKR_OPERATION_ACTIVE);
    }
}

TEST_F(CryptoCalls, KeysAreCheckedAgainstMechanismAndUsage) {
    for (const KeySet& k : KeySets()) {
        SCOPED_TRACE(k.name);
        const struct {
            CK_MECHANISM_TYPE mechanism;
            CK_OBJECT_HANDLE key;
            bool encrypt;
            CK_RV rv;
        } cases[] = {
            {CKM_RSA_PKCS, k.rsaPrv, true, CKR_KEY_HANDLE_INVALID},   // encryption wants the public key
            {CKM_RSA_PKCS, k.rsaPub, false, CKR_KEY_HANDLE_INVALID},  // decryption the private one
            {CKM_ECDSA, k.rsaPub, true, CKR_KEY_HANDLE_INVALID},      // no cipher
            {CKM_DES_CBC, k.aes, true, CKR_KEY_HANDLE_INVALID},       // key type of another cipher
            {CKM_AES_ECB, 0x7FFFFF00, true, CKR_KEY_HANDLE_INVALID},         // no such key
            {CKM_AES_ECB, 0, false, CKR_KEY_HANDLE_INVALID},
            {CKM_AES_ECB, k.aes, true, CKR_OK},
            {CKM_RSA_PKCS, k.rsaPub, true, CKR_OK},
        };
        for (const auto& c : cases) {
            CK_MECHANISM m = Mech(c.mechanism);
            EXPECT_EQ((c.encrypt ? C_EncryptInit : C_DecryptInit)(h, &m, c.key), c.rv) << c.mechanism;
        }
        CK_MECHANISM m = Mech(k.signMechanism);
        EXPECT_EQ(C_SignInit(h, &m, k.aes), CKR_KEY_FUNCTION_NOT_PERMITTED);  // CKA_SIGN false
        EXPECT_EQ(C_SignInit(h, &m, 0x80FFFFFF), CKR_KEY_HANDLE_INVALID);
        m = Mech(0x8123);
        EXPECT_EQ(C_SignInit(h, &m, k.signKey), CKR_MECHANISM_INVALID);
        CK_ULONG len = 0;
        EXPECT_EQ(C_Sign(h, nullptr, 0, nullptr, &len), CKR_OPERATION_NOT_INITIALIZED);
        Restart();
    }
}

TEST_F(CryptoCalls, EachMemberOfASharedBitUsesOnlyItsOwnInit) {
    for (const KeySet& k : KeySets()) {
        SCOPED_TRACE(k.name);
        const Bytes digest = Message(20);
        Bytes sig = k.rsaSign(*this, CKM_RSA_PKCS, digest), out(256);
        CK_ULONG len = out.size();
        CK_MECHANISM pkcs = Mech(CKM_RSA_PKCS), sign = Mech(k.signMechanism);
        ASSERT_EQ(C_VerifyRecoverInit(h, &pkcs, k.rsaPub), CKR_OK);
        EXPECT_EQ(C_Verify(h, out.data(), 20, sig.data(), sig.size()), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(C_VerifyFinal(h, sig.data(), sig.size()), CKR_OPERATION_NOT_INITIALIZED);
        ASSERT_EQ(C_VerifyRecover(h, sig.data(), sig.size(), out.data(), &len), CKR_OK);
        // The recovering object of the finished operation is never used again.
        ASSERT_EQ(C_VerifyInit(h, &pkcs, k.rsaPub), CKR_OK);
        EXPECT_EQ(C_VerifyRecover(h, sig.data(), sig.size(), out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(C_Verify(h, const_cast<uint8_t*>(digest.data()), digest.size(), sig.data(), sig.size()), CKR_OK);

        ASSERT_EQ(C_SignInit(h, &sign, k.signKey), CKR_OK);
        EXPECT_EQ(C_SignRecover(h, out.data(), 20, out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
        Restart();
        // No mechanism signs with recovery: the init fails and starts nothing.
        EXPECT_EQ(C_SignRecoverInit(h, &pkcs, k.rsaPrv), CKR_MECHANISM_INVALID);
        EXPECT_EQ(C_SignRecover(h, out.data(), 20, out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(C_Sign(h, out.data(), 20, out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
    }
}

TEST_F(CryptoCalls, CallerPointersAndLengthsAreChecked) {
    const std::vector<KeySet> sets = KeySets();
    const KeySet& k = sets[0];
    CK_MECHANISM m = Mech(CKM_AES_ECB);
    Bytes data = Message(32), out(32);
    CK_ULONG len = out.size();
    EXPECT_EQ(C_EncryptInit(h, nullptr, k.aes), CKR_ARGUMENTS_BAD);
    CK_MECHANISM noParameter{CKM_AES_CBC, nullptr, 16};
    EXPECT_EQ(C_EncryptInit(h, &noParameter, k.aes), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_DigestInit(h, nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_EncryptInit(h, &m, k.aes), CKR_OK);
    EXPECT_EQ(C_Encrypt(h, nullptr, 16, out.data(), &len), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Encrypt(h, data.data(), 16, out.data(), nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Encrypt(h, data.data(), 0x100000010UL, out.data(), &len), CKR_ARGUMENTS_BAD);  // never cut to 16
    EXPECT_EQ(C_EncryptUpdate(h, data.data(), 0x100000010UL, out.data(), &len), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_EncryptFinal(h, out.data(), nullptr), CKR_ARGUMENTS_BAD);
    // None of them touched the operation; a buffer beyond 32 bits of length is fine.
    len = 0x100000000UL;
    ASSERT_EQ(C_Encrypt(h, data.data(), 32, out.data(), &len), CKR_OK);
    EXPECT_EQ(len, 32u);

    CK_MECHANISM hmac = Mech(CKM_SHA256_HMAC);
    ASSERT_EQ(C_VerifyInit(h, &hmac, k.verifyKey), CKR_OK);
    EXPECT_EQ(C_Verify(h, data.data(), data.size(), nullptr, 32), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Verify(h, data.data(), data.size(), out.data(), 0x100000020UL), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyFinal(h, nullptr, 32), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyUpdate(h, nullptr, 5), CKR_ARGUMENTS_BAD);
    Bytes mac = Digest(EVP_sha256(), data);  // not the MAC: the verification still runs, and ends
    EXPECT_NE(C_Verify(h, data.data(), data.size(), mac.data(), mac.size()), CKR_OK);
    EXPECT_EQ(C_VerifyFinal(h, mac.data(), mac.size()), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(CryptoCalls, LoginRulesOfTheInits) {
    const std::vector<KeySet> sets = KeySets();
    const KeySet& soft = sets[0];
    const KeySet& token = sets[1];
    const Bytes data = Message(64);
    const Bytes tokenSig = Sign(CKM_SHA256_RSA_PKCS, token.signKey, data);
    CK_MECHANISM ecb = Mech(CKM_AES_ECB), rsa = Mech(CKM_SHA256_RSA_PKCS), hmac = Mech(CKM_SHA256_HMAC);
    ASSERT_EQ(C_Logout(h), CKR_OK);
    EXPECT_EQ(C_EncryptInit(h, &ecb, token.aes), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(C_DecryptInit(h, &ecb, token.aes), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_SignInit(h, &rsa, token.signKey), CKR_SESSION_HANDLE_INVALID);
    // Token public keys verify without a login.
    EXPECT_EQ(Verify(CKM_SHA256_RSA_PKCS, token.verifyKey, data, tokenSig), CKR_OK);
    // Private session keys went with the logout; public ones serve a public
    // session, in the single-part call as in the inits.
    EXPECT_EQ(C_SignInit(h, &hmac, soft.signKey), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(C_EncryptInit(h, &ecb, soft.aes), CKR_KEY_HANDLE_INVALID);
    auto publicKey = [&](CK_KEY_TYPE type, CK_ATTRIBUTE_TYPE use) {
        KeyTemplate t;
        t.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, type).Flag(CKA_PRIVATE, false).Flag(use, true);
        t.Raw(CKA_VALUE, Bytes(16, 0x5A));
        if (use == CKA_ENCRYPT) t.Flag(CKA_DECRYPT, true);
        CK_OBJECT_HANDLE k = 0;
        EXPECT_EQ(C_CreateObject(h, t.data(), t.size(), &k), CKR_OK);
        return k;
    };
    const CK_OBJECT_HANDLE macKey = publicKey(CKK_GENERIC_SECRET, CKA_SIGN), aes = publicKey(CKK_AES, CKA_ENCRYPT);
    Bytes mac = Sign(CKM_SHA256_HMAC, macKey, data);
    EXPECT_EQ(mac.size(), 32u);
    EXPECT_EQ(Crypt(true, ecb, aes, data, false).size(), data.size());
    // SHA-1 and SHA-256 need the user; other digests do not.
    for (CK_MECHANISM_TYPE t : {CKM_SHA_1, CKM_SHA256}) {
        CK_MECHANISM m = Mech(t);
        EXPECT_EQ(C_DigestInit(h, &m), CKR_USER_NOT_LOGGED_IN) << t;
    }
    CK_MECHANISM md5 = Mech(CKM_MD5);
    ASSERT_EQ(C_DigestInit(h, &md5), CKR_OK);
    Bytes copy = data;
    EXPECT_EQ(TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_Digest(h, copy.data(), copy.size(), o, n); }),
              Digest(EVP_md5(), data));
    // The security officer neither decrypts nor signs.
    ASSERT_EQ(Login(h, CKU_SO, "87654321"), CKR_OK);
    EXPECT_EQ(C_SignInit(h, &hmac, macKey), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(C_DecryptInit(h, &ecb, aes), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(C_EncryptInit(h, &ecb, aes), CKR_OK);
}

TEST_F(CryptoCalls, AlwaysAuthenticateKeyNeedsAContextLoginForEachSignature) {
    std::vector<CK_OBJECT_HANDLE> pair = TokenRsaPair(1024, true);
    const CK_OBJECT_HANDLE aes = Generate(CKM_AES_KEY_GEN, {SecretKey(CKK_AES).ULong(CKA_VALUE_LEN, 16)})[0];
    PKey pub = OpenSslPublic(pair[0]);
    CK_MECHANISM m = Mech(CKM_SHA256_RSA_PKCS);
    Bytes data = Message(300), sig(128);
    CK_ULONG len = sig.size();
    EXPECT_EQ(Login(h, CKU_CONTEXT_SPECIFIC, kUserPin), CKR_OPERATION_NOT_INITIALIZED);
    for (bool parts : {false, true}) {
        ASSERT_EQ(C_SignInit(h, &m, pair[1]), CKR_OK);
        if (parts) {
            ASSERT_EQ(C_SignUpdate(h, data.data(), data.size()), CKR_OK);
            EXPECT_EQ(C_SignFinal(h, sig.data(), &len), CKR_USER_NOT_LOGGED_IN);
        } else {
            EXPECT_EQ(C_Sign(h, data.data(), data.size(), sig.data(), &len), CKR_USER_NOT_LOGGED_IN);
        }
        ASSERT_EQ(Login(h, CKU_CONTEXT_SPECIFIC, kUserPin), CKR_OK);
        sig = TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) {
            return parts ? C_SignFinal(h, o, n) : C_Sign(h, data.data(), data.size(), o, n);
        });
        EXPECT_TRUE(VerifyRsa(pub.get(), EVP_sha256(), data, sig)) << parts;
    }
    // A wrong PIN: refused by the token, which also forgets the user's login.
    ASSERT_EQ(C_SignInit(h, &m, pair[1]), CKR_OK);
    EXPECT_EQ(Login(h, CKU_CONTEXT_SPECIFIC, "00000000"), CKR_PIN_INCORRECT);
    CK_SESSION_INFO info;
    ASSERT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(Login(h, CKU_CONTEXT_SPECIFIC, kUserPin), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(C_Sign(h, data.data(), data.size(), sig.data(), &len), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(Login(h, CKU_USER, kUserPin), CKR_OK);
    ASSERT_EQ(Login(h, CKU_CONTEXT_SPECIFIC, kUserPin), CKR_OK);
    // A context login stands for no user login, and the logout ends the
    // signature with the private key.
    ASSERT_EQ(C_Logout(h), CKR_OK);
    CK_MECHANISM ecb = Mech(CKM_AES_ECB);
    EXPECT_EQ(C_EncryptInit(h, &ecb, aes), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(C_Sign(h, data.data(), data.size(), sig.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
}

// The private session keys a logout destroys are gone from memory too: no
// ended operation's mechanism object keeps them.
TEST_F(CryptoCalls, NothingOfAPrivateSessionKeyOutlivesTheLogout) {
    const Bytes data = Message(64);
    auto privateKey = [&](CK_KEY_TYPE type, CK_ATTRIBUTE_TYPE use) {
        KeyTemplate t = SecretKey(type).Flag(CKA_PRIVATE, true).Flag(use, true).Raw(CKA_VALUE, Message(16));
        const std::vector<CK_ATTRIBUTE> a = t.Attributes();
        CK_OBJECT_HANDLE k = 0;
        EXPECT_EQ(C_CreateObject(h, const_cast<CK_ATTRIBUTE*>(a.data()), a.size(), &k), CKR_OK);
        return k;
    };
    const CK_OBJECT_HANDLE macKey = privateKey(CKK_GENERIC_SECRET, CKA_SIGN);
    const CK_OBJECT_HANDLE aes = privateKey(CKK_AES, CKA_ENCRYPT);
    EXPECT_EQ(Sign(CKM_SHA256_HMAC, macKey, data).size(), 32u);  // ended
    CK_MECHANISM ecb = Mech(CKM_AES_ECB);
    EXPECT_EQ(Crypt(true, ecb, aes, data, false).size(), data.size());  // ended
    CK_MECHANISM hmac = Mech(CKM_SHA256_HMAC);
    ASSERT_EQ(C_SignInit(h, &hmac, macKey), CKR_OK);  // running at the logout
    std::vector<ObjPtr> held;
    for (CK_OBJECT_HANDLE k : {macKey, aes}) {
        held.push_back(KVEnv::GetCP11SessionManager()->SessionObjects().GetObject(static_cast<uint32_t>(k)));
        ASSERT_TRUE(held.back());
    }
    ASSERT_EQ(C_Logout(h), CKR_OK);
    for (const ObjPtr& key : held) EXPECT_EQ(key.use_count(), 1u) << "a key object outlived the logout";
    EXPECT_EQ(C_SignInit(h, &hmac, macKey), CKR_KEY_HANDLE_INVALID);
}

TEST_F(CryptoCalls, AFailedDecryptionLeavesTheDigestRunning) {
    for (const KeySet& k : KeySets()) {
        SCOPED_TRACE(k.name);
        Bytes data = Message(100), out(64), zeros(32, 0);
        CK_ULONG len = out.size();
        CK_MECHANISM md5 = Mech(CKM_MD5), pkcs = Mech(CKM_RSA_PKCS);
        ASSERT_EQ(C_DigestInit(h, &md5), CKR_OK);
        ASSERT_EQ(C_DigestUpdate(h, data.data(), 50), CKR_OK);
        if (k.signMechanism == CKM_SHA256_RSA_PKCS) {  // token keys: RSA decryption runs in one part only
            ASSERT_EQ(C_DecryptInit(h, &pkcs, k.rsaPrv), CKR_OK);
            EXPECT_EQ(C_DecryptUpdate(h, zeros.data(), zeros.size(), out.data(), &len), CKR_GENERAL_ERROR);
            EXPECT_EQ(C_DecryptFinal(h, out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
        }
        // Blocks that decipher to a last byte 00: no valid padding.
        const Bytes& key = Attr(k.aes, CKA_VALUE);
        Bytes iv(16, 3), cipher(32);
        int n = 0;
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data());
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_EncryptUpdate(ctx, cipher.data(), &n, zeros.data(), 32);
        EVP_CIPHER_CTX_free(ctx);
        CK_MECHANISM cbcPad = Mech(CKM_AES_CBC_PAD, &iv);
        ASSERT_EQ(C_DecryptInit(h, &cbcPad, k.aes), CKR_OK);
        len = out.size();
        ASSERT_EQ(C_DecryptUpdate(h, cipher.data(), cipher.size(), out.data(), &len), CKR_OK);
        EXPECT_NE(C_DecryptFinal(h, out.data(), &len), CKR_OK);
        EXPECT_EQ(C_DecryptFinal(h, out.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
        ASSERT_EQ(C_DigestUpdate(h, data.data() + 50, 50), CKR_OK);
        EXPECT_EQ(TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR l) { return C_DigestFinal(h, o, l); }),
                  Digest(EVP_md5(), data));
    }
}

TEST_F(CryptoCalls, TokenRsaKeysSignAndDecryptAsOpenSslExpects) {
    for (CK_ULONG bits : {1024UL, 2048UL}) {
        SCOPED_TRACE(bits);
        std::vector<CK_OBJECT_HANDLE> pair = TokenRsaPair(bits);
        PKey pub = OpenSslPublic(pair[0]);
        ASSERT_TRUE(pub);
        const Bytes data = Message(777);
        for (bool parts : {false, true}) {
            Bytes sig = Sign(CKM_SHA256_RSA_PKCS, pair[1], data, parts);
            EXPECT_EQ(sig.size(), bits / 8);
            EXPECT_TRUE(VerifyRsa(pub.get(), EVP_sha256(), data, sig)) << parts;
            EXPECT_EQ(Verify(CKM_SHA256_RSA_PKCS, pair[0], data, sig, parts), CKR_OK);
        }
        EXPECT_TRUE(VerifyRsa(pub.get(), EVP_sha1(), data, Sign(CKM_SHA1_RSA_PKCS, pair[1], data)));
        const Bytes secret = Message(45);
        const Bytes sealed = RsaPublicEncrypt(pub.get(), RSA_PKCS1_PADDING, secret);
        EXPECT_EQ(Crypt(false, Mech(CKM_RSA_PKCS), pair[1], sealed, false), secret);
    }
}

TEST_F(CryptoCalls, TokenEcKeysSignAsOpenSslExpects) {
    for (const Bytes* curve : {&kP192, &kP256}) {
        const size_t width = curve == &kP192 ? 24 : 32;
        SCOPED_TRACE(width);
        std::vector<CK_OBJECT_HANDLE> pair =
            Generate(CKM_EC_KEY_PAIR_GEN,
                     {EcKeyTemplate(CKO_PUBLIC_KEY, *curve), EcKeyTemplate(CKO_PRIVATE_KEY, *curve)});
        const Bytes point = Attr(pair[0], CKA_EC_POINT);  // 04 ‖ x ‖ y, possibly DER-wrapped
        ASSERT_GE(point.size(), 2 * width + 1);
        ASSERT_EQ(point[point.size() - 2 * width - 1], 0x04);
        const auto x = point.end() - static_cast<long>(2 * width), y = x + static_cast<long>(width);
        PKey pub = EcKey(width == 24 ? "prime192v1" : "prime256v1", Bytes(x, y), Bytes(y, point.end()));
        ASSERT_TRUE(pub);
        const Bytes data = Message(500), hash = Digest(EVP_sha256(), data);
        Bytes sig = Sign(CKM_ECDSA, pair[1], hash);
        EXPECT_EQ(sig.size(), 2 * width);
        EXPECT_TRUE(VerifyEcdsa(pub.get(), hash, sig));
        EXPECT_EQ(Verify(CKM_ECDSA, pair[0], hash, sig), CKR_OK);
        for (bool parts : {false, true})
            EXPECT_TRUE(VerifyEcdsa(pub.get(), Digest(EVP_sha1(), data), Sign(CKM_ECDSA_SHA1, pair[1], data, parts)));
    }
}

TEST_F(CryptoCalls, SoftwareVerifiesOpenSslSignatures) {
    PKey rsa(EVP_RSA_gen(2048), EVP_PKEY_free);
    const CK_OBJECT_HANDLE rsaPub = Create(RsaPublic()
                                .Raw(CKA_MODULUS, BnParam(rsa.get(), OSSL_PKEY_PARAM_RSA_N))
                                .Raw(CKA_PUBLIC_EXPONENT, BnParam(rsa.get(), OSSL_PKEY_PARAM_RSA_E)));
    PKey ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
    Bytes point(65);
    size_t pointLen = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(ec.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                              &pointLen),
              1);
    const CK_OBJECT_HANDLE ecPub = Create(EcKeyTemplate(CKO_PUBLIC_KEY, kP256).Raw(CKA_EC_POINT, point));
    const Bytes data = Message(1000), hash = Digest(EVP_sha256(), data);
    const Bytes macKey = Message(32);
    const CK_OBJECT_HANDLE hmacKey =
        Create(SecretKey(CKK_GENERIC_SECRET).Flag(CKA_VERIFY, true).Raw(CKA_VALUE, macKey));
    Bytes mac(32);
    unsigned macLen = 0;
    ASSERT_NE(HMAC(EVP_sha256(), macKey.data(), static_cast<int>(macKey.size()), data.data(), data.size(), mac.data(),
                   &macLen),
              nullptr);
    const struct {
        CK_MECHANISM_TYPE mechanism;
        CK_OBJECT_HANDLE key;
        Bytes signed_, signature;
    } cases[] = {
        {CKM_SHA256_RSA_PKCS, rsaPub, data, OpenSslSign(rsa.get(), EVP_sha256(), data)},
        {CKM_SHA1_RSA_PKCS, rsaPub, data, OpenSslSign(rsa.get(), EVP_sha1(), data)},
        {CKM_RSA_PKCS, rsaPub, hash, OpenSslRawSign(rsa.get(), hash)},
        {CKM_ECDSA, ecPub, hash, OpenSslEcdsa(ec.get(), hash, 32)},
        {CKM_SHA256_HMAC, hmacKey, data, mac},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mechanism);
        EXPECT_EQ(Verify(c.mechanism, c.key, c.signed_, c.signature), CKR_OK);
        // A wrong signature or MAC of the right length is told apart from
        // every other failure: clients answer "false" only for this code.
        EXPECT_EQ(Verify(c.mechanism, c.key, c.signed_, Flip(c.signature)), CKR_SIGNATURE_INVALID);
        EXPECT_EQ(Verify(c.mechanism, c.key, Flip(c.signed_), c.signature), CKR_SIGNATURE_INVALID);
        if (c.mechanism == CKM_SHA256_RSA_PKCS || c.mechanism == CKM_SHA1_RSA_PKCS) {  // in parts too
            EXPECT_EQ(Verify(c.mechanism, c.key, c.signed_, c.signature, true), CKR_OK);
        }
    }
}

TEST_F(CryptoCalls, CiphersWithSessionAndTokenKeysMatchOpenSsl) {
    const struct {
        CK_MECHANISM_TYPE mechanism, generate;
        CK_KEY_TYPE keyType;
        size_t keyLen, ivLen;
        const char* openssl;
        bool pad;
    } cases[] = {
        {CKM_DES_CBC, CKM_DES_KEY_GEN, CKK_DES, 8, 8, "DES-CBC", false},
        {CKM_DES3_CBC_PAD, CKM_DES3_KEY_GEN, CKK_DES3, 24, 8, "DES-EDE3-CBC", true},
        {CKM_AES_ECB, CKM_AES_KEY_GEN, CKK_AES, 16, 0, "AES-128-ECB", false},
        {CKM_AES_CBC_PAD, CKM_AES_KEY_GEN, CKK_AES, 32, 16, "AES-256-CBC", true},
        {CKM_RC2_CBC_PAD, CKM_RC2_KEY_GEN, CKK_RC2, 16, 8, "RC2-CBC", true},
        {CKM_RC4, CKM_RC4_KEY_GEN, CKK_RC4, 16, 0, "RC4", false},
    };
    for (const auto& c : cases) {
        for (bool onToken : {false, true}) {
            SCOPED_TRACE(std::string(c.openssl) + (onToken ? " token key" : " session key"));
            KeyTemplate t = SecretKey(c.keyType);
            const CK_OBJECT_HANDLE key = onToken ? Generate(c.generate, {c.keyType == CKK_DES || c.keyType == CKK_DES3
                                                           ? t
                                                           : t.ULong(CKA_VALUE_LEN, c.keyLen)})[0]
                              : Create(t.Raw(CKA_VALUE, Message(c.keyLen)));
            ASSERT_NE(key, 0u);
            const Bytes value = Attr(key, CKA_VALUE);
            ASSERT_EQ(value.size(), c.keyLen);
            Bytes iv = Message(c.ivLen);
            Bytes param = iv;
            if (c.keyType == CKK_RC2) {
                CK_RC2_CBC_PARAMS rc2{128, {}};
                std::memcpy(rc2.iv, iv.data(), 8);
                param.assign(reinterpret_cast<uint8_t*>(&rc2), reinterpret_cast<uint8_t*>(&rc2) + sizeof rc2);
            }
            const Bytes plain = Message(c.pad || c.keyType == CKK_RC4 ? 83 : 64);
            const Bytes expected = OpenSslCipher(c.openssl, value, iv, c.pad, plain);
            CK_MECHANISM m = Mech(c.mechanism, c.ivLen ? &param : nullptr);
            for (bool parts : {false, true}) {
                EXPECT_EQ(Crypt(true, m, key, plain, parts), expected) << parts;
                EXPECT_EQ(Crypt(false, m, key, expected, parts), plain) << parts;
            }
        }
    }
}

TEST_F(CryptoCalls, DigestsMatchOpenSslInOneAndManyParts) {
    const struct {
        CK_MECHANISM_TYPE mechanism;
        const EVP_MD* md;
    } cases[] = {{CKM_MD5, EVP_md5()},       {CKM_SHA_1, EVP_sha1()},     {CKM_SHA224, EVP_sha224()},
                 {CKM_SHA256, EVP_sha256()}, {CKM_SHA384, EVP_sha384()}, {CKM_SHA512, EVP_sha512()}};
    Bytes data = Message(1000);
    for (const auto& c : cases) {
        CK_MECHANISM m = Mech(c.mechanism);
        ASSERT_EQ(C_DigestInit(h, &m), CKR_OK);
        EXPECT_EQ(TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_Digest(h, data.data(), data.size(), o, n); }),
                  Digest(c.md, data)) << c.mechanism;
        ASSERT_EQ(C_DigestInit(h, &m), CKR_OK);
        size_t at = 0;
        for (size_t piece : {size_t(1), size_t(63), size_t(0), size_t(500), data.size()}) {
            const size_t n = std::min(piece, data.size() - at);
            ASSERT_EQ(C_DigestUpdate(h, data.data() + at, n), CKR_OK);
            at += n;
        }
        EXPECT_EQ(TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR n) { return C_DigestFinal(h, o, n); }), Digest(c.md, data))
            << c.mechanism;
    }
}

}  // namespace
