// Software ciphers through the Alg layer beside the raw library call each
// one runs on, so the layer's overhead shows: 64-byte and 1 MiB messages for
// AES-128/256-CBC, AES-128-ECB, 3DES-CBC and RC4; and RSA-2048 signature
// checks per second (create, initialise and verify, as one C_VerifyInit and
// C_Verify do) beside OpenSSL's own.
#include <benchmark/benchmark.h>
#include <mbedtls/arc4.h>
#include <mbedtls/des.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "alg_factory.h"
#include "obj_factory.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kKey(32, 0x4B);
const Bytes kIv(16, 0x17);

ObjPtr Secret(size_t keyLen) {
    CK_ULONG cls = CKO_SECRET_KEY, type = CKK_GENERIC_SECRET;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {CKA_VALUE, const_cast<uint8_t*>(kKey.data()), keyLen}};
    return ObjFactory::CreateObject(t, 3);
}

void SetBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void AlgCipher(benchmark::State& state, CK_MECHANISM_TYPE mech, size_t keyLen, size_t ivLen) {
    CK_MECHANISM m{mech, ivLen ? const_cast<uint8_t*>(kIv.data()) : nullptr, ivLen};
    Alg* created = nullptr;
    if (AlgFactory().CreateEncAlg(&m, Secret(keyLen), &created) != CKR_OK) state.SkipWithError("no cipher");
    std::unique_ptr<Alg> alg(created);
    Bytes data(static_cast<size_t>(state.range(0)), 0x5A), out(data.size());
    for (auto _ : state) {
        uint32_t len = static_cast<uint32_t>(out.size());
        alg->Do(data.data(), static_cast<uint32_t>(data.size()), out.data(), &len);
        benchmark::DoNotOptimize(out.data());
    }
    SetBytes(state);
}

void RawEvp(benchmark::State& state, const EVP_CIPHER* cipher) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey.data(), kIv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes data(static_cast<size_t>(state.range(0)), 0x5A), out(data.size());
    for (auto _ : state) {
        int len = 0;
        EVP_EncryptUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    SetBytes(state);
}

void RawMbedDes3Cbc(benchmark::State& state) {
    mbedtls_des3_context ctx;
    mbedtls_des3_init(&ctx);
    mbedtls_des3_set3key_enc(&ctx, kKey.data());
    Bytes iv(kIv.begin(), kIv.begin() + 8), data(static_cast<size_t>(state.range(0)), 0x5A), out(data.size());
    for (auto _ : state) {
        mbedtls_des3_crypt_cbc(&ctx, MBEDTLS_DES_ENCRYPT, data.size(), iv.data(), data.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    mbedtls_des3_free(&ctx);
    SetBytes(state);
}

void RawMbedRc4(benchmark::State& state) {
    mbedtls_arc4_context ctx;
    mbedtls_arc4_init(&ctx);
    mbedtls_arc4_setup(&ctx, kKey.data(), 16);
    Bytes data(static_cast<size_t>(state.range(0)), 0x5A), out(data.size());
    for (auto _ : state) {
        mbedtls_arc4_crypt(&ctx, data.size(), data.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    mbedtls_arc4_free(&ctx);
    SetBytes(state);
}

// One RSA-2048 key and a SHA-256 signature of a 64-byte message.
struct RsaFixture {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    Bytes msg = Bytes(64, 0x33);
    Bytes sig;
    ObjPtr object;
    RsaFixture() {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        size_t len = 512;
        sig.resize(len);
        EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
        EVP_DigestSign(ctx, sig.data(), &len, msg.data(), msg.size());
        sig.resize(len);
        EVP_MD_CTX_free(ctx);
        Bytes n = Param(OSSL_PKEY_PARAM_RSA_N), e = Param(OSSL_PKEY_PARAM_RSA_E);
        CK_ULONG cls = CKO_PUBLIC_KEY, type = CKK_RSA;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &type, sizeof type},
                            {CKA_MODULUS, n.data(), n.size()},
                            {CKA_PUBLIC_EXPONENT, e.data(), e.size()}};
        object = ObjFactory::CreateObject(t, 4);
    }
    Bytes Param(const char* name) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(key, name, &bn);
        Bytes b(static_cast<size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, b.data());
        BN_free(bn);
        return b;
    }
    static RsaFixture& Get() {
        static RsaFixture f;
        return f;
    }
};

void AlgRsa2048Verify(benchmark::State& state) {
    RsaFixture& f = RsaFixture::Get();
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    for (auto _ : state) {
        Alg* alg = nullptr;
        AlgFactory().CreateVerifyAlg(&m, f.object, &alg);
        uint32_t len = static_cast<uint32_t>(f.sig.size());
        if (!alg || alg->Do(f.msg.data(), 64, f.sig.data(), &len) != CKR_OK) state.SkipWithError("verification failed");
        delete alg;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void EvpRsa2048Verify(benchmark::State& state) {
    RsaFixture& f = RsaFixture::Get();
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, f.key);
        if (EVP_DigestVerify(ctx, f.sig.data(), f.sig.size(), f.msg.data(), 64) != 1)
            state.SkipWithError("verification failed");
        EVP_MD_CTX_free(ctx);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK_CAPTURE(AlgCipher, aes128_cbc, CKM_AES_CBC, 16, 16)->Arg(64)->Arg(1 << 20);
BENCHMARK_CAPTURE(RawEvp, aes128_cbc, EVP_aes_128_cbc())->Arg(64)->Arg(1 << 20);
BENCHMARK_CAPTURE(AlgCipher, aes256_cbc, CKM_AES_CBC, 32, 16)->Arg(64)->Arg(1 << 20);
BENCHMARK_CAPTURE(RawEvp, aes256_cbc, EVP_aes_256_cbc())->Arg(64)->Arg(1 << 20);
BENCHMARK_CAPTURE(AlgCipher, aes128_ecb, CKM_AES_ECB, 16, 0)->Arg(64)->Arg(1 << 20);
BENCHMARK_CAPTURE(RawEvp, aes128_ecb, EVP_aes_128_ecb())->Arg(64)->Arg(1 << 20);
BENCHMARK_CAPTURE(AlgCipher, des3_cbc, CKM_DES3_CBC, 24, 8)->Arg(64)->Arg(1 << 20);
BENCHMARK(RawMbedDes3Cbc)->Arg(64)->Arg(1 << 20);
BENCHMARK_CAPTURE(AlgCipher, rc4, CKM_RC4, 16, 0)->Arg(64)->Arg(1 << 20);
BENCHMARK(RawMbedRc4)->Arg(64)->Arg(1 << 20);
BENCHMARK(AlgRsa2048Verify);
BENCHMARK(EvpRsa2048Verify);
BENCHMARK_MAIN();
