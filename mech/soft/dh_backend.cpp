#include "dh_backend.h"

#include <mbedtls/dhm.h>
#include <mbedtls/platform_util.h>

#include <algorithm>
#include <climits>

#include "random_backend.h"

namespace {

// mbed TLS's random callback over the library's generator.
int DrbgRandom(void*, unsigned char* out, size_t len) {
    while (len) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(len, UINT32_MAX));
        if (genrate_random_bytes(out, n) != n) return MBEDTLS_ERR_DHM_MAKE_PUBLIC_FAILED;
        out += n;
        len -= n;
    }
    return 0;
}

// 1 < v < p - 1: neither 0, 1 nor p - 1, whose powers are trivial.
bool InRange(const mbedtls_mpi& v, const mbedtls_mpi& p) {
    mbedtls_mpi upper;
    mbedtls_mpi_init(&upper);
    const bool ok = mbedtls_mpi_sub_int(&upper, &p, 1) == 0 && mbedtls_mpi_cmp_int(&v, 1) > 0 &&
                    mbedtls_mpi_cmp_mpi(&v, &upper) < 0;
    mbedtls_mpi_free(&upper);
    return ok;
}

bool Export(const mbedtls_mpi& v, ByteVec& out) {
    out.assign(mbedtls_mpi_size(&v), 0);
    if (mbedtls_mpi_write_binary(&v, out.data(), out.size()) == 0) return true;
    mbedtls_platform_zeroize(out.data(), out.size());
    out.clear();
    return false;
}

const uint8_t* SkipZeros(const uint8_t* p, size_t& len) {
    while (len && *p == 0) {
        ++p;
        --len;
    }
    return p;
}

// The context's X and GY are set directly where a kept private value or a
// checked peer value is loaded; its P and G always come first, so that the
// lengths it checks against are those of the prime.
class MbedDhParty : public DhParty {
public:
    MbedDhParty() { mbedtls_dhm_init(&ctx_); }
    ~MbedDhParty() override { mbedtls_dhm_free(&ctx_); }  // zeroes X, K and the blinding values
    MbedDhParty(const MbedDhParty&) = delete;
    MbedDhParty& operator=(const MbedDhParty&) = delete;

    bool SetGroup(const uint8_t* p, size_t pLen, const uint8_t* g, size_t gLen) {
        mbedtls_mpi P, G;
        mbedtls_mpi_init(&P);
        mbedtls_mpi_init(&G);
        const bool ok = pLen && gLen && mbedtls_mpi_read_binary(&P, p, pLen) == 0 &&
                        mbedtls_mpi_read_binary(&G, g, gLen) == 0 && mbedtls_mpi_size(&P) <= kMaxPrimeBytes &&
                        mbedtls_mpi_cmp_int(&P, 0) > 0 && mbedtls_dhm_set_group(&ctx_, &P, &G) == 0;
        mbedtls_mpi_free(&P);
        mbedtls_mpi_free(&G);
        return ok;
    }

    bool Generate(size_t privateBytes) override {
        // mbed TLS takes the private value's size in bytes.
        const int xSize = static_cast<int>(std::min(privateBytes, ctx_.len));
        ByteVec gx(ctx_.len);
        return mbedtls_dhm_make_public(&ctx_, xSize, gx.data(), gx.size(), DrbgRandom, nullptr) == 0;
    }

    bool SetPrivate(const uint8_t* x, size_t len) override {
        x = SkipZeros(x, len);
        return len && len <= ctx_.len && mbedtls_mpi_read_binary(&ctx_.X, x, len) == 0 && InRange(ctx_.X, ctx_.P);
    }

    bool SetPeer(const uint8_t* y, size_t len) override {
        y = SkipZeros(y, len);
        return len && mbedtls_dhm_read_public(&ctx_, y, len) == 0 && InRange(ctx_.GY, ctx_.P);
    }

    bool PrivateValue(ByteVec& x) const override { return Export(ctx_.X, x); }
    bool PublicValue(ByteVec& gx) const override { return Export(ctx_.GX, gx); }

    bool SharedSecret(ByteVec& z) override {
        z.assign(ctx_.len, 0);
        size_t len = 0;
        // The generator also blinds the exponentiation.
        const bool ok = mbedtls_dhm_calc_secret(&ctx_, z.data(), z.size(), &len, DrbgRandom, nullptr) == 0 &&
                        len <= z.size();
        if (ok) {
            // Nothing is left behind the secret when it is shortened.
            mbedtls_platform_zeroize(z.data() + len, z.size() - len);
            z.resize(len);
            return true;
        }
        mbedtls_platform_zeroize(z.data(), z.size());
        z.clear();
        return false;
    }

private:
    mbedtls_dhm_context ctx_;
};

}  // namespace

std::unique_ptr<DhParty> DhParty::Create(const uint8_t* p, size_t pLen, const uint8_t* g, size_t gLen) {
    auto party = std::make_unique<MbedDhParty>();
    return party->SetGroup(p, pLen, g, gLen) ? std::move(party) : nullptr;
}
