#include "hash_backend.h"

#include <mbedtls/md.h>
#include <mbedtls/md2.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>

#include "secure_wipe.h"

namespace {

struct EvpDigestName {
    CK_MECHANISM_TYPE mechanism;
    const char* name;
};
constexpr EvpDigestName kEvpDigests[] = {{CKM_MD5, "MD5"},       {CKM_SHA_1, "SHA1"},     {CKM_SHA224, "SHA224"},
                                         {CKM_SHA256, "SHA256"}, {CKM_SHA384, "SHA384"}, {CKM_SHA512, "SHA512"}};
constexpr size_t kEvpDigestCount = sizeof kEvpDigests / sizeof kEvpDigests[0];

// Given EVP_sha256() and the like, OpenSSL 3 looks the digest up in its
// provider tables, under a lock, at every EVP_DigestInit_ex: that costs more
// than hashing a short message. The digests are fetched once instead and
// kept for the life of the process (never destroyed: hashes may still run
// while statics go away at exit).
class FetchedDigests {
public:
    FetchedDigests() {
        for (size_t i = 0; i < kEvpDigestCount; ++i) md_[i] = EVP_MD_fetch(nullptr, kEvpDigests[i].name, nullptr);
    }

    const EVP_MD* For(CK_MECHANISM_TYPE digest) const {
        for (size_t i = 0; i < kEvpDigestCount; ++i) {
            if (kEvpDigests[i].mechanism == digest) return md_[i];
        }
        return nullptr;
    }

private:
    EVP_MD* md_[kEvpDigestCount] = {};
};

// Null for a digest OpenSSL does not serve, or one its providers refuse.
const EVP_MD* EvpFor(CK_MECHANISM_TYPE digest) {
    static const FetchedDigests* const fetched = new FetchedDigests;
    return fetched->For(digest);
}

class EvpHash : public HashBackend {
public:
    explicit EvpHash(const EVP_MD* md) : md_(md), ctx_(EVP_MD_CTX_new()) {}
    ~EvpHash() override { EVP_MD_CTX_free(ctx_); }
    bool Start() override { return ctx_ && EVP_DigestInit_ex(ctx_, md_, nullptr) == 1; }
    bool Update(const uint8_t* data, size_t len) override { return EVP_DigestUpdate(ctx_, data, len) == 1; }
    bool Finish(uint8_t* out) override { return EVP_DigestFinal_ex(ctx_, out, nullptr) == 1; }

private:
    const EVP_MD* md_;
    EVP_MD_CTX* ctx_;
};

class Md2Hash : public HashBackend {
public:
    Md2Hash() { mbedtls_md2_init(&ctx_); }
    ~Md2Hash() override { mbedtls_md2_free(&ctx_); }
    bool Start() override { return mbedtls_md2_starts_ret(&ctx_) == 0; }
    bool Update(const uint8_t* data, size_t len) override { return mbedtls_md2_update_ret(&ctx_, data, len) == 0; }
    bool Finish(uint8_t* out) override { return mbedtls_md2_finish_ret(&ctx_, out) == 0; }

private:
    mbedtls_md2_context ctx_;
};

}  // namespace

std::unique_ptr<HashBackend> HashBackend::ForDigest(CK_MECHANISM_TYPE digest) {
    if (digest == CKM_MD2) return std::make_unique<Md2Hash>();
    const EVP_MD* md = EvpFor(digest);
    return md ? std::make_unique<EvpHash>(md) : nullptr;
}

bool HashBackend::Hmac(CK_MECHANISM_TYPE digest, const uint8_t* key, size_t keyLen, const uint8_t* data, size_t len,
                       uint8_t* out) {
    static const uint8_t empty = 0;
    if (!key) key = &empty;
    if (!data) data = &empty;
    if (digest == CKM_MD2) {
        const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_MD2);
        return info && mbedtls_md_hmac(info, key, keyLen, data, len, out) == 0;
    }
    const EVP_MD* md = EvpFor(digest);
    unsigned int outLen = 0;
    return md && HMAC(md, key, static_cast<int>(keyLen), data, len, out, &outLen) != nullptr;
}

bool HashBackend::SameMac(const uint8_t* a, const uint8_t* b, size_t len) { return CRYPTO_memcmp(a, b, len) == 0; }

void HashBackend::ChainingValue(size_t digestLen, const uint8_t* blocks, size_t len, ByteVec& out) {
    uint32_t state[8] = {};
    if (digestLen == 20) {
        mbedtls_sha1_context ctx;
        mbedtls_sha1_init(&ctx);
        mbedtls_sha1_starts_ret(&ctx);
        mbedtls_sha1_update_ret(&ctx, blocks, len);
        std::memcpy(state, ctx.state, sizeof ctx.state);
        mbedtls_sha1_free(&ctx);
    } else {
        mbedtls_sha256_context ctx;
        mbedtls_sha256_init(&ctx);
        mbedtls_sha256_starts_ret(&ctx, 0);
        mbedtls_sha256_update_ret(&ctx, blocks, len);
        std::memcpy(state, ctx.state, sizeof ctx.state);
        mbedtls_sha256_free(&ctx);
    }
    for (size_t i = 0; i < digestLen / 4; ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(state[i] >> shift));
    }
    SecureWipe(state, sizeof state);
}
