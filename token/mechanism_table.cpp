#include "mechanism_table.h"

#include <cstddef>

#include "byte_order.h"

namespace {

struct Template {
    CK_MECHANISM_TYPE type;
    CK_ULONG min, max;
    CK_FLAGS flags;
};

const Template kStatic[] = {
    {CKM_RC4, 8, 2048, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_RC2_ECB, 8, 1024, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_RC2_CBC, 8, 1024, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_RC2_CBC_PAD, 8, 1024, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_AES_ECB, 128, 256, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_AES_CBC, 128, 256, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_AES_CBC_PAD, 128, 256, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_DES_ECB, 64, 64, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_DES_CBC, 64, 64, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_DES_CBC_PAD, 64, 64, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_DES3_ECB, 128, 192, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_DES3_CBC, 128, 192, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_DES3_CBC_PAD, 128, 192, CKF_ENCRYPT | CKF_DECRYPT},
    {CKM_MD2, 0, 0, CKF_DIGEST},
    {CKM_MD5, 0, 0, CKF_DIGEST},
    {CKM_SHA_1, 0, 0, CKF_DIGEST},
    {CKM_SHA224, 0, 0, CKF_DIGEST},
    {CKM_SHA256, 0, 0, CKF_DIGEST},
    {CKM_SHA384, 0, 0, CKF_DIGEST},
    {CKM_SHA512, 0, 0, CKF_DIGEST},
    {CKM_RC4_KEY_GEN, 8, 2048, CKF_GENERATE},
    {CKM_RC2_KEY_GEN, 8, 1024, CKF_GENERATE},
    {CKM_AES_KEY_GEN, 128, 256, CKF_GENERATE},
    {CKM_DES_KEY_GEN, 56, 56, CKF_GENERATE},
    {CKM_DES3_KEY_GEN, 112, 112, CKF_GENERATE},
    {CKM_GENERIC_SECRET_KEY_GEN, 8, 2048, CKF_GENERATE},
    {CKM_DH_PKCS_KEY_PAIR_GEN, 128, 2048, CKF_GENERATE_KEY_PAIR},
    {CKM_DH_PKCS_DERIVE, 128, 2048, CKF_DERIVE},
    {CKM_SHA_1_HMAC, 8, 2048, CKF_SIGN | CKF_VERIFY},
};

constexpr CK_FLAGS kRsaAll = CKF_ENCRYPT | CKF_DECRYPT | CKF_SIGN | CKF_VERIFY | CKF_WRAP | CKF_UNWRAP;
// Signing with recovery has no class here, nor has raw RSA verification
// with recovery: those flags are never claimed, whatever the token's own
// records say; PKCS#1 verification with recovery runs in software.
constexpr CK_FLAGS kRecover = CKF_SIGN_RECOVER | CKF_VERIFY_RECOVER;
const Template kRsa[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, 512, 2048, CKF_GENERATE_KEY_PAIR},
    {CKM_RSA_PKCS, 512, 2048, kRsaAll | CKF_VERIFY_RECOVER},
    {CKM_MD2_RSA_PKCS, 512, 2048, CKF_SIGN | CKF_VERIFY},
    {CKM_MD5_RSA_PKCS, 512, 2048, CKF_SIGN | CKF_VERIFY},
    {CKM_SHA1_RSA_PKCS, 512, 2048, CKF_SIGN | CKF_VERIFY},
    {CKM_SHA224_RSA_PKCS, 512, 2048, CKF_SIGN | CKF_VERIFY},
    {CKM_SHA256_RSA_PKCS, 512, 2048, CKF_SIGN | CKF_VERIFY},
    {CKM_SHA384_RSA_PKCS, 512, 2048, CKF_SIGN | CKF_VERIFY},
    {CKM_SHA512_RSA_PKCS, 1024, 2048, CKF_SIGN | CKF_VERIFY},
    {CKM_RSA_X_509, 512, 2048, kRsaAll},
};

struct Record {
    uint32_t type;
    uint16_t min, max;
    uint32_t flags;
};

}  // namespace

bool BuildMechanismTable(const uint8_t* answer, uint32_t length, MechanismTable& table) {
    if (length < 2) return false;
    const uint32_t n = LoadBe16(answer);
    if (2 + 12ull * n > length) return false;
    std::vector<Record> records;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* r = answer + 2 + 12 * i;
        records.push_back({LoadBe32(r), LoadBe16(r + 4), LoadBe16(r + 6), LoadBe32(r + 8)});
    }
    auto find = [&records](CK_MECHANISM_TYPE type) -> const Record* {
        for (const auto& r : records) {
            if (r.type == type) return &r;
        }
        return nullptr;
    };
    table = MechanismTable();
    for (size_t i = 0; i < records.size() && i < 128; ++i) table.hardware.push_back(records[i].type);

    for (const auto& t : kStatic) {
        CK_MECHANISM_INFO info{t.min, t.max, t.flags};
        if (const Record* r = find(t.type)) {
            info.ulMinKeySize = r->min;
            info.ulMaxKeySize = r->max;
            info.flags |= r->flags;
        }
        table.info.emplace(t.type, info);
    }
    static const CK_ULONG kBitSizes[4] = {512, 768, 1024, 2048};
    CK_ULONG genMin = 0, genMax = 0;
    for (const auto& t : kRsa) {
        CK_MECHANISM_INFO info{t.min, t.max, t.flags};
        if (const Record* r = find(t.type)) {
            // Key-size bits: the lowest set gives the minimum, the highest the maximum.
            const uint8_t bits = static_cast<uint8_t>(r->max & 0xFF);
            bool first = true;
            for (int b = 0; b < 4; ++b) {
                if (!(bits & (1 << b))) continue;
                if (first) info.ulMinKeySize = kBitSizes[b];
                info.ulMaxKeySize = kBitSizes[b];
                first = false;
            }
            info.flags |= r->flags & ~kRecover;
            if (t.type == CKM_RSA_PKCS_KEY_PAIR_GEN) {
                table.rsaLengthBits = bits;
                genMin = info.ulMinKeySize;
                genMax = info.ulMaxKeySize;
            }
        }
        table.info.emplace(t.type, info);
    }
    for (const auto& r : records) table.info.emplace(r.type, CK_MECHANISM_INFO{r.min, r.max, r.flags & ~kRecover});
    if (genMax && genMin < 1024) {
        auto& sha512 = table.info[CKM_SHA512_RSA_PKCS];
        sha512.ulMinKeySize = 1024;
        sha512.ulMaxKeySize = genMax;
    }
    return true;
}
