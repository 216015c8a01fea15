#include "random_backend.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

#include <mutex>

namespace {

// One process-wide generator, seeded once from the system entropy source
// and reseeded by the DRBG on its own schedule.
class Drbg {
public:
    Drbg() {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&ctx_);
        static const unsigned char personal[] = "kvp11 random";
        ready_ = mbedtls_ctr_drbg_seed(&ctx_, mbedtls_entropy_func, &entropy_, personal, sizeof personal - 1) == 0;
        if (ready_) mbedtls_ctr_drbg_set_prediction_resistance(&ctx_, MBEDTLS_CTR_DRBG_PR_OFF);
    }
    ~Drbg() {
        mbedtls_ctr_drbg_free(&ctx_);
        mbedtls_entropy_free(&entropy_);
    }
    bool Fill(uint8_t* buf, uint32_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready_) return false;
        while (count) {
            uint32_t n = count > MBEDTLS_CTR_DRBG_MAX_REQUEST ? MBEDTLS_CTR_DRBG_MAX_REQUEST : count;
            if (mbedtls_ctr_drbg_random(&ctx_, buf, n) != 0) return false;
            buf += n;
            count -= n;
        }
        return true;
    }

private:
    std::mutex mutex_;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context ctx_;
    bool ready_ = false;
};

}  // namespace

uint32_t genrate_random_bytes(uint8_t* buf, uint32_t count) {
    static Drbg drbg;
    if (!buf || count == 0) return 0;
    return drbg.Fill(buf, count) ? count : 0;
}
