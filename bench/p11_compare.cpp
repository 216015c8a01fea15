// One workload through any PKCS#11 module loaded by path, so that modules can
// be compared on one machine (scripts/bench.sh runs ours and a peer):
// digests, ciphers with session keys, RSA verification, random numbers, an
// object search and signatures with keys generated on the token, beside raw
// OpenSSL rows as the reference. Against the virtual token it also counts the
// APDUs each row sends.
//
//   p11_compare MODULE PIN [--apdus SOCKET] [--run-ms N]
//
// Every row is timed after a warm-up over several runs of enough iterations
// to fill N milliseconds (default 100); one line per row:
//
//   ROW NS_BEST NS_MEDIAN MB_PER_S APDUS_PER_OP VS_OPENSSL STATUS
//
// with "-" where a field does not apply; the OpenSSL row for the same work as
// row R is named openssl_R. A row the module cannot run shows
// "n/a" in its numbers and the failing call and code in STATUS; a result that
// differs from OpenSSL's is "wrong-result" and is not timed.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "openssl_check.h"
#include "pkcs11.h"
#include "sim_process.h"

namespace {

using testing_kv::Bytes;

constexpr size_t kMiB = size_t(1) << 20;
constexpr int kRuns = 7;
constexpr CK_OBJECT_HANDLE kNoObject = 0;

// A call that failed: which call, and its code.
struct Failure {
    const char* call = nullptr;
    CK_RV rv = CKR_OK;
};

// The PKCS#11 calls of one module, opened by path.
class Module {
public:
    explicit Module(const char* path) : lib_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        if (!lib_) return;
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib_, "C_GetFunctionList"));
        if (get && get(&f_) != CKR_OK) f_ = nullptr;
    }
    ~Module() {
        if (lib_) dlclose(lib_);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    CK_FUNCTION_LIST* operator->() const { return f_; }
    bool Loaded() const { return f_ != nullptr; }

private:
    void* lib_;
    CK_FUNCTION_LIST* f_ = nullptr;
};

// The virtual token's APDU counter, when a control socket is named.
class ApduCounter {
public:
    explicit ApduCounter(const char* socket) : socket_(socket ? socket : "") {}
    bool Counting() const { return !socket_.empty(); }
    void Reset() {
        if (Counting()) testing_kv::SimClient(socket_).Control("stats-reset");
    }
    long Read() const {
        if (!Counting()) return -1;
        const std::string stats = testing_kv::SimClient(socket_).Control("stats");
        const auto at = stats.find("apdus=");
        return at == std::string::npos ? -1 : std::strtol(stats.c_str() + at + 6, nullptr, 10);
    }

private:
    std::string socket_;
};

struct Timing {
    double best = 0, median = 0;  // nanoseconds per operation
    double apdus = -1;            // per operation; -1 not counted
};

using Clock = std::chrono::steady_clock;

// Runs op count times; the nanoseconds it took, or -1 when op failed.
template <typename Op>
double RunFor(Op& op, uint64_t count, Failure& failure) {
    const auto start = Clock::now();
    for (uint64_t i = 0; i < count; ++i) {
        if (!op(failure)) return -1;
    }
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

// Times op (one operation as an application runs it, init included): a
// warm-up that settles the iteration count, then kRuns runs of it.
template <typename Op>
bool Measure(Op op, double runMs, ApduCounter& counter, Timing& t, Failure& failure) {
    uint64_t count = 1;
    for (;;) {
        const double ns = RunFor(op, count, failure);
        if (ns < 0) return false;
        if (ns >= runMs * 1e6 / 4 || count >= (uint64_t(1) << 40)) {
            count = std::max<uint64_t>(1, static_cast<uint64_t>(static_cast<double>(count) * runMs * 1e6 / ns));
            break;
        }
        count *= 2;
    }
    counter.Reset();
    std::vector<double> perOp;
    for (int run = 0; run < kRuns; ++run) {
        const double ns = RunFor(op, count, failure);
        if (ns < 0) return false;
        perOp.push_back(ns / static_cast<double>(count));
    }
    const long apdus = counter.Read();
    if (apdus >= 0) t.apdus = static_cast<double>(apdus) / static_cast<double>(count * kRuns);
    std::sort(perOp.begin(), perOp.end());
    t.best = perOp.front();
    t.median = perOp[perOp.size() / 2];
    return true;
}

// One output line. bytes: the data one operation handles (0: not a bulk row);
// referenceNs: the OpenSSL row's time for the same work (0: none).
void Print(const char* row, const Timing& t, size_t bytes, double referenceNs, const char* status = "ok") {
    std::printf("%-24s %12.1f %12.1f ", row, t.best, t.median);
    if (bytes) std::printf("%9.1f ", static_cast<double>(bytes) * 1e3 / t.best);
    else std::printf("%9s ", "-");
    if (t.apdus >= 0) std::printf("%5.1f ", t.apdus);
    else std::printf("%5s ", "-");
    if (referenceNs > 0) std::printf("%6.2f %s\n", referenceNs / t.best, status);
    else std::printf("%6s %s\n", "-", status);
}

void PrintNotRun(const char* row, const char* status) {
    std::printf("%-24s %12s %12s %9s %5s %6s %s\n", row, "n/a", "n/a", "-", "-", "-", status);
}

void PrintFailure(const char* row, const Failure& f) {
    char status[96];
    std::snprintf(status, sizeof status, "n/a:%s=0x%lX", f.call ? f.call : "?", static_cast<unsigned long>(f.rv));
    PrintNotRun(row, status);
}

// Records a failing call; true when rv is CKR_OK.
bool Ok(CK_RV rv, const char* call, Failure& f) {
    if (rv == CKR_OK) return true;
    f.call = call;
    f.rv = rv;
    return false;
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, size_t len) {
    return {type, const_cast<void*>(value), static_cast<CK_ULONG>(len)};
}

Bytes BnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(key, name, &bn);
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

Bytes Sha256(const Bytes& data) {
    Bytes out(32);
    EVP_Digest(data.data(), data.size(), out.data(), nullptr, EVP_sha256(), nullptr);
    return out;
}

// Whole-buffer CBC without padding into out (as long as data), init
// included, as one C_EncryptInit and C_Encrypt do; false when OpenSSL fails.
bool EvpEncrypt(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& data, Bytes& out) {
    out.resize(data.size());
    int len = 0, tail = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const bool ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv.data()) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_EncryptUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size())) == 1 &&
                    EVP_EncryptFinal_ex(ctx, out.data() + len, &tail) == 1 && size_t(len + tail) == data.size();
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

// Triple-DES test keys with odd parity (K1, K2, K3 all different).
const Bytes kDes3Key = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x23, 0x45, 0x67, 0x89,
                        0xAB, 0xCD, 0xEF, 0x01, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23};
const Bytes kAesKey(32, 0x4B);
const Bytes kIv(16, 0x17);
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};  // prime256v1

class Workload {
public:
    Workload(Module& m, CK_SESSION_HANDLE s, ApduCounter& counter, double runMs)
        : m_(m), s_(s), counter_(counter), runMs_(runMs) {}

    void Run() {
        ReferenceRows();
        DigestRows();
        CipherRow("aes256_cbc_1m", CKK_AES, kAesKey, CKM_AES_CBC, EVP_aes_256_cbc(), 16, openSslAesNs_);
        CipherRow("des3_cbc_1m", CKK_DES3, kDes3Key, CKM_DES3_CBC, EVP_des_ede3_cbc(), 8, 0);
        VerifyRow();
        RandomRow();
        SignRows();
        FindRow();  // last: it finds everything the rows before made
        for (CK_OBJECT_HANDLE h : tokenObjects_) m_->C_DestroyObject(s_, h);
    }

private:
    template <typename Op>
    bool Time(const char* row, Op op, Timing& t) {
        Failure f;
        if (Measure(op, runMs_, counter_, t, f)) return true;
        PrintFailure(row, f);
        return false;
    }

    // One raw OpenSSL row; its best time, 0 when OpenSSL failed.
    template <typename Op>
    double ReferenceRow(const char* row, size_t bytes, Op op) {
        ApduCounter none(nullptr);
        Timing t;
        Failure f;
        if (!Measure([&](Failure&) { return op(); }, runMs_, none, t, f)) {
            PrintNotRun(row, "failed");
            return 0;
        }
        Print(row, t, bytes, 0);
        return t.best;
    }

    void ReferenceRows() {
        const Bytes small(64, 0x5A), large(kMiB, 0x5A);
        uint8_t md[32];
        Bytes out(kMiB);
        openSslDigest64Ns_ = ReferenceRow("openssl_digest_sha256_64", 64, [&] {
            return EVP_Digest(small.data(), small.size(), md, nullptr, EVP_sha256(), nullptr) == 1;
        });
        openSslDigestNs_ = ReferenceRow("openssl_digest_sha256_1m", kMiB, [&] {
            return EVP_Digest(large.data(), large.size(), md, nullptr, EVP_sha256(), nullptr) == 1;
        });
        openSslAesNs_ = ReferenceRow("openssl_aes256_cbc_1m", kMiB,
                                     [&] { return EvpEncrypt(EVP_aes_256_cbc(), kAesKey, kIv, large, out); });
    }

    // C_DigestInit + C_Digest: a one-shot digest as an application makes it.
    void DigestRows() {
        for (size_t size : {size_t(64), kMiB}) {
            const char* row = size == 64 ? "digest_sha256_64" : "digest_sha256_1m";
            const Bytes data(size, 0x5A);
            Bytes md(32);
            auto op = [&](Failure& f) {
                CK_MECHANISM mech{CKM_SHA256, nullptr, 0};
                CK_ULONG len = md.size();
                return Ok(m_->C_DigestInit(s_, &mech), "C_DigestInit", f) &&
                       Ok(m_->C_Digest(s_, const_cast<uint8_t*>(data.data()), data.size(), md.data(), &len),
                          "C_Digest", f) &&
                       len == 32;
            };
            Failure f;
            if (!op(f)) {
                PrintFailure(row, f);
                continue;
            }
            if (md != Sha256(data)) {
                PrintNotRun(row, "wrong-result");
                continue;
            }
            Timing t;
            if (Time(row, op, t)) Print(row, t, size, size == 64 ? openSslDigest64Ns_ : openSslDigestNs_);
        }
    }

    // A session secret key of known value made with C_CreateObject, or else
    // with C_GenerateKey (then its results cannot be checked).
    CK_OBJECT_HANDLE SecretKey(CK_KEY_TYPE type, const Bytes& value, bool& known, Failure& f) {
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        CK_ULONG valueLen = value.size();
        CK_ATTRIBUTE t[] = {Attr(CKA_CLASS, &cls, sizeof cls),  Attr(CKA_KEY_TYPE, &type, sizeof type),
                            Attr(CKA_TOKEN, &no, 1),            Attr(CKA_ENCRYPT, &yes, 1),
                            Attr(CKA_DECRYPT, &yes, 1),         Attr(CKA_VALUE, value.data(), value.size()),
                            Attr(CKA_VALUE_LEN, &valueLen, sizeof valueLen)};
        CK_OBJECT_HANDLE h = kNoObject;
        known = true;
        CK_RV rv = m_->C_CreateObject(s_, t, 6, &h);
        if (rv == CKR_OK) return h;
        known = false;
        CK_MECHANISM gen{type == CKK_AES ? CKM_AES_KEY_GEN : CKM_DES3_KEY_GEN, nullptr, 0};
        t[5] = t[6];  // CKA_VALUE_LEN instead of the value (AES only; triple DES has one length)
        rv = m_->C_GenerateKey(s_, &gen, t, type == CKK_AES ? 6 : 5, &h);
        return Ok(rv, "C_GenerateKey", f) ? h : kNoObject;
    }

    // C_EncryptInit + C_Encrypt of 1 MiB, CBC without padding.
    void CipherRow(const char* row, CK_KEY_TYPE type, const Bytes& key, CK_MECHANISM_TYPE mechType,
                   const EVP_CIPHER* cipher, size_t ivLen, double referenceNs) {
        Failure f;
        bool known = false;
        const CK_OBJECT_HANDLE h = SecretKey(type, key, known, f);
        if (h == kNoObject) return PrintFailure(row, f);
        const Bytes data(kMiB, 0x5A), iv(kIv.begin(), kIv.begin() + static_cast<long>(ivLen));
        Bytes out(kMiB);
        auto op = [&](Failure& failure) {
            CK_MECHANISM mech{mechType, const_cast<uint8_t*>(iv.data()), iv.size()};
            CK_ULONG len = out.size();
            return Ok(m_->C_EncryptInit(s_, &mech, h), "C_EncryptInit", failure) &&
                   Ok(m_->C_Encrypt(s_, const_cast<uint8_t*>(data.data()), data.size(), out.data(), &len), "C_Encrypt",
                      failure) &&
                   len == kMiB;
        };
        if (!op(f)) return PrintFailure(row, f);
        Bytes expected;
        if (known && (!EvpEncrypt(cipher, key, iv, data, expected) || out != expected))
            return PrintNotRun(row, "wrong-result");
        Timing t;
        if (Time(row, op, t)) Print(row, t, kMiB, referenceNs);
    }

    // C_VerifyInit + C_Verify, SHA-256 with RSA-2048, with a session public
    // key and a signature made by OpenSSL.
    void VerifyRow() {
        const char* row = "verify_rsa2048";
        testing_kv::PKey key(EVP_RSA_gen(2048), EVP_PKEY_free);
        const Bytes message(64, 0x33);
        Bytes sig(256);
        size_t sigLen = sig.size();
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key.get());
        EVP_DigestSign(ctx, sig.data(), &sigLen, message.data(), message.size());
        EVP_MD_CTX_free(ctx);
        const Bytes n = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_N), e = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
        CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        CK_KEY_TYPE type = CKK_RSA;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        CK_ATTRIBUTE t[] = {Attr(CKA_CLASS, &cls, sizeof cls),    Attr(CKA_KEY_TYPE, &type, sizeof type),
                            Attr(CKA_TOKEN, &no, 1),              Attr(CKA_VERIFY, &yes, 1),
                            Attr(CKA_MODULUS, n.data(), n.size()), Attr(CKA_PUBLIC_EXPONENT, e.data(), e.size())};
        CK_OBJECT_HANDLE h = kNoObject;
        Failure f;
        if (!Ok(m_->C_CreateObject(s_, t, 6, &h), "C_CreateObject", f)) return PrintFailure(row, f);
        auto op = [&](Failure& failure) {
            CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
            return Ok(m_->C_VerifyInit(s_, &mech, h), "C_VerifyInit", failure) &&
                   Ok(m_->C_Verify(s_, const_cast<uint8_t*>(message.data()), message.size(), sig.data(), sigLen),
                      "C_Verify", failure);
        };
        Timing timing;
        if (Time(row, op, timing)) Print(row, timing, 0, 0);
    }

    void RandomRow() {
        uint8_t out[32];
        Timing t;
        if (Time(
                "random_32",
                [&](Failure& f) { return Ok(m_->C_GenerateRandom(s_, out, sizeof out), "C_GenerateRandom", f); }, t))
            Print("random_32", t, 0, 0);
    }

    // A key pair generated on the token; false (row printed) when the
    // module cannot make it.
    bool TokenPair(const char* row, CK_MECHANISM_TYPE gen, std::vector<CK_ATTRIBUTE> pub, CK_OBJECT_HANDLE& hPub,
                   CK_OBJECT_HANDLE& hPrv) {
        static CK_BBOOL yes = CK_TRUE;
        pub.push_back(Attr(CKA_TOKEN, &yes, 1));
        pub.push_back(Attr(CKA_VERIFY, &yes, 1));
        CK_ATTRIBUTE prv[] = {Attr(CKA_TOKEN, &yes, 1), Attr(CKA_PRIVATE, &yes, 1), Attr(CKA_SIGN, &yes, 1)};
        CK_MECHANISM mech{gen, nullptr, 0};
        Failure f;
        if (!Ok(m_->C_GenerateKeyPair(s_, &mech, pub.data(), pub.size(), prv, 3, &hPub, &hPrv), "C_GenerateKeyPair",
                f)) {
            PrintFailure(row, f);
            return false;
        }
        tokenObjects_.push_back(hPub);
        tokenObjects_.push_back(hPrv);
        return true;
    }

    Bytes Attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (m_->C_GetAttributeValue(s_, h, &a, 1) != CKR_OK || a.ulValueLen > 4096) return {};
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        if (m_->C_GetAttributeValue(s_, h, &a, 1) != CKR_OK) return {};
        value.resize(a.ulValueLen);
        return value;
    }

    // C_SignInit + C_Sign with a key generated on the token; the first
    // signature is checked with OpenSSL against the pair's public key.
    template <typename Check>
    void SignRow(const char* row, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechType, const Bytes& input, Check check) {
        Bytes sig(512);
        CK_ULONG sigLen = 0;
        auto op = [&](Failure& f) {
            CK_MECHANISM mech{mechType, nullptr, 0};
            sigLen = sig.size();
            return Ok(m_->C_SignInit(s_, &mech, key), "C_SignInit", f) &&
                   Ok(m_->C_Sign(s_, const_cast<uint8_t*>(input.data()), input.size(), sig.data(), &sigLen), "C_Sign",
                      f);
        };
        Failure f;
        if (!op(f)) return PrintFailure(row, f);
        if (!check(Bytes(sig.begin(), sig.begin() + static_cast<long>(sigLen)))) return PrintNotRun(row, "wrong-result");
        Timing t;
        if (Time(row, op, t)) Print(row, t, 0, 0);
    }

    void SignRows() {
        CK_OBJECT_HANDLE pub = 0, prv = 0;
        CK_ULONG bits = 2048;
        const Bytes f4 = {0x01, 0x00, 0x01};
        const Bytes message(64, 0x33);
        if (TokenPair("sign_rsa2048", CKM_RSA_PKCS_KEY_PAIR_GEN,
                      {Attr(CKA_MODULUS_BITS, &bits, sizeof bits), Attr(CKA_PUBLIC_EXPONENT, f4.data(), f4.size())},
                      pub, prv)) {
            testing_kv::PKey key = testing_kv::RsaKey(Attribute(pub, CKA_MODULUS), Attribute(pub, CKA_PUBLIC_EXPONENT));
            SignRow("sign_rsa2048", prv, CKM_SHA256_RSA_PKCS, message, [&](const Bytes& sig) {
                return key && testing_kv::VerifyRsa(key.get(), EVP_sha256(), message, sig);
            });
        }
        if (TokenPair("sign_ecdsa_p256", CKM_EC_KEY_PAIR_GEN, {Attr(CKA_EC_PARAMS, kP256.data(), kP256.size())}, pub,
                      prv)) {
            // The point ends with x ‖ y whether it is DER-wrapped or raw.
            const Bytes point = Attribute(pub, CKA_EC_POINT);
            const Bytes hash = Sha256(message);
            testing_kv::PKey key(nullptr, EVP_PKEY_free);
            if (point.size() >= 64)
                key = testing_kv::EcKey("prime256v1", Bytes(point.end() - 64, point.end() - 32),
                                        Bytes(point.end() - 32, point.end()));
            SignRow("sign_ecdsa_p256", prv, CKM_ECDSA, hash, [&](const Bytes& sig) {
                return key && sig.size() == 64 && testing_kv::VerifyEcdsa(key.get(), hash, sig);
            });
        }
    }

    // C_FindObjectsInit with an empty template, C_FindObjects to the end,
    // C_FindObjectsFinal.
    void FindRow() {
        CK_OBJECT_HANDLE found[64];
        CK_ULONG total = 0;
        auto op = [&](Failure& f) {
            total = 0;
            if (!Ok(m_->C_FindObjectsInit(s_, nullptr, 0), "C_FindObjectsInit", f)) return false;
            CK_ULONG n = 0;
            do {
                if (!Ok(m_->C_FindObjects(s_, found, 64, &n), "C_FindObjects", f)) return false;
                total += n;
            } while (n == 64);
            return Ok(m_->C_FindObjectsFinal(s_), "C_FindObjectsFinal", f);
        };
        Timing t;
        if (!Time("find_all", op, t)) return;
        char status[32];
        std::snprintf(status, sizeof status, "ok:%lu-objects", static_cast<unsigned long>(total));
        Print("find_all", t, 0, 0, status);
    }

    Module& m_;
    CK_SESSION_HANDLE s_;
    ApduCounter& counter_;
    double runMs_;
    double openSslDigest64Ns_ = 0, openSslDigestNs_ = 0, openSslAesNs_ = 0;
    std::vector<CK_OBJECT_HANDLE> tokenObjects_;
};

int Usage() {
    std::fprintf(stderr, "usage: p11_compare MODULE PIN [--apdus SOCKET] [--run-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const char* socket = nullptr;
    double runMs = 100;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--apdus") == 0) socket = argv[i + 1];
        else if (std::strcmp(argv[i], "--run-ms") == 0) runMs = std::atof(argv[i + 1]);
        else return Usage();
    }
    if (argc % 2 == 0 || runMs <= 0) return Usage();
    Module m(argv[1]);
    if (!m.Loaded()) {
        std::fprintf(stderr, "%s: no PKCS#11 module (%s)\n", argv[1], dlerror());
        return 1;
    }
    CK_RV rv = m->C_Initialize(nullptr);
    CK_SLOT_ID slots[8];
    CK_ULONG slotCount = 8;
    if (rv == CKR_OK) rv = m->C_GetSlotList(CK_TRUE, slots, &slotCount);
    if (rv == CKR_OK && slotCount == 0) rv = CKR_TOKEN_NOT_PRESENT;
    CK_SESSION_HANDLE s = 0;
    if (rv == CKR_OK) rv = m->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    if (rv == CKR_OK)
        rv = m->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(argv[2]), std::strlen(argv[2]));
    if (rv != CKR_OK) {
        std::fprintf(stderr, "%s: no logged-in session on a token (0x%lX)\n", argv[1], static_cast<unsigned long>(rv));
        return 1;
    }
    ApduCounter counter(socket);
    std::printf("# module %s, slot %lu, best and median of %d runs of %.0f ms\n", argv[1],
                static_cast<unsigned long>(slots[0]), kRuns, runMs);
    std::printf("%-24s %12s %12s %9s %5s %6s %s\n", "row", "ns/op", "median", "MB/s", "APDUs", "xOSSL", "status");
    Workload(m, s, counter, runMs).Run();
    m->C_Logout(s);
    m->C_CloseSession(s);
    m->C_Finalize(nullptr);
    return 0;
}
