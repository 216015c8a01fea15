// The object calls in process against the virtual token: creating,
// destroying, reading, changing and finding objects under the access rules
// of each session kind; a second library instance in another process; a USB
// cut while a token key is created; two threads at once.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "key_template.h"
#include "pkcs11.h"
#include "token_on_sim.h"

using testing_kv::BnParam;
using testing_kv::KeyTemplate;
using testing_kv::SimProcess;

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes as hex text and back, to hand values to the second instance.
std::string ToHex(const Bytes& bytes) {
    std::string out;
    for (uint8_t b : bytes) out += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    return out;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

constexpr CK_ATTRIBUTE_TYPE kContainerName = 0x80564D42UL;
constexpr CK_ATTRIBUTE_TYPE kKeyRef = 0x80000100UL;

// An RSA key with all its parts, and a self-signed certificate over it.
struct RsaParts {
    Bytes n, e, d, p, q, dp, dq, qinv, certificate;
};

RsaParts MakeRsa() {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    RsaParts r{BnParam(key, "n"), BnParam(key, "e"), BnParam(key, "d"), BnParam(key, "rsa-factor1"),
               BnParam(key, "rsa-factor2"), BnParam(key, "rsa-exponent1"), BnParam(key, "rsa-exponent2"),
               BnParam(key, "rsa-coefficient1"), {}};
    X509* x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("object calls"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509_sign(x, key, EVP_sha256());
    r.certificate.resize(static_cast<size_t>(i2d_X509(x, nullptr)));
    unsigned char* out = r.certificate.data();
    i2d_X509(x, &out);
    X509_free(x);
    EVP_PKEY_free(key);
    return r;
}

const RsaParts& Rsa() {
    static const RsaParts parts = MakeRsa();
    return parts;
}

const RsaParts& OtherRsa() {
    static const RsaParts parts = MakeRsa();
    return parts;
}

KeyTemplate RsaPrivate(bool onToken, const std::string& label, const RsaParts& k = Rsa()) {
    KeyTemplate t;
    t.ULong(CKA_CLASS, CKO_PRIVATE_KEY).ULong(CKA_KEY_TYPE, CKK_RSA).Flag(CKA_TOKEN, onToken).Text(CKA_LABEL, label);
    t.Raw(CKA_MODULUS, k.n).Raw(CKA_PUBLIC_EXPONENT, k.e).Raw(CKA_PRIVATE_EXPONENT, k.d);
    t.Raw(CKA_PRIME_1, k.p).Raw(CKA_PRIME_2, k.q).Raw(CKA_EXPONENT_1, k.dp).Raw(CKA_EXPONENT_2, k.dq);
    t.Raw(CKA_COEFFICIENT, k.qinv);
    return t;
}

KeyTemplate RsaPublic(const Bytes& modulus) {
    KeyTemplate t;
    t.ULong(CKA_CLASS, CKO_PUBLIC_KEY).ULong(CKA_KEY_TYPE, CKK_RSA).Flag(CKA_TOKEN, false).Raw(CKA_MODULUS, modulus);
    return t;
}

KeyTemplate Data(bool onToken, const std::string& label) {
    KeyTemplate t;
    t.ULong(CKA_CLASS, CKO_DATA).Flag(CKA_TOKEN, onToken).Text(CKA_LABEL, label).Text(CKA_VALUE, "payload");
    return t;
}

KeyTemplate Certificate(const std::string& label, const Bytes& der = Rsa().certificate) {
    KeyTemplate t;
    t.ULong(CKA_CLASS, CKO_CERTIFICATE).ULong(CKA_CERTIFICATE_TYPE, CKC_X_509).Flag(CKA_TOKEN, true);
    t.Text(CKA_LABEL, label).Raw(CKA_VALUE, der);
    return t;
}

// An EC public key of P-256 as x || y.
Bytes P256Point() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    Bytes point(65);
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key, "encoded-pub-key", point.data(), point.size(), &len);
    EVP_PKEY_free(key);
    return Bytes(point.begin() + 1, point.begin() + static_cast<long>(len));
}

const Bytes kP256Params{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

KeyTemplate EcPublic(bool onToken, const Bytes& point, const std::string& label) {
    KeyTemplate t;
    t.ULong(CKA_CLASS, CKO_PUBLIC_KEY).ULong(CKA_KEY_TYPE, CKK_EC).Flag(CKA_TOKEN, onToken).Text(CKA_LABEL, label);
    t.Raw(CKA_EC_PARAMS, kP256Params).Raw(CKA_EC_POINT, point);
    return t;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE type, const char* pin) {
    return C_Login(h, type, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
}

CK_RV Create(CK_SESSION_HANDLE h, KeyTemplate& t, CK_OBJECT_HANDLE* out = nullptr) {
    CK_OBJECT_HANDLE ignored = 0;
    return C_CreateObject(h, t.data(), t.size(), out ? out : &ignored);
}

// All handles a search returns, read one at a time.
std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE h, KeyTemplate t = KeyTemplate()) {
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(C_FindObjectsInit(h, t.size() ? t.data() : nullptr, t.size()), CKR_OK);
    CK_OBJECT_HANDLE one = 0;
    CK_ULONG n = 0;
    while (C_FindObjects(h, &one, 1, &n) == CKR_OK && n == 1) found.push_back(one);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
    return found;
}

// One attribute's value; empty when it cannot be read.
Bytes Attr(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
    Bytes v(a.ulValueLen);
    a.pValue = v.data();
    return C_GetAttributeValue(h, o, &a, 1) == CKR_OK ? v : Bytes();
}

std::string Label(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o) {
    const Bytes v = Attr(h, o, CKA_LABEL);
    return std::string(v.begin(), v.end());
}

class ObjectCalls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sim = new SimProcess();
        HostSocketBridge::Instance().SetSocketPath(sim->Socket());
        DiskMirror::SetBase(sim->Dir() + "/mirror");
    }
    static void TearDownTestSuite() {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        Bind();
    }
    void TearDown() override {
        // Every test leaves the token as it found it.
        C_CloseAllSessions(1);
        CK_SESSION_HANDLE h = Open(true);
        Login(h, CKU_USER, "12345678");
        for (CK_OBJECT_HANDLE o : Find(h)) EXPECT_EQ(C_DestroyObject(h, o), CKR_OK);
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
    }
    static void Bind() {
        CK_SLOT_ID slot = 0;
        CK_ULONG n = 1;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
    }
    static CK_SESSION_HANDLE Open(bool rw) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), nullptr, nullptr, &h), CKR_OK);
        return h;
    }

    static SimProcess* sim;
};

SimProcess* ObjectCalls::sim = nullptr;

enum class Who { Public, User, SO };

TEST_F(ObjectCalls, CreateAndDestroyAcrossSessionKinds) {
    struct Case {
        bool rw;
        Who who;
        bool onToken;
        bool isPrivate;
        CK_RV create;
        CK_RV destroyAsPublic;  // after the login is gone
    } cases[] = {
        {false, Who::Public, true, false, CKR_SESSION_READ_ONLY, CKR_OK},
        {false, Who::Public, false, false, CKR_OK, CKR_OK},
        {false, Who::Public, false, true, CKR_USER_NOT_LOGGED_IN, CKR_OK},
        {true, Who::Public, true, false, CKR_USER_NOT_LOGGED_IN, CKR_OK},  // the token's own rule
        {true, Who::User, true, false, CKR_OK, CKR_OK},
        {true, Who::Public, true, true, CKR_USER_NOT_LOGGED_IN, CKR_OK},
        {false, Who::User, false, true, CKR_OK, CKR_OBJECT_HANDLE_INVALID},  // gone with the logout
        {true, Who::User, true, true, CKR_OK, CKR_TOKEN_WRITE_PROTECTED},
        {true, Who::SO, true, false, CKR_OK, CKR_OK},
        {true, Who::SO, true, true, CKR_USER_NOT_LOGGED_IN, CKR_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rw << " " << static_cast<int>(c.who) << " " << c.onToken << " "
                                        << c.isPrivate);
        C_CloseAllSessions(1);
        CK_SESSION_HANDLE h = Open(c.rw);
        if (c.who != Who::Public) {
            CK_SESSION_HANDLE login = c.who == Who::SO ? h : Open(true);
            ASSERT_EQ(Login(login, c.who == Who::SO ? CKU_SO : CKU_USER, c.who == Who::SO ? "87654321" : "12345678"),
                      CKR_OK);
        }
        KeyTemplate t = Data(c.onToken, "kinds");
        t.Flag(CKA_PRIVATE, c.isPrivate);
        CK_OBJECT_HANDLE o = 0;
        ASSERT_EQ(Create(h, t, &o), c.create);
        if (c.create != CKR_OK) continue;
        EXPECT_EQ((o & 0x80000000UL) != 0, !c.onToken);
        EXPECT_EQ(Label(h, o), "kinds");
        ASSERT_EQ(C_Logout(h), c.who == Who::Public ? CKR_USER_NOT_LOGGED_IN : CKR_OK);
        EXPECT_EQ(C_DestroyObject(h, o), c.destroyAsPublic);
        if (c.destroyAsPublic == CKR_OK) {
            EXPECT_EQ(C_DestroyObject(h, o), CKR_OBJECT_HANDLE_INVALID);
        }
    }
}

TEST_F(ObjectCalls, TemplatesAreCheckedBeforeUse) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    const uint64_t wide = 0x100000000ULL;
    const uint32_t narrow = CKO_DATA;
    struct Case {
        const char* name;
        KeyTemplate t;
        CK_RV rv;
    } cases[] = {
        {"class above 32 bits", KeyTemplate().Raw(CKA_CLASS, &wide, 8).Flag(CKA_TOKEN, false), CKR_ATTRIBUTE_VALUE_INVALID},
        {"class of 2 bytes", KeyTemplate().Raw(CKA_CLASS, &narrow, 2).Flag(CKA_TOKEN, false), CKR_ATTRIBUTE_VALUE_INVALID},
        {"class of 4 bytes", KeyTemplate().Raw(CKA_CLASS, &narrow, 4).Flag(CKA_TOKEN, false), CKR_OK},
        {"bool of 4 bytes", KeyTemplate().ULong(CKA_CLASS, CKO_DATA).Raw(CKA_TOKEN, &narrow, 4), CKR_ATTRIBUTE_VALUE_INVALID},
        {"key reference", Data(false, "x").ULong(kKeyRef, 0xA020), CKR_ATTRIBUTE_READ_ONLY},
        {"container name", Data(false, "x").Text(kContainerName, "c"), CKR_ATTRIBUTE_READ_ONLY},
        {"no class", KeyTemplate().Flag(CKA_TOKEN, false), CKR_TEMPLATE_INCONSISTENT},
        {"64-byte modulus", RsaPublic(Bytes(64, 0xC1)), CKR_TEMPLATE_INCONSISTENT},
        {"512-byte modulus", RsaPublic(Bytes(512, 0xC1)), CKR_TEMPLATE_INCONSISTENT},
        {"128-byte modulus", RsaPublic(Bytes(128, 0xC1)), CKR_OK},
        {"256-byte modulus", RsaPublic(Bytes(256, 0xC1)), CKR_OK},
        {"larger than the token", Data(false, "x").Raw(CKA_OBJECT_ID, Bytes(1 << 20, 1)), CKR_DEVICE_MEMORY},
    };
    for (Case& c : cases) EXPECT_EQ(Create(h, c.t), c.rv) << c.name;
    KeyTemplate ok = Data(false, "x");
    CK_OBJECT_HANDLE o = 0;
    EXPECT_EQ(C_CreateObject(h, nullptr, 1, &o), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CreateObject(h, ok.data(), ok.size(), nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetAttributeValue(h, o, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SetAttributeValue(h, o, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_FindObjectsInit(h, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CreateObject(0x1234, ok.data(), ok.size(), &o), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(ObjectCalls, PrivateKeysArePrivateByDefaultInReadWriteSessions) {
    CK_SESSION_HANDLE rw = Open(true), ro = Open(false);
    ASSERT_EQ(Login(rw, CKU_USER, "12345678"), CKR_OK);
    for (CK_SESSION_HANDLE h : {rw, ro}) {
        KeyTemplate key = RsaPrivate(false, "default");
        CK_OBJECT_HANDLE o = 0;
        ASSERT_EQ(Create(h, key, &o), CKR_OK);
        EXPECT_EQ(Attr(h, o, CKA_PRIVATE), Bytes{static_cast<uint8_t>(h == rw)});
        KeyTemplate data = Data(false, "default");
        ASSERT_EQ(Create(h, data, &o), CKR_OK);
        EXPECT_EQ(Attr(h, o, CKA_PRIVATE), Bytes{CK_FALSE});
    }
}

TEST_F(ObjectCalls, ReadingRespectsSensitivityAndWidths) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    KeyTemplate secret;
    secret.ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_AES).Flag(CKA_TOKEN, false);
    secret.Flag(CKA_SENSITIVE, true).Text(CKA_LABEL, "aes").Raw(CKA_VALUE, Bytes(16, 0x3C));
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(Create(h, secret, &key), CKR_OK);

    uint8_t label[8], value[16];
    CK_ULONG cls[2] = {~0UL, ~0UL};
    CK_ATTRIBUTE read[] = {{CKA_VALUE, value, sizeof value},
                           {CKA_LABEL, label, sizeof label},
                           {CKA_CLASS, cls, sizeof cls[0]},
                           {CKA_MODULUS, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(h, key, read, 4), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(read[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(label), read[1].ulValueLen), "aes");
    EXPECT_EQ(read[2].ulValueLen, 8u);
    EXPECT_EQ(cls[0], CKO_SECRET_KEY);  // the whole CK_ULONG, zero-extended
    EXPECT_EQ(cls[1], ~0UL);
    EXPECT_EQ(read[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);

    struct Case {
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG capacity;
        bool withBuffer;
        CK_RV rv;
        CK_ULONG length;
    } cases[] = {
        {CKA_CLASS, 8, false, CKR_OK, 8},
        {CKA_CLASS, 4, true, CKR_BUFFER_TOO_SMALL, CK_UNAVAILABLE_INFORMATION},
        {CKA_LABEL, 2, true, CKR_BUFFER_TOO_SMALL, CK_UNAVAILABLE_INFORMATION},
        {CKA_LABEL, 0, false, CKR_OK, 3},
        {CKA_MODULUS, 0, false, CKR_ATTRIBUTE_TYPE_INVALID, CK_UNAVAILABLE_INFORMATION},
        {kContainerName, 0, false, CKR_ATTRIBUTE_TYPE_INVALID, CK_UNAVAILABLE_INFORMATION},
    };
    for (const Case& c : cases) {
        uint8_t buffer[16];
        CK_ATTRIBUTE a{c.type, c.withBuffer ? buffer : nullptr, c.capacity};
        EXPECT_EQ(C_GetAttributeValue(h, key, &a, 1), c.rv) << std::hex << c.type;
        EXPECT_EQ(a.ulValueLen, c.length) << std::hex << c.type;
    }

    // Key material shows only while the object is neither sensitive nor
    // unextractable, whatever its class.
    struct Hiding {
        CK_OBJECT_CLASS cls;
        CK_KEY_TYPE keyType;
        CK_ATTRIBUTE_TYPE part;
        bool sensitive, extractable;
        CK_RV rv;
    } hiding[] = {
        {CKO_SECRET_KEY, CKK_AES, CKA_VALUE, false, true, CKR_OK},
        {CKO_SECRET_KEY, CKK_AES, CKA_VALUE, true, true, CKR_ATTRIBUTE_SENSITIVE},
        {CKO_SECRET_KEY, CKK_AES, CKA_VALUE, false, false, CKR_ATTRIBUTE_SENSITIVE},
        {CKO_PRIVATE_KEY, CKK_RSA, CKA_PRIME_1, false, true, CKR_OK},
        {CKO_PRIVATE_KEY, CKK_RSA, CKA_PRIME_1, false, false, CKR_ATTRIBUTE_SENSITIVE},
        {CKO_PUBLIC_KEY, CKK_RSA, CKA_PRIVATE_EXPONENT, true, true, CKR_ATTRIBUTE_SENSITIVE},
        {CKO_PUBLIC_KEY, CKK_RSA, CKA_PRIVATE_EXPONENT, false, true, CKR_OK},
    };
    const Bytes material(16, 0x5A);
    for (const Hiding& c : hiding) {
        KeyTemplate t;
        t.ULong(CKA_CLASS, c.cls).ULong(CKA_KEY_TYPE, c.keyType).Flag(CKA_TOKEN, false).Raw(c.part, material);
        t.Flag(CKA_SENSITIVE, c.sensitive).Flag(CKA_EXTRACTABLE, c.extractable);
        CK_OBJECT_HANDLE o = 0;
        ASSERT_EQ(Create(h, t, &o), CKR_OK);
        Bytes out(16);
        CK_ATTRIBUTE a{c.part, out.data(), out.size()};
        EXPECT_EQ(C_GetAttributeValue(h, o, &a, 1), c.rv) << c.cls << " " << std::hex << c.part;
        EXPECT_EQ(a.ulValueLen, c.rv == CKR_OK ? 16 : CK_UNAVAILABLE_INFORMATION);
        EXPECT_EQ(out == material, c.rv == CKR_OK);
    }

    // A private object is not read outside a user session.
    KeyTemplate data = Data(true, "private");
    data.Flag(CKA_PRIVATE, true);
    CK_OBJECT_HANDLE o = 0;
    ASSERT_EQ(Create(h, data, &o), CKR_OK);
    ASSERT_EQ(C_Logout(h), CKR_OK);
    CK_ATTRIBUTE a{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(h, o, &a, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_GetAttributeValue(h, 0x7FFF0000, &a, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ObjectCalls, NothingMakesASensitiveKeyReadable) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    KeyTemplate key = RsaPrivate(false, "sensitive");
    CK_OBJECT_HANDLE o = 0;
    ASSERT_EQ(Create(h, key, &o), CKR_OK);
    const CK_ULONG zero = 0;
    const CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    const uint8_t bytes[4] = {1, 2, 3, 4};
    struct Case {
        CK_ATTRIBUTE_TYPE type;
        const void* value;
        CK_ULONG length;
        CK_RV rv;
    } cases[] = {
        {CKA_CLASS, &zero, sizeof zero, CKR_ATTRIBUTE_READ_ONLY},  // would make it a data object
        {CKA_KEY_TYPE, &zero, sizeof zero, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_CERTIFICATE_TYPE, &zero, sizeof zero, CKR_ATTRIBUTE_READ_ONLY},
        {kKeyRef, &zero, sizeof zero, CKR_ATTRIBUTE_READ_ONLY},
        {kKeyRef + 1, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},  // the object stamp
        {CKA_LOCAL, &yes, 1, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_KEY_GEN_MECHANISM, &zero, sizeof zero, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_ALWAYS_SENSITIVE, &no, 1, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_NEVER_EXTRACTABLE, &no, 1, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_MODULUS, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_MODULUS_BITS, &zero, sizeof zero, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_PUBLIC_EXPONENT, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_PRIVATE_EXPONENT, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_PRIME_1, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_PRIME_2, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_EXPONENT_1, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_EXPONENT_2, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_COEFFICIENT, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_VALUE, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_EC_PARAMS, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_EC_POINT, bytes, 4, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_TOKEN, &yes, 1, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_PRIVATE, &no, 1, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_SENSITIVE, &no, 1, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_EXTRACTABLE, &yes, 1, CKR_ATTRIBUTE_READ_ONLY},
        {CKA_SIGN, &zero, sizeof zero, CKR_ATTRIBUTE_VALUE_INVALID},  // a CK_BBOOL of 8 bytes
        {CKA_LABEL, "renamed", 7, CKR_OK},
    };
    for (const Case& c : cases) {
        CK_ATTRIBUTE a{c.type, const_cast<void*>(c.value), c.length};
        EXPECT_EQ(C_SetAttributeValue(h, o, &a, 1), c.rv) << std::hex << c.type;
        for (CK_ATTRIBUTE_TYPE part : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1,
                                       CKA_EXPONENT_2, CKA_COEFFICIENT}) {
            CK_ATTRIBUTE get{part, nullptr, 0};
            EXPECT_EQ(C_GetAttributeValue(h, o, &get, 1), CKR_ATTRIBUTE_SENSITIVE) << std::hex << c.type;
        }
    }
    EXPECT_EQ(Label(h, o), "renamed");
    EXPECT_EQ(Attr(h, o, CKA_MODULUS), Rsa().n);
    // A rejected entry leaves the earlier ones of the same call unapplied.
    CK_ATTRIBUTE two[] = {{CKA_LABEL, const_cast<char*>("again"), 5}, {CKA_CLASS, const_cast<CK_ULONG*>(&zero), 8}};
    EXPECT_EQ(C_SetAttributeValue(h, o, two, 2), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(Label(h, o), "renamed");
    // A private key that is not private cannot ask for a login per use.
    KeyTemplate open = RsaPrivate(false, "public private key");
    open.Flag(CKA_PRIVATE, false);
    ASSERT_EQ(Create(h, open, &o), CKR_OK);
    CK_ATTRIBUTE always{CKA_ALWAYS_AUTHENTICATE, const_cast<CK_BBOOL*>(&yes), 1};
    EXPECT_EQ(C_SetAttributeValue(h, o, &always, 1), CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST_F(ObjectCalls, ChangesFollowSessionAndClassRules) {
    CK_SESSION_HANDLE rw = Open(true), ro = Open(false);
    ASSERT_EQ(Login(rw, CKU_USER, "12345678"), CKR_OK);
    KeyTemplate cert = Certificate("cert");
    CK_OBJECT_HANDLE c = 0, d = 0;
    ASSERT_EQ(Create(rw, cert, &c), CKR_OK);
    KeyTemplate data = Data(true, "data");
    ASSERT_EQ(Create(rw, data, &d), CKR_OK);
    KeyTemplate fixed = Data(true, "fixed");
    fixed.Flag(CKA_MODIFIABLE, false);
    CK_OBJECT_HANDLE f = 0;
    ASSERT_EQ(Create(rw, fixed, &f), CKR_OK);
    const std::string id = "id-1";
    struct Case {
        CK_SESSION_HANDLE session;
        CK_OBJECT_HANDLE object;
        CK_ATTRIBUTE_TYPE type;
        CK_RV rv;
    } cases[] = {
        {rw, c, CKA_LABEL, CKR_ATTRIBUTE_READ_ONLY}, {rw, c, CKA_SUBJECT, CKR_ATTRIBUTE_READ_ONLY},
        {rw, c, CKA_ID, CKR_OK},                     {rw, c, CKA_ISSUER, CKR_OK},
        {rw, c, CKA_SERIAL_NUMBER, CKR_OK},          {rw, d, CKA_VALUE, CKR_OK},
        {rw, d, CKA_LABEL, CKR_OK},                  {ro, d, CKA_LABEL, CKR_SESSION_READ_ONLY},
        {rw, f, CKA_LABEL, CKR_ATTRIBUTE_READ_ONLY},
    };
    for (const Case& k : cases) {
        CK_ATTRIBUTE a{k.type, const_cast<char*>(id.data()), id.size()};
        EXPECT_EQ(C_SetAttributeValue(k.session, k.object, &a, 1), k.rv) << std::hex << k.type;
        if (k.rv == CKR_OK) {
            EXPECT_EQ(Attr(rw, k.object, k.type), Bytes(id.begin(), id.end()));
        }
    }
    // An SO session changes nothing.
    C_CloseAllSessions(1);
    CK_SESSION_HANDLE so = Open(true);
    ASSERT_EQ(Login(so, CKU_SO, "87654321"), CKR_OK);
    CK_ATTRIBUTE a{CKA_LABEL, const_cast<char*>(id.data()), id.size()};
    EXPECT_EQ(C_SetAttributeValue(so, d, &a, 1), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(ObjectCalls, EcPointsAreKeptInOneForm) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    const Bytes xy = P256Point();
    const Bytes uncompressed = Concat({{0x04}, xy});
    const Bytes der = Concat({{0x04, 0x41}, uncompressed});
    struct Case {
        const char* name;
        Bytes given;
    } forms[] = {{"raw", xy}, {"uncompressed", uncompressed}, {"DER", der}};
    for (const Case& f : forms) {
        SCOPED_TRACE(f.name);
        KeyTemplate key = EcPublic(true, f.given, f.name);
        CK_OBJECT_HANDLE o = 0;
        ASSERT_EQ(Create(h, key, &o), CKR_OK);
        EXPECT_EQ(Attr(h, o, CKA_EC_POINT), uncompressed);  // never 04 04
        uint8_t buffer[66];
        std::memset(buffer, 0xEE, sizeof buffer);
        CK_ATTRIBUTE a{CKA_EC_POINT, buffer, 64};
        EXPECT_EQ(C_GetAttributeValue(h, o, &a, 1), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(buffer[64], 0xEE);
        for (const Case& search : forms) {
            KeyTemplate t;
            t.Raw(CKA_EC_POINT, search.given).Text(CKA_LABEL, f.name);
            EXPECT_EQ(Find(h, t), std::vector<CK_OBJECT_HANDLE>{o}) << search.name;
        }
        ASSERT_EQ(C_DestroyObject(h, o), CKR_OK);
    }
}

// KVP11_EC_POINT, read at C_Initialize: "der" gives the DER OCTET STRING
// 04 41 04 || x || y, "raw" (and no setting) 04 || x || y; any form is found.
TEST_F(ObjectCalls, TheEcPointSwitchChoosesTheFormRead) {
    const Bytes xy = P256Point();
    const Bytes uncompressed = Concat({{0x04}, xy});
    const Bytes der = Concat({{0x04, 0x41}, uncompressed});
    struct Case {
        const char* setting;
        Bytes read;
    } cases[] = {{"der", der}, {"raw", uncompressed}, {nullptr, uncompressed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "unset");
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
        if (c.setting) setenv("KVP11_EC_POINT", c.setting, 1);
        else unsetenv("KVP11_EC_POINT");
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        Bind();
        CK_SESSION_HANDLE h = Open(true);
        ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
        CK_OBJECT_HANDLE o = 0;
        KeyTemplate key = EcPublic(true, xy, "switch");
        ASSERT_EQ(Create(h, key, &o), CKR_OK);
        EXPECT_EQ(Attr(h, o, CKA_EC_POINT), c.read);
        KeyTemplate t;
        t.Raw(CKA_EC_POINT, der).Text(CKA_LABEL, "switch");
        EXPECT_EQ(Find(h, t), std::vector<CK_OBJECT_HANDLE>{o});
        ASSERT_EQ(C_DestroyObject(h, o), CKR_OK);
    }
}

TEST_F(ObjectCalls, SearchTemplates) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    CK_OBJECT_HANDLE key = 0, cert = 0, unnamedCert = 0, data = 0, secret = 0, session = 0;
    KeyTemplate t1 = RsaPrivate(true, "key"), t2 = Certificate("cert"), t3 = Certificate("", OtherRsa().certificate);
    KeyTemplate t4 = Data(true, "data");
    KeyTemplate t5 = Data(true, "secret").Flag(CKA_PRIVATE, true), t6 = Data(false, "session");
    ASSERT_EQ(Create(h, t1, &key), CKR_OK);
    ASSERT_EQ(Create(h, t2, &cert), CKR_OK);
    ASSERT_EQ(Create(h, t3, &unnamedCert), CKR_OK);
    ASSERT_EQ(Create(h, t4, &data), CKR_OK);
    ASSERT_EQ(Create(h, t5, &secret), CKR_OK);
    ASSERT_EQ(Create(h, t6, &session), CKR_OK);

    // The key and the certificate over it share a container, named in GUID layout.
    const Bytes name = Attr(h, key, kContainerName);
    ASSERT_EQ(name.size(), 36u);
    EXPECT_EQ(name[8], '-');
    EXPECT_EQ(Attr(h, cert, kContainerName), name);
    EXPECT_TRUE(Attr(h, data, kContainerName).empty());
    const Bytes wrongName(36, 'F');
    const CK_ULONG certClass = CKO_CERTIFICATE;
    const uint32_t certClass4 = CKO_CERTIFICATE;
    struct Case {
        const char* name;
        KeyTemplate t;
        std::set<CK_OBJECT_HANDLE> want;
    } cases[] = {
        {"empty template", KeyTemplate(), {key, cert, unnamedCert, data, secret}},
        {"empty label of a certificate", KeyTemplate().ULong(CKA_CLASS, CKO_CERTIFICATE).Text(CKA_LABEL, ""), {unnamedCert}},
        {"class in 4 bytes", KeyTemplate().Raw(CKA_CLASS, &certClass4, 4), {cert, unnamedCert}},
        {"class in 8 bytes", KeyTemplate().Raw(CKA_CLASS, &certClass, 8), {cert, unnamedCert}},
        {"container name", KeyTemplate().Raw(kContainerName, name), {key, cert}},
        {"another container name", KeyTemplate().Raw(kContainerName, wrongName), {}},
        {"label", KeyTemplate().Text(CKA_LABEL, "data"), {data}},
        {"label prefix", KeyTemplate().Text(CKA_LABEL, "dat"), {}},
        {"session object", KeyTemplate().Text(CKA_LABEL, "session"), {}},
        {"flag", KeyTemplate().Flag(CKA_PRIVATE, true), {key, secret}},
    };
    for (Case& c : cases) {
        const auto found = Find(h, c.t);
        EXPECT_EQ(std::set<CK_OBJECT_HANDLE>(found.begin(), found.end()), c.want) << c.name;
        EXPECT_EQ(found.size(), c.want.size()) << c.name;
    }
    const uint64_t wide = 0x100000001ULL;
    KeyTemplate bad;
    bad.Raw(CKA_CLASS, &wide, 8);
    EXPECT_EQ(C_FindObjectsInit(h, bad.data(), bad.size()), CKR_ATTRIBUTE_VALUE_INVALID);

    // Private objects are filtered while the search is read out.
    ASSERT_EQ(C_Logout(h), CKR_OK);
    const auto before = Find(h);
    EXPECT_EQ(std::set<CK_OBJECT_HANDLE>(before.begin(), before.end()),
              (std::set<CK_OBJECT_HANDLE>{cert, unnamedCert, data}));
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    EXPECT_EQ(Find(h).size(), 5u);

    // The reading frame.
    CK_OBJECT_HANDLE out[8];
    CK_ULONG n = 99;
    EXPECT_EQ(C_FindObjects(h, out, 8, &n), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_FindObjects(h, out, 0, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(C_FindObjects(h, out, 8, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_FindObjects(h, nullptr, 8, &n), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_FindObjects(h, out, 3, &n), CKR_OK);
    EXPECT_EQ(n, 3u);
    ASSERT_EQ(C_FindObjects(h, out, 8, &n), CKR_OK);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(C_FindObjects(h, out, 8, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
}

TEST_F(ObjectCalls, ARepeatedKeyGetsAContainerOfItsOwn) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    CK_OBJECT_HANDLE first = 0, second = 0;
    KeyTemplate a = RsaPrivate(true, "first"), b = RsaPrivate(true, "second");
    ASSERT_EQ(Create(h, a, &first), CKR_OK);
    const Bytes firstName = Attr(h, first, kContainerName);
    ASSERT_EQ(Create(h, b, &second), CKR_OK);
    const Bytes secondName = Attr(h, second, kContainerName);
    ASSERT_EQ(secondName.size(), 36u);
    EXPECT_NE(secondName, firstName);
    EXPECT_EQ(Attr(h, first, kContainerName), firstName);  // the first keeps its place
    EXPECT_NE(Attr(h, first, kKeyRef), Attr(h, second, kKeyRef));
    ASSERT_EQ(C_DestroyObject(h, second), CKR_OK);
    EXPECT_EQ(Attr(h, first, kContainerName), firstName);
}

TEST_F(ObjectCalls, SessionObjectsEndWithTheirSession) {
    CK_SESSION_HANDLE a = Open(false), b = Open(false);
    CK_OBJECT_HANDLE mine = 0, other = 0;
    KeyTemplate t1 = Data(false, "a"), t2 = Data(false, "b");
    ASSERT_EQ(Create(a, t1, &mine), CKR_OK);
    ASSERT_EQ(Create(b, t2, &other), CKR_OK);
    EXPECT_EQ(Label(b, mine), "a");  // any session names any session object
    ASSERT_EQ(C_CloseSession(a), CKR_OK);
    CK_ATTRIBUTE get{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(b, mine, &get, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(Label(b, other), "b");
}

TEST_F(ObjectCalls, TwoThreadsInTheirOwnSessionsLoseNothing) {
    auto work = [](const std::string& tag, std::vector<CK_OBJECT_HANDLE>* kept) {
        CK_SESSION_HANDLE h = Open(true);
        for (int i = 0; i < 12; ++i) {
            KeyTemplate t = Data(i % 2 == 0, tag + std::to_string(i));
            CK_OBJECT_HANDLE o = 0;
            ASSERT_EQ(Create(h, t, &o), CKR_OK);
            if (i % 3 == 2) {
                ASSERT_EQ(C_DestroyObject(h, o), CKR_OK);
            } else {
                kept->push_back(o);
            }
        }
    };
    CK_SESSION_HANDLE h = Open(false);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);  // token objects need the user
    std::vector<CK_OBJECT_HANDLE> left, right;
    std::thread one(work, "left", &left), two(work, "right", &right);
    one.join();
    two.join();
    std::set<std::string> labels;
    for (CK_OBJECT_HANDLE o : left) labels.insert(Label(h, o));
    for (CK_OBJECT_HANDLE o : right) labels.insert(Label(h, o));
    EXPECT_EQ(labels.size(), 16u);
    std::set<std::string> onToken;
    for (CK_OBJECT_HANDLE o : Find(h)) onToken.insert(Label(h, o));
    EXPECT_EQ(onToken, (std::set<std::string>{"left0", "left4", "left6", "left10", "right0", "right4", "right6",
                                              "right10"}));
}

// The second library instance: run in a child process of this binary.
TEST(ObjectCallsChild, FindsReadsAndDestroys) {
    const char* socket = std::getenv("KV_CHILD_SOCKET");
    if (!socket) GTEST_SKIP() << "runs as the second instance of ObjectCalls.SecondInstanceSeesTheObjects";
    HostSocketBridge::Instance().SetSocketPath(socket);
    DiskMirror::SetBase(std::getenv("KV_CHILD_MIRROR"));
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    const std::string certificate = std::getenv("KV_CHILD_CERT");
    const std::pair<std::string, std::string> expected[] = {{"shared data", "payload"},
                                                            {"shared cert", FromHex(certificate)}};
    for (const auto& [label, value] : expected) {
        const auto found = Find(h, KeyTemplate().Text(CKA_LABEL, label));
        ASSERT_EQ(found.size(), 1u) << label;
        EXPECT_EQ(Attr(h, found[0], CKA_VALUE), Bytes(value.begin(), value.end())) << label;
        EXPECT_EQ(C_DestroyObject(h, found[0]), CKR_OK);
    }
    EXPECT_EQ(Find(h, KeyTemplate().Text(CKA_LABEL, "shared key")).size(), 1u);
    C_CloseAllSessions(1);
    C_Finalize(nullptr);
}

TEST_F(ObjectCalls, SecondInstanceSeesTheObjects) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    KeyTemplate data = Data(true, "shared data"), cert = Certificate("shared cert"), key = RsaPrivate(true, "shared key");
    ASSERT_EQ(Create(h, data), CKR_OK);
    ASSERT_EQ(Create(h, cert), CKR_OK);
    ASSERT_EQ(Create(h, key), CKR_OK);

    const std::string certHex = ToHex(Rsa().certificate);
    const std::string mirror = sim->Dir() + "/mirror-second";
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("KV_CHILD_SOCKET", sim->Socket().c_str(), 1);
        setenv("KV_CHILD_MIRROR", mirror.c_str(), 1);
        setenv("KV_CHILD_CERT", certHex.c_str(), 1);
        char filter[] = "--gtest_filter=ObjectCallsChild.*";
        char self[] = "/proc/self/exe";
        char* argv[] = {self, filter, nullptr};
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        execv(self, argv);
        _exit(127);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    // This instance sees what the other one removed.
    const auto left = Find(h);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(Label(h, left[0]), "shared key");
}

// The files on the token, seen over a connection of its own.
std::set<uint16_t> TokenFiles(SimProcess& sim) {
    testing_kv::TokenClient probe(sim.Socket());
    std::vector<uint16_t> files;
    EXPECT_EQ(probe.token->ConnectAndSetenv(), 0u);
    EXPECT_EQ(probe.token->GetFileList(files), 0u);
    return std::set<uint16_t>(files.begin(), files.end());
}

TEST_F(ObjectCalls, UsbCutWhileCreatingATokenKeyLeavesNoOrphanFile) {
    const std::set<uint16_t> before = TokenFiles(*sim);
    for (int cut = 1; cut < 40; cut += 3) {
        SCOPED_TRACE(cut);
        CK_SESSION_HANDLE h = Open(true);
        ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
        KeyTemplate key = RsaPrivate(true, "cut");
        sim->Control("send-fail-after " + std::to_string(cut) + " 1000");
        const CK_RV rv = Create(h, key);
        sim->Control("send-fail-after 0 0");
        // (The free-space check reports any failure to read the token's info as CKR_DEVICE_MEMORY.)
        EXPECT_TRUE(rv == CKR_OK || rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_MEMORY) << std::hex << rv;
        // A fresh binding, and the next key creation.
        C_CloseAllSessions(1);
        Bind();
        h = Open(true);
        ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
        KeyTemplate next = RsaPrivate(true, "next", OtherRsa());
        CK_OBJECT_HANDLE o = 0;
        ASSERT_EQ(Create(h, next, &o), CKR_OK);
        ASSERT_EQ(C_DestroyObject(h, o), CKR_OK);

        // Every key file is one an object names.
        std::set<uint16_t> named;
        for (CK_OBJECT_HANDLE found : Find(h)) {
            const Bytes ref = Attr(h, found, kKeyRef);
            if (ref.size() == sizeof(CK_ULONG)) named.insert(static_cast<uint16_t>(ref[0] | ref[1] << 8));
        }
        C_CloseAllSessions(1);
        for (uint16_t fid : TokenFiles(*sim)) {
            if (!before.count(fid) && fid >= 0x8000) {
                EXPECT_TRUE(named.count(fid)) << "orphan key file " << std::hex << fid;
            }
        }
        h = Open(true);
        ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
        for (CK_OBJECT_HANDLE found : Find(h)) C_DestroyObject(h, found);
        C_CloseAllSessions(1);
    }
}

// The flags a relying party checks before it trusts a key tell the key's
// history: only a key made here, sensitive (unextractable) ever since, is
// always sensitive (never extractable); CKA_KEY_GEN_MECHANISM names the
// mechanism that made a key here and nothing for a key brought in. A search
// sees the same values.
TEST_F(ObjectCalls, KeyHistoryFlagsTellTheTruth) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, "12345678"), CKR_OK);
    auto flag = [&](CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        const Bytes v = Attr(h, o, type);
        EXPECT_EQ(v.size(), 1u) << std::hex << type;
        return v.size() == 1 && v[0] != 0;
    };
    auto made = [&](CK_OBJECT_HANDLE o) {
        const Bytes v = Attr(h, o, CKA_KEY_GEN_MECHANISM);
        CK_ULONG mechanism = 0x12345;  // a value nobody gives
        if (v.size() == sizeof mechanism) std::memcpy(&mechanism, v.data(), sizeof mechanism);
        return mechanism;
    };
    auto tighten = [&](CK_OBJECT_HANDLE o) {
        const CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        CK_ATTRIBUTE change[] = {{CKA_SENSITIVE, const_cast<CK_BBOOL*>(&yes), 1},
                                 {CKA_EXTRACTABLE, const_cast<CK_BBOOL*>(&no), 1}};
        EXPECT_EQ(C_SetAttributeValue(h, o, change, 2), CKR_OK);
    };
    auto generateAes = [&](bool sensitive, bool extractable) {
        KeyTemplate t = testing_kv::SecretKey(CKK_AES).Flag(CKA_TOKEN, true).ULong(CKA_VALUE_LEN, 16);
        t.Flag(CKA_SENSITIVE, sensitive).Flag(CKA_EXTRACTABLE, extractable);
        CK_MECHANISM m{CKM_AES_KEY_GEN, nullptr, 0};
        CK_OBJECT_HANDLE key = 0;
        EXPECT_EQ(C_GenerateKey(h, &m, t.data(), t.size(), &key), CKR_OK);
        return key;
    };

    // Brought in loose, the template claiming a history it cannot have; tightened later.
    KeyTemplate loose = RsaPrivate(true, "imported").Flag(CKA_SENSITIVE, false).Flag(CKA_EXTRACTABLE, true);
    CK_OBJECT_HANDLE imported = 0;
    ASSERT_EQ(Create(h, loose, &imported), CKR_OK);
    tighten(imported);
    // Made here, sensitive and unextractable from the start; made here loose, tightened later.
    const CK_OBJECT_HANDLE strict = generateAes(true, false), late = generateAes(false, true);
    tighten(late);
    const struct {
        const char* name;
        CK_OBJECT_HANDLE key;
        bool alwaysSensitive, neverExtractable;
        CK_ULONG mechanism;
    } cases[] = {
        {"imported", imported, false, false, CK_UNAVAILABLE_INFORMATION},
        {"generated strict", strict, true, true, CKM_AES_KEY_GEN},
        {"generated, tightened later", late, false, false, CKM_AES_KEY_GEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(flag(c.key, CKA_SENSITIVE));
        EXPECT_EQ(flag(c.key, CKA_ALWAYS_SENSITIVE), c.alwaysSensitive);
        EXPECT_EQ(flag(c.key, CKA_NEVER_EXTRACTABLE), c.neverExtractable);
        EXPECT_EQ(made(c.key), c.mechanism);
    }
    KeyTemplate always;
    always.Flag(CKA_ALWAYS_SENSITIVE, true);
    EXPECT_EQ(Find(h, always), std::vector<CK_OBJECT_HANDLE>{strict});
    KeyTemplate byMechanism;
    byMechanism.ULong(CKA_KEY_GEN_MECHANISM, CKM_AES_KEY_GEN);
    std::vector<CK_OBJECT_HANDLE> aes = Find(h, byMechanism);
    std::sort(aes.begin(), aes.end());
    std::vector<CK_OBJECT_HANDLE> expected{strict, late};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(aes, expected);
}

}  // namespace
