#include <gtest/gtest.h>

#include <cstring>

#include "kv_types.h"
#include "utils.h"

TEST(HexToAsc, UpperCaseDigitsAndTerminator) {
    const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(HexToAsc(out, bytes, 3), 6);
    EXPECT_STREQ(out, "00ABFF");
}

TEST(HexToAsc, EmptyAndNegativeLengthWriteOnlyTheTerminator) {
    char buf[4] = {'g', 'x', 'x', 'x'};
    EXPECT_EQ(HexToAsc(buf + 1, nullptr, 0), 0);
    EXPECT_EQ(buf[1], 0);
    buf[1] = 'x';
    EXPECT_EQ(HexToAsc(buf + 1, nullptr, -5), 0);
    EXPECT_EQ(buf[0], 'g');  // nothing written before the buffer
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(buf[2], 'x');
}

TEST(Itoa, DigitsSignsAndRadixEdges) {
    struct Case {
        int32_t value;
        int32_t radix;
        const char* text;
    } cases[] = {
        {0, 10, "0"},
        {-255, 16, "-ff"},
        {INT32_MIN, 10, "-2147483648"},
        {INT32_MAX, 10, "2147483647"},
        {INT32_MIN, 2, "-10000000000000000000000000000000"},
        {35, 36, "z"},
        {36, 36, "10"},
        {5, 2, "101"},
        {-7, 8, "-7"},
        {12345, 1, ""},
        {12345, 37, ""},
        {12345, 0, ""},
        {12345, -10, ""},
    };
    for (const auto& c : cases) {
        char buf[40];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(itoa(c.value, buf, c.radix), buf);
        EXPECT_STREQ(buf, c.text) << c.value << " radix " << c.radix;
    }
}

TEST(ToStringA, CopiesBytesWhateverTheSelectors) {
    EXPECT_EQ(ToStringA("", 1, 0), "");
    EXPECT_EQ(ToStringA("Ab\xE9z", 1, 1), "Ab\xE9z");
}

TEST(ConvertU2ToCharArray, FixedWidthFieldWithTerminator) {
    uint16_t src[40];
    for (int i = 0; i < 40; ++i) src[i] = static_cast<uint16_t>('a' + (i % 26));
    src[3] = 0;
    src[0] = 0x0141;
    char dst[41];
    std::memset(dst, 'x', sizeof dst);
    ConvertU2ToCharArray(src, dst, 40);
    EXPECT_EQ(dst[0], 0x41);
    EXPECT_EQ(dst[3], 0);
    EXPECT_EQ(dst[38], 'a' + (38 % 26));  // copying goes on past the zero unit
    EXPECT_EQ(dst[39], 0);
    EXPECT_EQ(dst[40], 'x');

    char one[2] = {'x', 'x'};
    ConvertU2ToCharArray(src, one, 1);
    ConvertU2ToCharArray(src, one, 0);
    EXPECT_EQ(one[0], 'x');
}

TEST(ConvertCharArrayToU2, WidensWithoutSignExtension) {
    const char src[] = {'\xE9', 'A', '\x80'};
    uint16_t dst[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    ConvertCharArrayToU2(dst, src, 3);
    EXPECT_EQ(dst[0], 0x00E9);
    EXPECT_EQ(dst[1], 0x0041);
    EXPECT_EQ(dst[2], 0x0080);
    EXPECT_EQ(dst[3], 0xFFFF);  // no terminator
}

TEST(ResizeLength, NarrowsOnlyEightByteULongAttributes) {
    struct Case {
        uint32_t type;
        uint32_t len;
        uint32_t expected;
    } cases[] = {
        {CKA_LABEL, 8, 8},           {CKA_CLASS, 4, 4},          {CKA_CLASS, 8, 4},
        {CKA_VENDOR_KEY_REF, 8, 4},  {CKA_VALUE_LEN, 8, 4},      {CKA_MODULUS_BITS, 8, 4},
        {CKA_CERTIFICATE_CATEGORY, 8, 4}, {CKA_KEY_TYPE, 2, 2},  {CKA_VALUE, 8, 8},
    };
    for (auto c : cases) {
        uint32_t len = c.len;
        EXPECT_EQ(ResizeLength(c.type, &len), c.expected) << std::hex << c.type;
        EXPECT_EQ(len, c.expected);
    }
}

TEST(RestoreInitialLength, WidensOnlyFourByteULongEntries) {
    CK_ATTRIBUTE tmpl[] = {
        {CKA_KEY_TYPE, nullptr, 4},
        {CKA_LABEL, nullptr, 4},
        {CKA_CLASS, nullptr, CK_UNAVAILABLE_INFORMATION},
        {CKA_VENDOR_KEY_REF, nullptr, 4},
    };
    RestoreInitialLength(tmpl, 3);
    EXPECT_EQ(tmpl[0].ulValueLen, 8u);
    EXPECT_EQ(tmpl[1].ulValueLen, 4u);
    EXPECT_EQ(tmpl[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[3].ulValueLen, 4u);  // beyond count
}
