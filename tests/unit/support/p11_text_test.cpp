#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "p11_mutex.h"
#include "p11_text.h"

TEST(P11StrToArray, PadsWithBlanksAndRefusesLongerText) {
    CK_UTF8CHAR field[8];
    std::memset(field, 'x', sizeof field);
    EXPECT_TRUE(P11_StrToArray(field, "abc", 8));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 8), "abc     ");

    EXPECT_TRUE(P11_StrToArray(field, "12345678", 8));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 8), "12345678");

    EXPECT_FALSE(P11_StrToArray(field, "123456789", 8));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 8), "12345678");
}

TEST(P11Mutex, LocksOnlyAfterCreate) {
    P11Mutex m;
    EXPECT_EQ(m.Lock(), CKR_MUTEX_BAD);
    EXPECT_EQ(m.Create(), CKR_OK);
    EXPECT_EQ(m.Lock(), CKR_OK);
    EXPECT_EQ(m.Lock(), CKR_OK);
    EXPECT_EQ(m.Unlock(), CKR_OK);
    EXPECT_EQ(m.Unlock(), CKR_OK);
    EXPECT_EQ(m.Destroy(), CKR_OK);
}
