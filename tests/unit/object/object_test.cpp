// Objects from templates: narrowing, defaults, required attributes, class
// and type checks, and the factory's registry.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "obj_factory.h"

namespace {

struct Tmpl {
    std::vector<CK_ATTRIBUTE> attrs;
    std::vector<std::unique_ptr<CK_ULONG>> ulongs;
    std::vector<std::unique_ptr<CK_BBOOL>> bools;
    Tmpl& Ulong(CK_ATTRIBUTE_TYPE t, CK_ULONG v) {
        ulongs.push_back(std::make_unique<CK_ULONG>(v));
        attrs.push_back({t, ulongs.back().get(), sizeof(CK_ULONG)});
        return *this;
    }
    Tmpl& Bool(CK_ATTRIBUTE_TYPE t, bool v) {
        bools.push_back(std::make_unique<CK_BBOOL>(v));
        attrs.push_back({t, bools.back().get(), 1});
        return *this;
    }
    Tmpl& Raw(CK_ATTRIBUTE_TYPE t, const void* p, CK_ULONG len) {
        attrs.push_back({t, const_cast<void*>(p), len});
        return *this;
    }
    kv::shared_ptr<IObj> Create() { return ObjFactory::CreateObject(attrs.data(), attrs.size()); }
};

int Bool(const kv::shared_ptr<IObj>& o, uint32_t t) {
    uint8_t v = 0xEE;
    uint32_t len = 1;
    if (o->GetAttr(t, &v, &len) != CKR_OK || len != 1) return -1;
    return v;
}

uint32_t Size(const kv::shared_ptr<IObj>& o, uint32_t t) {
    uint32_t len = 0xFFFF;
    return o->GetAttr(t, nullptr, &len) == CKR_OK ? len : 0xFFFFFFFF;
}

TEST(ObjectAttributes, NarrowingAndLengthProtocol) {
    IObj o;
    CK_ULONG cls = CKO_DATA;
    ASSERT_EQ(o.SetAttr(CKA_CLASS, &cls, 8), CKR_OK);
    uint32_t v = 0, len = 4;
    ASSERT_EQ(o.GetAttr(CKA_CLASS, &v, &len), CKR_OK);
    EXPECT_EQ(len, 4u);
    const char label[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    o.SetAttr(CKA_LABEL, label, 8);
    len = 0;
    EXPECT_EQ(o.GetAttr(CKA_LABEL, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 8u);
    char buf[8];
    len = 7;
    EXPECT_EQ(o.GetAttr(CKA_LABEL, buf, &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 7u);
    len = 9;
    EXPECT_EQ(o.GetAttr(CKA_ID, buf, &len), RV_NOT_FOUND);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(o.GetAttr(CKA_ID, buf, nullptr), CKR_ARGUMENTS_BAD);
    o.SetAttr(CKA_ID, nullptr, 0);
    len = 5;
    EXPECT_EQ(o.GetAttr(CKA_ID, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(o.SetAttr(CKA_VALUE, nullptr, 4), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_FALSE(o.HasAttr(CKA_VALUE));
}

TEST(ObjectFactory, TemplatesAreNotChangedAndNullValuesRefused) {
    Tmpl t;
    t.Ulong(CKA_CLASS, CKO_DATA);
    EXPECT_TRUE(t.Create());
    EXPECT_EQ(t.attrs[0].ulValueLen, sizeof(CK_ULONG));  // the caller's template keeps its length
    t.Raw(CKA_VALUE, nullptr, 3);
    EXPECT_FALSE(t.Create());
}

TEST(ObjectFactory, DataObjectDefaults) {
    Tmpl t;
    auto o = t.Ulong(CKA_CLASS, CKO_DATA).Create();
    ASSERT_TRUE(o);
    for (uint32_t a : {CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE, CKA_LABEL}) EXPECT_EQ(Size(o, a), 0u) << a;
    EXPECT_EQ(Bool(o, CKA_TOKEN), 0);
    EXPECT_EQ(Bool(o, CKA_PRIVATE), 0);
    EXPECT_EQ(Bool(o, CKA_MODIFIABLE), 1);
}

TEST(ObjectFactory, KeyDefaultsOnlyWhereAbsent) {
    Tmpl aes;
    auto o = aes.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_AES).Create();
    ASSERT_TRUE(o);
    for (uint32_t a : {CKA_ENCRYPT, CKA_DECRYPT, CKA_EXTRACTABLE}) EXPECT_EQ(Bool(o, a), 1) << a;
    // Nothing is trusted unless the security officer says so.
    for (uint32_t a : {CKA_SENSITIVE, CKA_SIGN, CKA_VERIFY, CKA_WRAP, CKA_UNWRAP, CKA_DERIVE, CKA_LOCAL, CKA_TRUSTED})
        EXPECT_EQ(Bool(o, a), 0) << a;

    Tmpl rsa;
    auto p = rsa.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_SIGN, false).Create();
    ASSERT_TRUE(p);
    EXPECT_EQ(Bool(p, CKA_SIGN), 0);
    EXPECT_EQ(Bool(p, CKA_DECRYPT), 1);
    EXPECT_EQ(Bool(p, CKA_EXTRACTABLE), 0);
    EXPECT_EQ(Bool(p, CKA_ALWAYS_AUTHENTICATE), 0);
    EXPECT_EQ(Size(p, CKA_MODULUS), 0u);

    Tmpl ec;
    auto e = ec.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_EC).Create();
    ASSERT_TRUE(e);
    EXPECT_EQ(Size(e, CKA_EC_PARAMS), 0u);
    EXPECT_EQ(Bool(e, CKA_VERIFY), 1);

    Tmpl dh;
    auto d = dh.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_DH).Create();
    ASSERT_TRUE(d);
    EXPECT_EQ(Bool(d, CKA_DERIVE), 1);
    EXPECT_EQ(Bool(d, CKA_ENCRYPT), 0);
}

TEST(ObjectFactory, RefusedTemplates) {
    const uint16_t shortClass = 0;
    const CK_ULONG dsa = CKK_DSA, cert = CKO_CERTIFICATE, wrongType = CKC_X_509_ATTR_CERT;
    struct Case {
        const char* what;
        std::function<void(Tmpl&)> build;
    } cases[] = {
        {"no class", [](Tmpl& t) { t.Ulong(CKA_LABEL, 1); }},
        {"class of two bytes", [&](Tmpl& t) { t.Raw(CKA_CLASS, &shortClass, 2); }},
        {"DSA public key", [&](Tmpl& t) { t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Raw(CKA_KEY_TYPE, &dsa, 8); }},
        {"key without key type", [](Tmpl& t) { t.Ulong(CKA_CLASS, CKO_SECRET_KEY); }},
        {"certificate without type", [&](Tmpl& t) { t.Raw(CKA_CLASS, &cert, 8); }},
        {"attribute certificate", [&](Tmpl& t) { t.Raw(CKA_CLASS, &cert, 8).Raw(CKA_CERTIFICATE_TYPE, &wrongType, 8); }},
        {"hardware feature", [](Tmpl& t) { t.Ulong(CKA_CLASS, CKO_HW_FEATURE); }},
    };
    for (auto& c : cases) {
        Tmpl t;
        c.build(t);
        EXPECT_FALSE(t.Create()) << c.what;
    }
}

// Runs a registered creator's rule on a template directly.
CK_RV RunRule(CK_OBJECT_CLASS creatorClass, CK_ULONG creatorType, const CK_ATTRIBUTE* t, CK_ULONG n) {
    kv::shared_ptr<IObj> o;
    if (ObjFactory::GetCreators()[creatorClass][creatorType](o) != CKR_OK) return CKR_GENERAL_ERROR;
    return o->Init(t, n);
}

TEST(ObjectRules, ClassAndTypeChecksGiveIncompleteOrInconsistent) {
    CK_ULONG secret = CKO_SECRET_KEY, pub = CKO_PUBLIC_KEY, des = CKK_DES, rsa = CKK_RSA;
    const uint16_t rsaShort = CKK_RSA;
    CK_ATTRIBUTE secretDes[] = {{CKA_CLASS, &secret, sizeof secret}, {CKA_KEY_TYPE, &des, sizeof des}};
    CK_ATTRIBUTE secretRsa[] = {{CKA_CLASS, &secret, sizeof secret}, {CKA_KEY_TYPE, &rsa, sizeof rsa}};
    CK_ATTRIBUTE pubShort[] = {{CKA_CLASS, &pub, sizeof pub}, {CKA_KEY_TYPE, const_cast<uint16_t*>(&rsaShort), 2}};
    EXPECT_EQ(RunRule(CKO_SECRET_KEY, CKK_AES, secretDes, 1), CKR_TEMPLATE_INCOMPLETE);   // no key type
    EXPECT_EQ(RunRule(CKO_SECRET_KEY, CKK_AES, secretDes, 2), CKR_TEMPLATE_INCONSISTENT); // DES type, AES class
    EXPECT_EQ(RunRule(CKO_PUBLIC_KEY, CKK_RSA, secretRsa, 2), CKR_TEMPLATE_INCONSISTENT); // secret class
    EXPECT_EQ(RunRule(CKO_PRIVATE_KEY, CKK_RSA, secretRsa, 2), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(RunRule(CKO_PUBLIC_KEY, CKK_RSA, pubShort, 2), CKR_ATTRIBUTE_VALUE_INVALID);  // never zero-filled
}

TEST(ObjectFactory, FirstRegistrationWins) {
    auto creator = ObjFactory::GetCreators()[CKO_DATA][0];
    EXPECT_FALSE(ObjFactory::RegistObjCreator(CKO_DATA, 0, [](kv::shared_ptr<IObj>&) -> CK_RV { return 1; }));
    EXPECT_EQ(ObjFactory::GetCreators()[CKO_DATA][0], creator);
}

TEST(ObjectAttributes, TemplatesInArrayAttributesAreCopiedWithoutPointers) {
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE inner[] = {{CKA_ENCRYPT, &yes, 1}};
    IObj o;
    ASSERT_EQ(o.SetAttr(static_cast<uint32_t>(CKA_WRAP_TEMPLATE), inner, sizeof inner), CKR_OK);
    yes = CK_FALSE;  // the caller's memory changes afterwards
    const ByteVec* v = o.Value(static_cast<uint32_t>(CKA_WRAP_TEMPLATE));
    ASSERT_TRUE(v);
    ASSERT_EQ(v->size(), 17u);
    EXPECT_EQ((*v)[0], CKA_ENCRYPT & 0xFF);
    EXPECT_EQ((*v)[8], 1);
    EXPECT_EQ((*v)[16], 1);
    CK_ATTRIBUTE bad[] = {{CKA_ENCRYPT, nullptr, 1}};
    EXPECT_EQ(o.SetAttr(static_cast<uint32_t>(CKA_UNWRAP_TEMPLATE), bad, sizeof bad), CKR_ATTRIBUTE_VALUE_INVALID);
}

}  // namespace
