// The result-code tables, each row worked out from the PKCS#11 2.20 code
// values (written out as numbers here) and the ISO 7816-4 status words.
#include "result_codes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Row {
    CK_RV in, out;
    const char* what;
};

void ExpectRows(CK_RV (*map)(CK_RV), std::initializer_list<Row> rows) {
    for (const Row& r : rows) EXPECT_EQ(map(r.in), r.out) << r.what;
}

TEST(ResultCodes, TokenCommandResult) {
    struct Case {
        uint16_t sw;
        RV rv;
        const char* what;
    } cases[] = {
        {0x9000, 0x00, "success"},
        {0xFFFD, 0x00010007, "not encoded: the encoding-failure code"},
        {0xFFFE, 0x30, "exchange lost: CKR_DEVICE_ERROR"},
        {0xFFFF, 0x30, "lock or channel lost: CKR_DEVICE_ERROR"},
        {0xFFFC, 0xE0, "the card gone: CKR_TOKEN_NOT_PRESENT"},
        {0xFFFB, 0x32, "the device gone: CKR_DEVICE_REMOVED"},
        {0x6982, 0x101, "security status not satisfied: CKR_USER_NOT_LOGGED_IN"},
        {0x6A84, 0x31, "no memory space: CKR_DEVICE_MEMORY"},
        {0x6985, 0x80100026, "conditions of use: the no-such-file smart-card code"},
    };
    for (const Case& c : cases) EXPECT_EQ(CommandResult(c.sw), c.rv) << c.what;
    EXPECT_TRUE(TransferFailed(0xFFFE));
    EXPECT_TRUE(TransferFailed(0xFFFF));
    EXPECT_TRUE(TransferFailed(0xFFFC));
    EXPECT_TRUE(TransferFailed(0xFFFB));
    EXPECT_FALSE(TransferFailed(0xFFFD));  // never sent, but nothing was lost either
    EXPECT_FALSE(TransferFailed(0x6F00));
}

TEST(ResultCodes, PinStatus) {
    struct Case {
        uint16_t sw;
        RV rv;
    } cases[] = {
        {0x9000, 0x00}, {0x6983, 0xA4}, {0x63C0, 0xA4},  // blocked or no try left: CKR_PIN_LOCKED
        {0x63C2, 0xA0}, {0x63C1, 0xA0}, {0x6A88, 0xA0},  // CKR_PIN_INCORRECT
    };
    for (const Case& c : cases) EXPECT_EQ(PinStatusRv(c.sw), c.rv) << std::hex << c.sw;
}

TEST(ResultCodes, StatusWordTexts) {
    EXPECT_STREQ(StatusWordText(0x6982), "security status not satisfied");
    EXPECT_STREQ(StatusWordText(0x6A82), "file or application not found");
    EXPECT_NE(std::string(StatusWordText(0x63C1)).find("tries left"), std::string::npos);
    EXPECT_EQ(StatusWordText(0x6A85), nullptr);  // not one the token gives
    // Every status word the map gives a meaning has a text.
    for (uint32_t sw = 0x6000; sw <= 0x9FFF; ++sw) {
        const auto word = static_cast<uint16_t>(sw);
        if (GetDevErr(word) != 0x30) {
            EXPECT_NE(StatusWordText(word), nullptr) << std::hex << sw;
        }
    }
}

TEST(ResultCodes, FactoryRefusals) {
    ExpectRows(KeyFactoryRefusalRv, {
        {0x00010005, 0x70, "no implementation: CKR_MECHANISM_INVALID"},
        {0x07, 0x05, "arguments between layers: CKR_GENERAL_ERROR"},
        {0x00010007, 0x05, "encoding failure: CKR_GENERAL_ERROR"},
        {0x80100024, 0x05, "smart-card code: CKR_GENERAL_ERROR"},
        {0x80000000, 0x05, "vendor code: CKR_GENERAL_ERROR"},
        {0xD1, 0xD1, "CKR_TEMPLATE_INCONSISTENT passes"},
        {0x60, 0x60, "CKR_KEY_HANDLE_INVALID passes"},
    });
    ExpectRows(OperationFactoryRefusalRv, {
        {0x00010005, 0x70, "no implementation: CKR_MECHANISM_INVALID"},
        {0x70, 0x70, "CKR_MECHANISM_INVALID passes"},
        {0x71, 0x71, "CKR_MECHANISM_PARAM_INVALID passes"},
        {0x63, 0x63, "CKR_KEY_TYPE_INCONSISTENT passes"},
        {0x62, 0x62, "CKR_KEY_SIZE_RANGE passes"},
        {0xD1, 0x05, "CKR_TEMPLATE_INCONSISTENT: CKR_GENERAL_ERROR"},
        {0x07, 0x05, "CKR_ARGUMENTS_BAD: CKR_GENERAL_ERROR"},
    });
}

TEST(ResultCodes, KeyValuesAndTokenWrites) {
    ExpectRows(TemplateValuesRv, {
        {0x07, 0xD1, "refused argument: CKR_TEMPLATE_INCONSISTENT"},
        {0x00010007, 0xD1, "values that cannot be encoded: CKR_TEMPLATE_INCONSISTENT"},
        {0x30, 0x30, "CKR_DEVICE_ERROR passes"},
        {0x00, 0x00, "success"},
    });
    ExpectRows(TokenWriteRv, {
        {0x07, 0x30, "refused argument: CKR_DEVICE_ERROR"},
        {0x00010007, 0x30, "not encoded: CKR_DEVICE_ERROR"},
        {0x31, 0x31, "CKR_DEVICE_MEMORY passes"},
    });
}

TEST(ResultCodes, EndedOperation) {
    ExpectRows(EndedOperationRv, {
        {0x00, 0x00, "success"},
        {0x21, 0x21, "CKR_DATA_LEN_RANGE"},
        {0x30, 0x30, "CKR_DEVICE_ERROR"},
        {0xE0, 0xE0, "CKR_TOKEN_NOT_PRESENT"},
        {0x32, 0x32, "CKR_DEVICE_REMOVED"},
        {0x60, 0x60, "CKR_KEY_HANDLE_INVALID"},
        {0x40, 0x40, "CKR_ENCRYPTED_DATA_INVALID"},
        {0x150, 0x05, "CKR_BUFFER_TOO_SMALL: CKR_GENERAL_ERROR"},
        {0x07, 0x05, "CKR_ARGUMENTS_BAD: CKR_GENERAL_ERROR"},
        {0x00010007, 0x05, "encoding failure: CKR_GENERAL_ERROR"},
    });
}

TEST(ResultCodes, ApplicationEdge) {
    ExpectRows(ToApplicationRv, {
        {0x00010004, 0x150, "short buffer: CKR_BUFFER_TOO_SMALL"},
        {0x00010005, 0x54, "not provided: CKR_FUNCTION_NOT_SUPPORTED"},
        {0x00010007, 0x07, "not encoded: CKR_ARGUMENTS_BAD, as before it had a code"},
        {0x00010001, 0x05, "already exists: CKR_GENERAL_ERROR"},
        {0x00010002, 0x05, "no container: CKR_GENERAL_ERROR"},
        {0x00010003, 0x05, "not found: CKR_GENERAL_ERROR"},
        {0x80100024, 0x30, "smart-card code: CKR_DEVICE_ERROR"},
        {0x8000FFFF, 0x30, "unexpected: CKR_DEVICE_ERROR"},
        {0x80000000, 0x30, "CKR_VENDOR_DEFINED: CKR_DEVICE_ERROR"},
        {0xC0, 0xC0, "CKR_SIGNATURE_INVALID passes"},
        {0x00, 0x00, "success"},
    });
}

}  // namespace
