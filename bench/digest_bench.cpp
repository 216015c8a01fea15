// Digest classes through the Alg layer beside the raw library calls, so the
// layer's overhead shows: SHA-256 over 1 MiB, and 64-byte messages per call.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "alg_factory.h"

namespace {

std::unique_ptr<Alg> Sha256() {
    AlgFactory factory;
    CK_MECHANISM m{CKM_SHA256, nullptr, 0};
    Alg* alg = nullptr;
    factory.CreateDigestAlg(&m, &alg);
    return std::unique_ptr<Alg>(alg);
}

void AlgSha256(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
    auto alg = Sha256();
    uint8_t out[32];
    for (auto _ : state) {
        uint32_t len = sizeof out;
        alg->Do(data.data(), static_cast<uint32_t>(data.size()), out, &len);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void EvpSha256(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
    uint8_t out[32];
    for (auto _ : state) {
        unsigned int len = 0;
        EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(AlgSha256)->Arg(64)->Arg(1 << 20);
BENCHMARK(EvpSha256)->Arg(64)->Arg(1 << 20);
BENCHMARK_MAIN();
