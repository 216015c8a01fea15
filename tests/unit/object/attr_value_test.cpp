// Which attribute values an object takes, from a caller and from an object
// file, and what the object store makes of crafted object files.
#include <gtest/gtest.h>

#include "obj_factory.h"
#include "store_tarn.h"
#include "test_vectors.h"

using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

constexpr uint32_t kWrap = static_cast<uint32_t>(CKA_WRAP_TEMPLATE);
constexpr uint32_t kAllowed = static_cast<uint32_t>(CKA_ALLOWED_MECHANISMS);

TEST(AttrValue, LengthsByTypeAndForm) {
    // Stored templates: entries of type (8), length (8), value, little-endian.
    const char* kFlatKeyType = "0001000000000000" "0800000000000000" "1F00000000000000";
    struct Case {
        const char* what;
        uint32_t type;
        const char* hex;
        AttrForm form;
        bool taken;
    } cases[] = {
        {"bool of 1 byte", CKA_TOKEN, "01", AttrForm::Stored, true},
        {"empty bool", CKA_TOKEN, "", AttrForm::Caller, false},
        {"bool of 2 bytes", CKA_SIGN, "0100", AttrForm::Stored, false},
        {"ulong of 4 bytes", CKA_CLASS, "03000000", AttrForm::Stored, true},
        {"ulong of 8 bytes from a caller", CKA_KEY_TYPE, "1F00000000000000", AttrForm::Caller, true},
        {"ulong of 8 bytes in a file", CKA_KEY_TYPE, "1F00000000000000", AttrForm::Stored, false},
        {"ulong of 2 bytes", CKA_CLASS, "0300", AttrForm::Caller, false},
        {"empty ulong", CKA_VALUE_LEN, "", AttrForm::Stored, false},
        {"stored template", kWrap, kFlatKeyType, AttrForm::Stored, true},
        {"empty stored template", kWrap, "", AttrForm::Stored, true},
        {"stored template cut short", kWrap, "0001000000000000" "0800000000000000" "1F000000", AttrForm::Stored, false},
        {"stored template with a short header", kWrap, "00010000000000000800", AttrForm::Stored, false},
        {"stored template nesting a template", kWrap,
         "1102004000000000" "0000000000000000", AttrForm::Stored, false},
        {"stored template with a huge length", kWrap, "0001000000000000" "FFFFFFFFFFFFFFFF", AttrForm::Stored, false},
        {"three mechanisms", kAllowed, "8210000000000000" "8110000000000000" "0100000000000000", AttrForm::Stored, true},
        {"mechanisms cut short", kAllowed, "82100000000000008110", AttrForm::Stored, false},
        {"label of any length", CKA_LABEL, "616263", AttrForm::Stored, true},
    };
    for (const auto& c : cases) {
        IObj o;
        const ByteVec v = Hex(c.hex);
        const CK_RV rv = o.SetAttr(c.type, v.empty() ? nullptr : v.data(), static_cast<uint32_t>(v.size()), c.form);
        EXPECT_EQ(rv, c.taken ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID) << c.what;
        EXPECT_EQ(o.HasAttr(c.type), c.taken) << c.what;
    }
}

TEST(AttrValue, CallersTemplatesAndMechanismListsTakeTheStoredForm) {
    CK_KEY_TYPE aes = CKK_AES;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE inner[] = {{CKA_KEY_TYPE, &aes, sizeof aes}, {CKA_EXTRACTABLE, &no, 1}};
    CK_MECHANISM_TYPE mechs[] = {CKM_AES_CBC, CKM_AES_ECB, CKM_RSA_PKCS};
    IObj o;
    ASSERT_EQ(o.SetAttr(kWrap, inner, sizeof inner), CKR_OK);
    ASSERT_EQ(o.SetAttr(kAllowed, mechs, sizeof mechs), CKR_OK);
    EXPECT_EQ(ToHex(*o.Value(kWrap)), "0001000000000000" "0800000000000000" "1F00000000000000"
                                      "6201000000000000" "0100000000000000" "00");
    EXPECT_EQ(ToHex(*o.Value(kAllowed)), "8210000000000000" "8110000000000000" "0100000000000000");
    // The kept form copies over as it is (as the store does from object to object).
    IObj copy;
    EXPECT_EQ(copy.SetAttr(kWrap, o.Value(kWrap)->data(), 41, AttrForm::Stored), CKR_OK);
    EXPECT_EQ(*copy.Value(kWrap), *o.Value(kWrap));
    CK_ATTRIBUTE nested[] = {{CKA_UNWRAP_TEMPLATE, inner, sizeof inner}};
    EXPECT_EQ(o.SetAttr(kWrap, nested, sizeof nested), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(o.SetAttr(kAllowed, mechs, 12), CKR_ATTRIBUTE_VALUE_INVALID);
}

// Object files by hand: type (4), length (4), value, little-endian.
TEST(AttrValue, CraftedObjectFilesAreRefused) {
#define kSecretAes "00000000" "04000000" "04000000" "00010000" "04000000" "1F000000"  // CKA_CLASS, CKA_KEY_TYPE
    struct Case {
        const char* what;
        const char* hex;
        bool parsed;
    } cases[] = {
        {"data object", "00000000" "04000000" "00000000" "01000000" "01000000" "01", true},
        {"class given twice", "00000000" "04000000" "00000000" "00000000" "04000000" "04000000", false},
        {"token flag given twice", "00000000" "04000000" "00000000" "01000000" "01000000" "01" "01000000" "01000000" "00",
         false},
        {"empty token flag", "00000000" "04000000" "00000000" "01000000" "00000000", false},
        {"class in 2 bytes", "00000000" "02000000" "0000", false},
        // 24 bytes, the size of one CK_ATTRIBUTE: read as data, never as a pointer.
        {"wrap template of 24 bytes", kSecretAes
                                      "11020040" "18000000" "0001000000000000" "0800000000000000" "1F00000000000000",
         true},
        {"wrap template of 24 raw bytes", kSecretAes
                                          "11020040" "18000000" "4141414141414141" "0800000000000000" "4242424242424242",
         false},
        {"three allowed mechanisms", kSecretAes
                                     "00060040" "18000000" "8210000000000000" "8110000000000000" "0100000000000000",
         true},
    };
    for (const auto& c : cases) {
        const ByteVec file = Hex(c.hex);
        ObjPtr o = CStoreTarn::CreateObject(file.data(), file.size());
        EXPECT_EQ(static_cast<bool>(o), c.parsed) << c.what;
    }
#undef kSecretAes
}

// The subtype follows the class: a data object that also carries a key type
// and a certificate type reads back after the store wrote it in type order.
TEST(AttrValue, StoredObjectReadsBackWhateverItsOrder) {
    const ByteVec file = Hex("00000000" "04000000" "00000000"    // CKA_CLASS data
                             "00010000" "04000000" "00000000"    // CKA_KEY_TYPE
                             "80000000" "04000000" "00070000");  // CKA_CERTIFICATE_TYPE 0x700
    ObjPtr o = CStoreTarn::CreateObject(file.data(), file.size());
    ASSERT_TRUE(o);
    const ByteVec rewritten = CStoreTarn::Serialize(*o);
    ObjPtr again = CStoreTarn::CreateObject(rewritten.data(), rewritten.size());
    ASSERT_TRUE(again);
    EXPECT_EQ(CStoreTarn::Serialize(*again), rewritten);
}

}  // namespace
