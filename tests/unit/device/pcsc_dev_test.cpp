// The PC/SC device's rules that need no PC/SC service: which answer to
// reset is this token's, and what a PC/SC failure means to the caller.
// ATRs worked out by hand from ISO/IEC 7816-3, result values from the PC/SC
// Workgroup's published interface (part 5).
#include <gtest/gtest.h>

#include "pcsc_dev.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;

namespace {

// Historical bytes 80 58 "KVTOKEN1" ("4B56544F4B454E31").
TEST(PcscAtr, TokenIsKnownByItsHistoricalBytes) {
    struct Case {
        const char* atr;
        bool token;
    } cases[] = {
        // T0 8A: TD1 follows, ten historical bytes; TD1 80: TD2 follows, T=0;
        // TD2 01: T=1, nothing follows; then the historical bytes and TCK.
        {"3B8A8001" "80584B56544F4B454E31" "A4", true},
        // Other interface bytes: T0 DA (TA1 TC1 TD1), TD1 81 (TD2), TD2 B1
        // (TA3 TB3 TD3), TD3 1F (TA4); the same historical bytes.
        {"3BDA18FF81B1FE751F03" "80584B56544F4B454E31" "00", true},
        {"3B0A" "80584B56544F4B454E31", true},               // T=0 only: no TCK
        {"3B8A8001" "80584B56544F4B454E32" "A7", false},     // "KVTOKEN2"
        {"3B898001" "80584B56544F4B454E" "96", false},       // nine bytes: one short
        {"3B8A8001" "80584B56544F4B454E", false},            // ATR cut inside them
        {"3BFA1800", false},                                 // interface bytes missing
        {"3B", false},
        {"", false},
    };
    for (const auto& c : cases) {
        Bytes atr = Hex(c.atr);
        EXPECT_EQ(pcsc_dev_t::IsTokenAtr(atr.data(), atr.size()), c.token) << c.atr;
    }
}

TEST(PcscResult, CardGoneReaderGoneOrFailure) {
    struct Case {
        unsigned long code;
        RV rv;
    } cases[] = {
        {0x00000000, 0},                           // SCARD_S_SUCCESS
        {0x80100069, CKR_TOKEN_NOT_PRESENT},       // SCARD_W_REMOVED_CARD
        {0x8010000C, CKR_TOKEN_NOT_PRESENT},       // SCARD_E_NO_SMARTCARD
        {0x80100017, CKR_DEVICE_REMOVED},          // SCARD_E_READER_UNAVAILABLE
        {0x8010001D, CKR_DEVICE_REMOVED},          // SCARD_E_NO_SERVICE
        {0x80100013, CKR_DEVICE_ERROR},            // SCARD_F_COMM_ERROR
        {0x80100068, CKR_DEVICE_ERROR},            // SCARD_W_RESET_CARD, when reconnecting did not help
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pcsc_dev_t::Result(static_cast<long>(c.code)), c.rv) << std::hex << c.code;
    }
}

}  // namespace
