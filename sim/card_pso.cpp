// MANAGE SECURITY ENVIRONMENT, PERFORM SECURITY OPERATION (hash, signature,
// decipher, encipher) and the on-card HMAC.
#include "card.h"
#include "card_hash.h"
#include "key_crypto.h"
#include "tlv.h"

namespace sim {
namespace {

// Algorithm bytes of the security environment.
constexpr uint8_t kDesEcb = 0x01, kDesCbc = 0x02, kAesEcb = 0x03, kAesCbc = 0x04;
constexpr uint8_t kRsaSha1 = 0x81, kRsaSha256 = 0x82, kRsaRaw = 0x84;
constexpr uint8_t kEcdsaSha1 = 0x91, kEcdsaSha256 = 0x92, kEcDecrypt = 0x93;

bool IsSecretAlgorithm(uint8_t a) { return a >= kDesEcb && a <= kAesCbc; }
bool IsRsaAlgorithm(uint8_t a) { return a == kRsaSha1 || a == kRsaSha256 || a == kRsaRaw; }

// The algorithms each template takes: 41 B6 signature, 41 B8 decipher, 81 B8 encipher.
bool AlgorithmFits(uint8_t p1, uint8_t p2, uint8_t a) {
    if (p1 == 0x41 && p2 == 0xB6) return a == kRsaSha1 || a == kRsaSha256 || a == kEcdsaSha1 || a == kEcdsaSha256;
    if (p1 == 0x41 && p2 == 0xB8) return a == kRsaRaw || a == kEcDecrypt || IsSecretAlgorithm(a);
    return IsSecretAlgorithm(a);
}

HashAlg HashOf(uint8_t signatureAlgorithm) {
    return signatureAlgorithm == kRsaSha1 || signatureAlgorithm == kEcdsaSha1 ? HashAlg::Sha1 : HashAlg::Sha256;
}

uint32_t Be32(const Bytes& b) { return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]; }

}  // namespace

// 00 22 P1 P2, data: 80 01 algorithm, then 81 02 FID (key file) or 83 01 k
// (secret key). The key is looked up when it is used.
Answer Card::ManageSecurityEnvironment(const CommandApdu& c) {
    std::optional<KeyReference>* slot = nullptr;
    if (c.p1 == 0x41 && c.p2 == 0xB6) slot = &env_.signature;
    else if (c.p1 == 0x41 && c.p2 == 0xB8) slot = &env_.decipher;
    else if (c.p1 == 0x81 && c.p2 == 0xB8) slot = &env_.encipher;
    else return {{}, 0x6A86};
    auto objects = ParseTlvRun(c.data, 0, c.data.size());
    if (!objects || objects->size() != 2 || !objects->count(0x80) || objects->at(0x80).size() != 1)
        return {{}, 0x6A80};
    KeyReference ref;
    ref.algorithm = objects->at(0x80)[0];
    if (!AlgorithmFits(c.p1, c.p2, ref.algorithm)) return {{}, 0x6A80};
    const bool secret = IsSecretAlgorithm(ref.algorithm);
    auto key = objects->find(secret ? 0x83 : 0x81);
    if (key == objects->end() || key->second.size() != (secret ? 1u : 2u)) return {{}, 0x6A80};
    if (secret) ref.keyNumber = key->second[0];
    else ref.fid = static_cast<uint16_t>(key->second[0] << 8 | key->second[1]);
    *slot = ref;
    if (slot == &env_.signature) env_.hash.clear();
    return {{}, 0x9000};
}

Answer Card::PerformSecurityOperation(const CommandApdu& c) {
    switch (c.p1 << 8 | c.p2) {
        case 0x9080: return Hash(c, false);
        case 0x90A0: return Hash(c, true);
        case 0x9E9A: return ComputeSignature(c);
        case 0x8086: return Decipher(c);
        case 0x8680: return Encipher(c);
        default: return {{}, 0x6A86};
    }
}

// PSO HASH with the hash of the signature template. 90 80: the data is the
// whole message. 90 A0: 81 04 count of 64-byte blocks already hashed,
// 90 L their chaining value, 80 L the rest of the message. The hash is
// answered and kept for the next signature.
Answer Card::Hash(const CommandApdu& c, bool continued) {
    if (!env_.signature) return {{}, 0x6A88};
    const HashAlg alg = HashOf(env_.signature->algorithm);
    std::optional<Bytes> hash;
    if (!continued) {
        hash = Digest(alg, c.data);
    } else {
        auto objects = ParseTlvRun(c.data, 0, c.data.size());
        if (!objects || objects->size() != 3 || !objects->count(0x81) || objects->at(0x81).size() != 4 ||
            !objects->count(0x90) || !objects->count(0x80))
            return {{}, 0x6A80};
        hash = ResumeDigest(alg, Be32(objects->at(0x81)), objects->at(0x90), objects->at(0x80));
        if (!hash) return {{}, 0x6A80};
    }
    env_.hash = *hash;
    return {*hash, 0x9000};
}

uint16_t Card::UsablePrivateKey(const KeyReference& ref, const ElementaryFile*& file) {
    const bool rsa = IsRsaAlgorithm(ref.algorithm);
    file = FileInApplication(ref.fid);
    if (!file) return 0x6A88;
    if (file->kind != (rsa ? kRsaPrivateFile : kEcPrivateFile)) return 0x6981;
    const auto& items = file->keyItems;
    auto scalar = items.find(kEcPrivateScalar);
    if (rsa ? !items.count(kRsaModulus) || !items.count(kRsaPrivateExponent)
            : scalar == items.end() || !CurveOfWidth(scalar->second.size()))
        return 0x6A88;
    return MayUseSecrets() ? 0x9000 : 0x6982;
}

// PSO COMPUTE DIGITAL SIGNATURE. RSA: no data; PKCS#1 v1.5 over the kept hash
// with its DigestInfo. ECDSA: r || s over the given 20-byte (91) or 32-byte
// (92) hash, or without data over the kept hash.
Answer Card::ComputeSignature(const CommandApdu& c) {
    if (!env_.signature) return {{}, 0x6A88};
    const KeyReference ref = *env_.signature;
    const ElementaryFile* f = nullptr;
    if (uint16_t sw = UsablePrivateKey(ref, f); sw != 0x9000) return {{}, sw};
    const bool rsa = IsRsaAlgorithm(ref.algorithm);
    if (!c.data.empty() && (rsa || c.data.size() != DigestSize(HashOf(ref.algorithm)))) return {{}, 0x6700};
    const Bytes hash = c.data.empty() ? env_.hash : c.data;
    if (hash.empty()) return {{}, 0x6986};  // nothing hashed for this signature
    env_.hash.clear();
    std::optional<Bytes> signature;
    if (rsa) {
        const SecretBytes& n = f->keyItems.at(kRsaModulus);
        auto block = Pkcs1SignatureBlock(hash, n.size());
        if (!block) return {{}, 0x6700};
        signature = RsaPrivateOp(n, f->keyItems.at(kRsaPrivateExponent), *block);
    } else {
        const SecretBytes& d = f->keyItems.at(kEcPrivateScalar);
        signature = EcdsaSign(*CurveOfWidth(d.size()), d, hash);
    }
    if (!signature) return {{}, 0x6A80};
    return {*signature, 0x9000};
}

// PSO DECIPHER: raw RSA of a modulus-long block, EC decryption of 4 field
// widths, or a secret-key cipher.
Answer Card::Decipher(const CommandApdu& c) {
    if (!env_.decipher) return {{}, 0x6A88};
    const KeyReference ref = *env_.decipher;
    if (IsSecretAlgorithm(ref.algorithm)) return SecretKeyOperation(ref, c.data, false);
    const ElementaryFile* f = nullptr;
    if (uint16_t sw = UsablePrivateKey(ref, f); sw != 0x9000) return {{}, sw};
    std::optional<Bytes> plain;
    if (ref.algorithm == kRsaRaw) {
        const SecretBytes& n = f->keyItems.at(kRsaModulus);
        if (c.data.size() != n.size()) return {{}, 0x6700};
        plain = RsaPrivateOp(n, f->keyItems.at(kRsaPrivateExponent), c.data);
    } else {
        const SecretBytes& d = f->keyItems.at(kEcPrivateScalar);
        const Curve curve = *CurveOfWidth(d.size());
        if (c.data.size() != 4 * CurveBytes(curve)) return {{}, 0x6700};
        plain = EcDecrypt(curve, d, c.data);
    }
    if (!plain) return {{}, 0x6A80};
    return {*plain, 0x9000};
}

// PSO ENCIPHER with a secret key.
Answer Card::Encipher(const CommandApdu& c) {
    if (!env_.encipher) return {{}, 0x6A88};
    return SecretKeyOperation(*env_.encipher, c.data, true);
}

// ECB, or CBC from a zero IV, over whole blocks; the key's length must suit
// the algorithm's family.
Answer Card::SecretKeyOperation(const KeyReference& ref, const Bytes& in, bool encrypt) {
    auto key = state_.secretKeys.find(ref.keyNumber);
    if (key == state_.secretKeys.end()) return {{}, 0x6A88};
    if (!MayUseSecrets()) return {{}, 0x6982};
    const SecretFamily family = ref.algorithm >= kAesEcb ? SecretFamily::Aes : SecretFamily::Des;
    if (in.empty() || in.size() % BlockSize(family)) return {{}, 0x6700};
    auto out = SecretKeyCrypt(family, ref.algorithm == kDesCbc || ref.algorithm == kAesCbc, key->second, in, encrypt);
    if (!out) return {{}, 0x6981};
    return {*out, 0x9000};
}

// 8C ED 00 00, data, Le 20: HMAC-SHA-1 of the data under the user PIN key.
// Only in secure messaging, which keeps the answer off the wire, and after
// the user PIN.
Answer Card::Hmac(const CommandApdu& c) {
    if (c.p1 || c.p2) return {{}, 0x6A86};
    if (!commandWrapped_ || !verified_[0]) return {{}, 0x6982};
    return {HmacSha1(state_.pins[0].value, c.data), 0x9000};
}

}  // namespace sim
