#include "card_hash.h"

// Resuming a digest needs its state words and bit count, which only the
// low-level SHA contexts expose; those routines are marked deprecated but
// stay in libcrypto.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace sim {
namespace {

SHA_LONG Word(const Bytes& b, size_t i) {
    return static_cast<SHA_LONG>(b[4 * i] << 24 | b[4 * i + 1] << 16 | b[4 * i + 2] << 8 | b[4 * i + 3]);
}

// The bit count after `blocks` whole blocks, with nothing buffered.
template <class Ctx>
void SetCount(Ctx& ctx, uint64_t blocks) {
    uint64_t bits = blocks * 512;
    ctx.Nl = static_cast<SHA_LONG>(bits);
    ctx.Nh = static_cast<SHA_LONG>(bits >> 32);
    ctx.num = 0;
}

}  // namespace

size_t DigestSize(HashAlg alg) { return alg == HashAlg::Sha1 ? 20 : 32; }

Bytes Digest(HashAlg alg, const Bytes& message) {
    Bytes out(DigestSize(alg));
    if (EVP_Digest(message.data(), message.size(), out.data(), nullptr,
                   alg == HashAlg::Sha1 ? EVP_sha1() : EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("digest failed");
    return out;
}

std::optional<Bytes> ResumeDigest(HashAlg alg, uint64_t blocks, const Bytes& chaining, const Bytes& tail) {
    if (chaining.size() != DigestSize(alg)) return std::nullopt;
    Bytes out(DigestSize(alg));
    if (alg == HashAlg::Sha1) {
        SHA_CTX ctx;
        SHA1_Init(&ctx);
        SHA_LONG* h[] = {&ctx.h0, &ctx.h1, &ctx.h2, &ctx.h3, &ctx.h4};
        for (size_t i = 0; i < 5; ++i) *h[i] = Word(chaining, i);
        SetCount(ctx, blocks);
        SHA1_Update(&ctx, tail.data(), tail.size());
        SHA1_Final(out.data(), &ctx);
    } else {
        SHA256_CTX ctx;
        SHA256_Init(&ctx);
        for (size_t i = 0; i < 8; ++i) ctx.h[i] = Word(chaining, i);
        SetCount(ctx, blocks);
        SHA256_Update(&ctx, tail.data(), tail.size());
        SHA256_Final(out.data(), &ctx);
    }
    return out;
}

Bytes HmacSha1(const Bytes& key, const Bytes& data) {
    Bytes out(20);
    size_t len = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, key.data(), key.size(), data.data(), data.size(),
                   out.data(), out.size(), &len) ||
        len != out.size())
        throw std::runtime_error("hmac failed");
    return out;
}

}  // namespace sim
