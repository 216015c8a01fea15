// The pieces of the object calls that work without a token: template value
// shapes, the EC point form, container names and the search matcher.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "attr_find.h"
#include "cont_mgr_impl.h"
#include "container_name.h"
#include "guid_text.h"
#include "obj_factory.h"
#include "template_values.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Seq(uint8_t first, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Bytes Cat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

TEST(TemplateValues, ShapesOfValues) {
    const CK_BBOOL flag = 1;
    const uint32_t four = 3;
    const uint64_t eight = 3, above = 0x100000000ULL;
    const uint16_t two = 3;
    const char label[] = "any length";
    CK_ATTRIBUTE mechanisms[1] = {{CKA_CLASS, nullptr, 0}};
    struct Case {
        CK_ATTRIBUTE entry;
        CK_RV rv;
    } cases[] = {
        {{CKA_TOKEN, const_cast<CK_BBOOL*>(&flag), 1}, CKR_OK},
        {{CKA_TOKEN, const_cast<uint32_t*>(&four), 4}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{CKA_TOKEN, nullptr, 0}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{CKA_CLASS, const_cast<uint32_t*>(&four), 4}, CKR_OK},
        {{CKA_CLASS, const_cast<uint64_t*>(&eight), 8}, CKR_OK},
        {{CKA_CLASS, const_cast<uint64_t*>(&above), 8}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{CKA_VALUE_LEN, const_cast<uint16_t*>(&two), 2}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{CKA_LABEL, const_cast<char*>(label), sizeof label}, CKR_OK},
        {{CKA_LABEL, nullptr, CK_UNAVAILABLE_INFORMATION}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{CKA_WRAP_TEMPLATE, mechanisms, sizeof mechanisms}, CKR_OK},
        {{CKA_WRAP_TEMPLATE, mechanisms, 5}, CKR_ATTRIBUTE_VALUE_INVALID},
    };
    for (const Case& c : cases) EXPECT_EQ(CheckTemplateValues(&c.entry, 1), c.rv) << std::hex << c.entry.type;
}

TEST(TemplateValues, EcPointForms) {
    const Bytes xy256 = Seq(0x10, 64), xy192 = Seq(0x20, 48);
    const Bytes oddButNotPrefixed = Cat({0x05}, xy256);
    struct Case {
        Bytes given, kept;
    } cases[] = {
        {xy256, xy256},
        {Cat({0x04}, xy256), xy256},
        {Cat({0x04, 0x41, 0x04}, xy256), xy256},
        {xy192, xy192},
        {Cat({0x04}, xy192), xy192},
        {Cat({0x04, 0x31, 0x04}, xy192), xy192},
        {oddButNotPrefixed, oddButNotPrefixed},
        {Cat({0x04, 0x40, 0x04}, xy256), Cat({0x04, 0x40, 0x04}, xy256)},  // wrong DER length: kept as given
        {{}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(RawEcPoint(c.given.data(), c.given.size()), c.kept) << c.given.size();
}

TEST(ContainerNames, GuidLayoutAndCertificateNames) {
    const Bytes sixteen = Seq(0xF0, 16);
    EXPECT_EQ(GuidText(sixteen.data(), 16), "F0F1F2F3-F4F5-F6F7-F8F9-FAFBFCFDFEFF");
    const Bytes three{0xAB, 0x01, 0x02};
    EXPECT_EQ(GuidText(three.data(), 3), "AB010200-0000-0000-0000-000000000000");

    ContMgrImpl containers;
    CK_ULONG certClass = CKO_CERTIFICATE, certType = CKC_X_509, dataClass = CKO_DATA;
    const Bytes notDer = Seq(0, 40);
    CK_ATTRIBUTE cert[] = {{CKA_CLASS, &certClass, sizeof certClass},
                           {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
                           {CKA_VALUE, const_cast<uint8_t*>(notDer.data()), notDer.size()}};
    CK_ATTRIBUTE data[] = {{CKA_CLASS, &dataClass, sizeof dataClass}};
    std::string name;
    ASSERT_EQ(ObjectContainerName(containers, ObjFactory::CreateObject(cert, 3), name), CKR_OK);
    EXPECT_EQ(name, "00010203-0405-0607-0809-0A0B0C0D0E0F");
    EXPECT_EQ(ObjectContainerName(containers, ObjFactory::CreateObject(data, 1), name), RV_NOT_FOUND);

    uint32_t a = 99, b = 99;
    ASSERT_EQ(CreateFreshContainer(containers, &a), CKR_OK);
    ASSERT_EQ(CreateFreshContainer(containers, &b), CKR_OK);
    std::string nameA, nameB;
    ASSERT_EQ(containers.GetContainerName(a, nameA), 0u);
    ASSERT_EQ(containers.GetContainerName(b, nameB), 0u);
    EXPECT_NE(a, b);
    EXPECT_NE(nameA, nameB);
    EXPECT_EQ(nameA.size(), 36u);
}

TEST(AttrFind, EntriesMatchAsKept) {
    CK_ULONG cls = CKO_PUBLIC_KEY, keyType = CKK_EC;
    CK_BBOOL yes = CK_TRUE;
    const Bytes params{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, xy = Seq(1, 64);
    CK_ATTRIBUTE key[] = {{CKA_CLASS, &cls, sizeof cls},
                          {CKA_KEY_TYPE, &keyType, sizeof keyType},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_LABEL, nullptr, 0},
                          {CKA_EC_PARAMS, const_cast<uint8_t*>(params.data()), params.size()},
                          {CKA_EC_POINT, const_cast<uint8_t*>(xy.data()), xy.size()}};
    ObjPtr obj = ObjFactory::CreateObject(key, 6);
    ASSERT_TRUE(obj);
    const uint32_t cls4 = CKO_PUBLIC_KEY;
    const CK_ULONG otherCls = CKO_PRIVATE_KEY;
    const Bytes uncompressed = Cat({0x04}, xy), der = Cat({0x04, 0x41}, uncompressed), shorter = Seq(1, 63);
    const char label[] = "x";
    struct Case {
        const char* name;
        CK_ATTRIBUTE entry;
        bool match;
    } cases[] = {
        {"class, 8 bytes", {CKA_CLASS, &cls, sizeof cls}, true},
        {"class, 4 bytes", {CKA_CLASS, const_cast<uint32_t*>(&cls4), 4}, true},
        {"other class", {CKA_CLASS, const_cast<CK_ULONG*>(&otherCls), sizeof otherCls}, false},
        {"empty label", {CKA_LABEL, nullptr, 0}, true},
        {"some label", {CKA_LABEL, const_cast<char*>(label), 1}, false},
        {"raw point", {CKA_EC_POINT, const_cast<uint8_t*>(xy.data()), xy.size()}, true},
        {"uncompressed point", {CKA_EC_POINT, const_cast<uint8_t*>(uncompressed.data()), uncompressed.size()}, true},
        {"DER point", {CKA_EC_POINT, const_cast<uint8_t*>(der.data()), der.size()}, true},
        {"shorter point", {CKA_EC_POINT, const_cast<uint8_t*>(shorter.data()), shorter.size()}, false},
        {"absent attribute", {CKA_MODULUS, nullptr, 0}, false},
        {"empty default", {CKA_ID, nullptr, 0}, true},
        {"container name without containers", {0x80564D42UL, nullptr, 0}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(AttrFind(obj, &c.entry, 1, nullptr), c.match) << c.name;
    EXPECT_TRUE(AttrFind(obj, nullptr, 0, nullptr));
    CK_ATTRIBUTE both[] = {cases[0].entry, cases[4].entry};
    EXPECT_FALSE(AttrFind(obj, both, 2, nullptr));
}

}  // namespace
