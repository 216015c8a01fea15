// An IToken whose key and cryptographic commands are carried out with
// OpenSSL: RSA and EC key pairs per key file, secret keys per key number,
// ECB and CBC with a zero IV inside each call (the chain carried in the IV
// argument, as the token's commands do). Every call is recorded in order;
// the operation named in failOn fails. Keys and key files are what the
// calls made of them, so a test can see what a mechanism left behind.
#ifndef KV_TESTS_UNIT_MECH_FAKE_KEY_TOKEN_H
#define KV_TESTS_UNIT_MECH_FAKE_KEY_TOKEN_H

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "alg_factory.h"
#include "hard_registration.h"
#include "itoken.h"
#include "obj_factory.h"

namespace fake_token {

using Bytes = std::vector<uint8_t>;
using PKey = std::shared_ptr<EVP_PKEY>;

inline std::string Text(const char* format, ...) {
    char buf[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

inline PKey Own(EVP_PKEY* key) { return PKey(key, EVP_PKEY_free); }

inline Bytes Random(size_t n) {
    Bytes b(n);
    if (n) RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

// A big-number parameter of a key, left-padded to width bytes (0: minimal).
inline Bytes BnParam(const PKey& key, const char* name, size_t width = 0) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), name, &bn) != 1) return {};
    Bytes b(width ? width : static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2binpad(bn, b.data(), static_cast<int>(b.size()));
    BN_free(bn);
    return b;
}

// The EVP digest of a hash-and-sign mechanism (MD2 has none in OpenSSL 3).
inline const EVP_MD* DigestOf(CK_MECHANISM_TYPE mechanism) {
    switch (mechanism) {
        case CKM_MD5_RSA_PKCS: return EVP_md5();
        case CKM_SHA1_RSA_PKCS:
        case CKM_ECDSA_SHA1: return EVP_sha1();
        case CKM_SHA224_RSA_PKCS: return EVP_sha224();
        case CKM_SHA256_RSA_PKCS: return EVP_sha256();
        case CKM_SHA384_RSA_PKCS: return EVP_sha384();
        case CKM_SHA512_RSA_PKCS: return EVP_sha512();
        default: return nullptr;
    }
}

// OpenSSL's DER ECDSA signature as r || s, each of coordLen bytes.
inline Bytes RawFromDer(const Bytes& der, size_t coordLen) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    Bytes rs(2 * coordLen);
    if (!sig) return {};
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), static_cast<int>(coordLen));
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + coordLen, static_cast<int>(coordLen));
    ECDSA_SIG_free(sig);
    return rs;
}

// DES, 3DES (16 or 24 bytes; single DES as three-key 3DES of K || K || K)
// and AES in ECB or CBC, with PKCS#5 padding or without.
inline bool EvpCrypt(bool aes, bool cbc, const Bytes& key, const uint8_t* iv, bool encrypt, bool pad, const uint8_t* in,
                     size_t len, Bytes& out) {
    Bytes k = key;
    const EVP_CIPHER* cipher = nullptr;
    if (aes) {
        if (key.size() == 16) cipher = cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
        if (key.size() == 24) cipher = cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
        if (key.size() == 32) cipher = cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    } else {
        for (int copy = 0; key.size() == 8 && copy < 2; ++copy) k.insert(k.end(), key.begin(), key.end());
        if (k.size() == 16) cipher = cbc ? EVP_des_ede_cbc() : EVP_des_ede_ecb();
        if (k.size() == 24) cipher = cbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
    }
    if (!cipher) return false;
    out.assign(len + 32, 0);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, m = 0;
    const bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, k.data(), iv, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0) == 1 &&
                    EVP_CipherUpdate(ctx, out.data(), &n, in, static_cast<int>(len)) == 1 &&
                    EVP_CipherFinal_ex(ctx, out.data() + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? static_cast<size_t>(n + m) : 0);
    return ok;
}

class FakeKeyToken : public IToken {
public:
    static constexpr RV kFailure = CKR_DEVICE_MEMORY;  // what a failing operation returns

    std::map<uint32_t, PKey> keys;                   // key file -> key pair
    std::map<uint32_t, Bytes> secretKeys;            // key number -> value
    std::map<uint32_t, std::vector<Bytes>> written;  // key file -> key parts written, in order
    std::set<uint32_t> files;                        // key files that exist
    std::set<CK_MECHANISM_TYPE> hardware;            // what IsHardwareSupportAlg answers true for
    int hardwareQueries = 0;
    std::vector<std::string> calls;
    std::string failOn;   // a call's name, or its whole text
    Bytes signedMessage;  // the message of the last RSASign or ECCSign

    // The calls whose text starts with name.
    std::vector<std::string> CallsOf(const std::string& name) const {
        std::vector<std::string> found;
        for (const std::string& c : calls) {
            if (c.compare(0, name.size(), name) == 0) found.push_back(c);
        }
        return found;
    }

    bool IsHardwareSupportAlg(CK_MECHANISM_TYPE type) override {
        ++hardwareQueries;
        return hardware.count(type) != 0;
    }

    RV AllocKeyFID(uint32_t cls, uint32_t keyType, uint16_t* fid) override {
        if (Fails(Text("AllocKeyFID(%u,%X)", cls, keyType))) return kFailure;
        if (cls == CKO_PUBLIC_KEY) *fid = 0x8000;
        if (cls == CKO_PRIVATE_KEY) *fid = 0xA020;
        if (cls == CKO_SECRET_KEY && (keyType == CKK_DES || keyType == CKK_DES3)) *fid = 0x0503;
        if (cls == CKO_SECRET_KEY && keyType == CKK_AES) *fid = 0x0512;
        return 0;
    }
    RV DeleteFile(uint16_t fid) override {
        calls.push_back(Text("DeleteFile(%X)", fid));
        files.erase(fid);
        return 0;
    }
    RV CreateRSAReference(uint32_t pub, uint32_t prv, uint32_t bits) override {
        return CreateFiles(Text("CreateRSAReference(%X,%X,%u)", pub, prv, bits), pub, prv);
    }
    RV CreateECCReference(uint32_t pub, uint32_t prv, uint32_t bits) override {
        return CreateFiles(Text("CreateECCReference(%X,%X,%u)", pub, prv, bits), pub, prv);
    }
    RV RSAGenerateKeyPair(uint32_t pub, uint32_t prv, uint32_t bits) override {
        if (Fails(Text("RSAGenerateKeyPair(%X,%X,%u)", pub, prv, bits))) return kFailure;
        return StoreKey(pub, prv, EVP_RSA_gen(bits));
    }
    RV ECCGenerateKeyPair(uint32_t pub, uint32_t prv, uint32_t bits) override {
        if (Fails(Text("ECCGenerateKeyPair(%X,%X,%u)", pub, prv, bits))) return kFailure;
        if (bits != 192 && bits != 256) return kFailure;
        return StoreKey(pub, prv, EVP_EC_gen(bits == 192 ? "P-192" : "P-256"));
    }
    RV RSAReadPubKey(uint32_t fid, uint8_t* n, uint32_t* nLen, uint8_t* e, uint32_t* eLen) override {
        if (Fails(Text("RSAReadPubKey(%X)", fid)) || !keys.count(fid)) return kFailure;
        return Answer(BnParam(keys[fid], OSSL_PKEY_PARAM_RSA_N), n, nLen, BnParam(keys[fid], OSSL_PKEY_PARAM_RSA_E), e,
                      eLen);
    }
    RV ECCReadPubKey(uint32_t fid, uint8_t* x, uint32_t* xLen, uint8_t* y, uint32_t* yLen) override {
        if (Fails(Text("ECCReadPubKey(%X)", fid)) || !keys.count(fid)) return kFailure;
        const size_t c = CoordLen(keys[fid]);
        return Answer(BnParam(keys[fid], OSSL_PKEY_PARAM_EC_PUB_X, c), x, xLen,
                      BnParam(keys[fid], OSSL_PKEY_PARAM_EC_PUB_Y, c), y, yLen);
    }
    RV RSAWritePubKey(uint32_t fid, const ByteVec& n, const ByteVec& e) override {
        return Write(Text("RSAWritePubKey(%X)", fid), fid, {n, e});
    }
    using IToken::RSAWritePrvKey;
    RV RSAWritePrvKey(uint32_t fid, const ByteVec& n, const ByteVec& d, const ByteVec& e, bool withPublic) override {
        return Write(Text("RSAWritePrvKey(%X,%d)", fid, withPublic ? 1 : 0), fid, {n, d, e});
    }
    RV ECCWritePrvKey(uint32_t fid, const uint8_t* key, uint32_t len) override {
        return Write(Text("ECCWritePrvKey(%X)", fid), fid, {Bytes(key, key + len)});
    }
    RV ECCWritePubKey(uint32_t fid, const uint8_t* key, uint32_t len) override {
        return Write(Text("ECCWritePubKey(%X)", fid), fid, {Bytes(key, key + len)});
    }
    RV UpdateKey(uint32_t number, const uint8_t* key, uint32_t len) override {
        if (Fails(Text("UpdateKey(%X,%u)", number, len))) return kFailure;
        secretKeys[number].assign(key, key + len);
        return 0;
    }

    RV RSAPrvRawCipher(uint32_t fid, const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* outLen) override {
        if (Fails(Text("RSAPrvRawCipher(%X,%u)", fid, len)) || !keys.count(fid)) return kFailure;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(keys[fid].get(), nullptr);
        size_t n = *outLen;
        const bool ok = EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
                        EVP_PKEY_decrypt(ctx, out, &n, in, len) == 1;
        EVP_PKEY_CTX_free(ctx);
        *outLen = static_cast<uint32_t>(n);
        return ok ? 0 : kFailure;
    }
    RV RSASign(uint32_t fid, const uint8_t* msg, uint32_t len, uint8_t* out, uint32_t* outLen,
               uint32_t mechanism) override {
        if (Fails(Text("RSASign(%X,%u,%X)", fid, len, mechanism)) || !keys.count(fid)) return kFailure;
        signedMessage.assign(msg, msg + len);
        const EVP_MD* md = DigestOf(mechanism);
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        size_t n = *outLen;
        const bool ok = md && EVP_DigestSignInit(ctx, nullptr, md, nullptr, keys[fid].get()) == 1 &&
                        EVP_DigestSign(ctx, out, &n, msg, len) == 1;
        EVP_MD_CTX_free(ctx);
        *outLen = static_cast<uint32_t>(n);
        return ok ? 0 : kFailure;
    }
    RV ECCSign(uint32_t fid, const uint8_t* msg, uint32_t len, uint8_t* out, uint32_t* outLen,
               uint32_t mechanism) override {
        if (Fails(Text("ECCSign(%X,%u,%X)", fid, len, mechanism)) || !keys.count(fid)) return kFailure;
        signedMessage.assign(msg, msg + len);
        Bytes digest(msg, msg + len);
        if (mechanism == CKM_ECDSA_SHA1) {
            digest.resize(20);
            EVP_Digest(msg, len, digest.data(), nullptr, EVP_sha1(), nullptr);
        }
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(keys[fid].get(), nullptr);
        Bytes der(160);
        size_t n = der.size();
        const bool ok =
            EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, der.data(), &n, digest.data(), digest.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        der.resize(n);
        const Bytes rs = RawFromDer(der, CoordLen(keys[fid]));
        if (!ok || rs.empty() || rs.size() > *outLen) return kFailure;
        std::memcpy(out, rs.data(), rs.size());
        *outLen = static_cast<uint32_t>(rs.size());
        return 0;
    }

    RV DES_ECB_OP(uint32_t number, const uint8_t* in, uint8_t* out, uint32_t len, bool encrypt) override {
        return Symmetric("DES_ECB_OP", false, number, nullptr, in, out, len, encrypt);
    }
    RV AES_ECB_OP(uint32_t number, const uint8_t* in, uint8_t* out, uint32_t len, bool encrypt) override {
        return Symmetric("AES_ECB_OP", true, number, nullptr, in, out, len, encrypt);
    }
    RV DES_Encrypt_CBC(uint32_t number, uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len) override {
        return Symmetric("DES_Encrypt_CBC", false, number, iv, in, out, len, true);
    }
    RV DES_Decrypt_CBC(uint32_t number, uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len) override {
        return Symmetric("DES_Decrypt_CBC", false, number, iv, in, out, len, false);
    }
    RV AES_Encrypt_CBC(uint32_t number, uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len) override {
        return Symmetric("AES_Encrypt_CBC", true, number, iv, in, out, len, true);
    }
    RV AES_Decrypt_CBC(uint32_t number, uint8_t* iv, const uint8_t* in, uint8_t* out, uint32_t len) override {
        return Symmetric("AES_Decrypt_CBC", true, number, iv, in, out, len, false);
    }

    // Not used by the mechanisms.
    RV ConnectAndSetenv() override { return 0; }
    bool IsCorrectStore() override { return true; }
    RV Lock() override { return 0; }
    RV Unlock() override { return 0; }
    RV GenerateRandom(uint8_t*, uint32_t) override { return kFailure; }
    RV GetSerialNumber(uint8_t*, uint32_t) override { return kFailure; }
    RV LowLevelPKIInit(const void*) override { return kFailure; }
    bool IsOldKey() override { return false; }
    RV ReadBinary(uint16_t, uint8_t*, uint32_t, uint32_t, uint32_t*) override { return kFailure; }
    RV WriteBinary(uint16_t, uint32_t, const uint8_t*, uint32_t, uint32_t*) override { return kFailure; }
    RV GetFileSize(uint16_t, uint32_t*) override { return kFailure; }
    RV SelectFile(uint16_t) override { return kFailure; }
    RV CreateFile(uint16_t, uint32_t, uint8_t, uint8_t, uint8_t) override { return kFailure; }
    RV GetWriteCount(uint32_t*) override { return kFailure; }

private:
    bool Fails(const std::string& text) {
        calls.push_back(text);
        return !failOn.empty() && (failOn == text || failOn == text.substr(0, text.find('(')));
    }
    RV CreateFiles(const std::string& text, uint32_t pub, uint32_t prv) {
        if (Fails(text)) return kFailure;
        for (uint32_t fid : {pub, prv}) {
            if (fid) files.insert(fid);
        }
        return 0;
    }
    RV StoreKey(uint32_t pub, uint32_t prv, EVP_PKEY* generated) {
        if (!generated) return kFailure;
        keys[pub] = keys[prv] = Own(generated);
        return 0;
    }
    RV Write(const std::string& text, uint32_t fid, std::vector<Bytes> parts) {
        if (Fails(text)) return kFailure;
        written[fid] = std::move(parts);
        return 0;
    }
    static size_t CoordLen(const PKey& key) { return static_cast<size_t>(EVP_PKEY_get_bits(key.get()) + 7) / 8; }
    static RV Answer(const Bytes& a, uint8_t* outA, uint32_t* lenA, const Bytes& b, uint8_t* outB, uint32_t* lenB) {
        if (a.size() > *lenA || b.size() > *lenB) return RV_BUFFER_TOO_SMALL;
        std::memcpy(outA, a.data(), a.size());
        std::memcpy(outB, b.data(), b.size());
        *lenA = static_cast<uint32_t>(a.size());
        *lenB = static_cast<uint32_t>(b.size());
        return 0;
    }
    // ECB, or CBC with a zero IV inside the call: the caller's IV is XORed
    // into the first block (encryption) or first result (decryption), and
    // the last cipher block is left in it for the next call.
    RV Symmetric(const char* name, bool aes, uint32_t number, uint8_t* iv, const uint8_t* in, uint8_t* out,
                 uint32_t len, bool encrypt) {
        const uint32_t block = aes ? 16 : 8;
        if (Fails(Text("%s(%X,%u)", name, number, len)) || !secretKeys.count(number) || len % block) return kFailure;
        if (len == 0) return 0;
        Bytes input(in, in + len);
        const Bytes zero(block, 0);
        if (iv && encrypt) {
            for (uint32_t i = 0; i < block; ++i) input[i] ^= iv[i];
        }
        Bytes result;
        if (!EvpCrypt(aes, iv != nullptr, secretKeys[number], iv ? zero.data() : nullptr, encrypt, false, input.data(),
                      len, result) ||
            result.size() != len)
            return kFailure;
        std::memcpy(out, result.data(), len);
        if (!iv) return 0;
        if (!encrypt) {
            for (uint32_t i = 0; i < block; ++i) out[i] ^= iv[i];
        }
        std::memcpy(iv, (encrypt ? out : in) + len - block, block);
        return 0;
    }
};

// A template for ObjFactory: CK_ULONG values in the caller's 8 bytes.
class Template {
public:
    Template& ULong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        Bytes v(sizeof value);
        std::memcpy(v.data(), &value, sizeof value);
        return Value(type, v);
    }
    Template& Bool(CK_ATTRIBUTE_TYPE type, bool value) { return Value(type, {static_cast<uint8_t>(value ? 1 : 0)}); }
    Template& Value(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
        entries_.emplace_back(type, value);
        return *this;
    }
    ObjPtr Make() const {
        std::vector<CK_ATTRIBUTE> t;
        for (const auto& e : entries_) {
            t.push_back({e.first, const_cast<uint8_t*>(e.second.data()), e.second.size()});
        }
        return ObjFactory::CreateObject(t.data(), t.size());
    }

private:
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> entries_;
};

// A key object of a class and key type referring to key file ref (none for 0).
inline Template TokenKey(CK_OBJECT_CLASS cls, CK_KEY_TYPE type, CK_ULONG ref, bool onToken = true) {
    Template t;
    t.ULong(CKA_CLASS, cls).ULong(CKA_KEY_TYPE, type).Bool(CKA_TOKEN, onToken);
    if (ref) t.ULong(CKA_VENDOR_KEY_REF, ref);
    return t;
}

// A fake token and a factory holding its registry.
struct Harness {
    FakeKeyToken token;
    AlgFactory factory{&token};

    Harness() { RegHardAlg(factory); }
    // A multi-part object for a function, created and initialised by the factory.
    std::unique_ptr<AlgMultiPart> Multi(KV_MECH_FUNC_E func, CK_MECHANISM_TYPE type, const ObjPtr& key,
                                        const Bytes& param = {}, CK_RV* rv = nullptr) {
        CK_MECHANISM m{type, param.empty() ? nullptr : const_cast<uint8_t*>(param.data()), param.size()};
        Alg* alg = nullptr;
        CK_RV got = CKR_GENERAL_ERROR;
        switch (func) {
            case MECH_FUNC_ENCRYPT: got = factory.CreateEncAlg(&m, key, &alg); break;
            case MECH_FUNC_DECRYPT: got = factory.CreateDecAlg(&m, key, &alg); break;
            case MECH_FUNC_SIGN: got = factory.CreateSignAlg(&m, key, &alg); break;
            default: break;
        }
        if (rv) *rv = got;
        return std::unique_ptr<AlgMultiPart>(dynamic_cast<AlgMultiPart*>(alg));
    }
};

}  // namespace fake_token

#endif
