// Key material of the card: key pair generation, key-part writes, public-key
// reads and secret keys. Private key parts never leave the card: no command
// answers with them.
#include "card.h"
#include "key_crypto.h"

namespace sim {
namespace {

uint16_t Be16(const Bytes& d, size_t at) { return static_cast<uint16_t>((d[at] << 8) | d[at + 1]); }

bool RsaBitsSupported(unsigned bits) {
    return bits == 512 || bits == 768 || bits == 1024 || bits == 1536 || bits == 2048;
}

// The checks on one written RSA part: exponent 1-8 bytes, modulus 64-256
// bytes (odd, no leading zero), private exponent up to 256 bytes.
uint16_t CheckRsaPart(uint8_t part, const SecretBytes& value) {
    switch (part) {
        case kRsaExponent: return value.size() <= 8 ? 0x9000 : 0x6700;
        case kRsaModulus:
            if (value.size() < 64 || value.size() > 256) return 0x6700;
            return RsaModulusUsable(value) ? 0x9000 : 0x6A80;
        default: return value.size() <= 256 ? 0x9000 : 0x6700;
    }
}

// The checks on one written EC part. The curve follows from the length: a
// scalar of up to 24 bytes is a P-192 one, of 25 to 32 a P-256 one (a big
// integer may come without its leading zeros; it is kept at full width). A
// public point in the 04 || x || y form is kept as x || y.
uint16_t CheckEcPart(uint8_t part, SecretBytes& value) {
    if (part == kEcPrivateScalar) {
        if (value.size() > 32) return 0x6700;
        const Curve curve = value.size() > 24 ? Curve::P256 : Curve::P192;
        value.insert(value.begin(), CurveBytes(curve) - value.size(), 0x00);
        return EcScalarUsable(curve, value) ? 0x9000 : 0x6A80;
    }
    if (value.size() % 2 == 1 && value[0] == 0x04) value.erase(value.begin());
    auto curve = CurveOfWidth(value.size() / 2);
    if (!curve || value.size() % 2) return 0x6700;
    return EcPointUsable(*curve, Bytes(value.begin(), value.end())) ? 0x9000 : 0x6A80;
}

}  // namespace

// 00 46 00 00, data: algorithm (01 RSA, 02 EC), bits (2 bytes), private FID,
// public FID. RSA: 512-2048 bits, e = 65537; EC: 256 bits P-256, 192 P-192.
Answer Card::GenerateKeyPair(const CommandApdu& c) {
    if (c.p1 || c.p2) return {{}, 0x6A86};
    if (c.data.size() != 7) return {{}, 0x6700};
    const uint8_t algorithm = c.data[0];
    const unsigned bits = Be16(c.data, 1);
    const bool rsa = algorithm == 0x01;
    std::optional<Curve> curve = bits % 8 ? std::nullopt : CurveOfWidth(bits / 8);
    if ((algorithm != 0x01 && algorithm != 0x02) || (rsa ? !RsaBitsSupported(bits) : !curve)) return {{}, 0x6A80};
    ElementaryFile* privateFile = FileInApplication(Be16(c.data, 3));
    ElementaryFile* publicFile = FileInApplication(Be16(c.data, 5));
    if (!privateFile || !publicFile) return {{}, 0x6A82};
    if (privateFile->kind != (rsa ? kRsaPrivateFile : kEcPrivateFile) ||
        publicFile->kind != (rsa ? kRsaPublicFile : kEcPublicFile))
        return {{}, 0x6981};
    if (!MayUseSecrets()) return {{}, 0x6982};
    if (rsa) {
        auto key = GenerateRsaKey(bits);
        if (!key) return {{}, 0x6F00};
        privateFile->keyItems = {{kRsaExponent, key->exponent},
                                 {kRsaModulus, key->modulus},
                                 {kRsaPrivateExponent, key->privateExponent}};
        publicFile->keyItems = {{kRsaExponent, key->exponent}, {kRsaModulus, key->modulus}};
    } else {
        auto key = GenerateEcKey(*curve);
        if (!key) return {{}, 0x6F00};
        privateFile->keyItems = {{kEcPrivateScalar, key->scalar}};
        publicFile->keyItems = {{kEcPublicPoint, SecretBytes(key->point.begin(), key->point.end())}};
    }
    Changed();
    return {{}, 0x9000};
}

// 80 E7 part 00 (RSA: 1 exponent, 2 modulus, 3 private exponent) and 80 E9
// part 00 (EC: 1 private scalar, 2 public point), data: FID || the part.
// Public key files take the public parts only; writing into a private key
// file needs the user PIN.
Answer Card::WriteKeyItem(const CommandApdu& c, bool rsa) {
    const uint8_t part = c.p1;
    if (part < 1 || part > (rsa ? 3 : 2) || c.p2) return {{}, 0x6A86};
    if (c.data.size() < 3) return {{}, 0x6700};
    ElementaryFile* f = FileInApplication(Be16(c.data, 0));
    if (!f) return {{}, 0x6A82};
    const bool privateFile = f->kind == (rsa ? kRsaPrivateFile : kEcPrivateFile);
    const bool publicFile = f->kind == (rsa ? kRsaPublicFile : kEcPublicFile);
    const bool privatePart = part == (rsa ? kRsaPrivateExponent : kEcPrivateScalar);
    if (!privateFile && !(publicFile && !privatePart)) return {{}, 0x6981};
    if (privateFile && !MayUseSecrets()) return {{}, 0x6982};
    SecretBytes value(c.data.begin() + 2, c.data.end());
    uint16_t sw = rsa ? CheckRsaPart(part, value) : CheckEcPart(part, value);
    if (sw != 0x9000) return {{}, sw};
    f->keyItems[part] = std::move(value);
    Changed();
    return {{}, 0x9000};
}

// 80 B4 00 00, data: FID. RSA: 82 L exponent, 81 82 L-high L-low modulus;
// EC: 86 L x, 87 L y. Private key files are not readable (condition FF).
Answer Card::ReadPublicKey(const CommandApdu& c) {
    if (c.p1 || c.p2) return {{}, 0x6A86};
    if (c.data.size() != 2) return {{}, 0x6700};
    const ElementaryFile* f = FileInApplication(Be16(c.data, 0));
    if (!f) return {{}, 0x6A82};
    if (!f->IsKeyFile()) return {{}, 0x6981};
    if (!Allowed(f->readCond)) return {{}, 0x6982};
    auto item = [f](uint8_t id) -> const SecretBytes* {
        auto it = f->keyItems.find(id);
        return it == f->keyItems.end() ? nullptr : &it->second;
    };
    Bytes out;
    if (f->kind == kRsaPrivateFile || f->kind == kRsaPublicFile) {
        const SecretBytes *e = item(kRsaExponent), *n = item(kRsaModulus);
        if (!e || !n) return {{}, 0x6A88};
        out = {0x82, static_cast<uint8_t>(e->size())};
        out.insert(out.end(), e->begin(), e->end());
        out.insert(out.end(), {0x81, 0x82, static_cast<uint8_t>(n->size() >> 8), static_cast<uint8_t>(n->size())});
        out.insert(out.end(), n->begin(), n->end());
    } else {
        const SecretBytes* point = item(kEcPublicPoint);
        if (!point) return {{}, 0x6A88};
        const long w = static_cast<long>(point->size() / 2);
        out = {0x86, static_cast<uint8_t>(w)};
        out.insert(out.end(), point->begin(), point->begin() + w);
        out.insert(out.end(), {0x87, static_cast<uint8_t>(w)});
        out.insert(out.end(), point->begin() + w, point->end());
    }
    return {out, 0x9000};
}

// 80 E5 05 k, data: 00 || a DES, triple-DES or AES key of 8, 16, 24 or 32
// bytes, kept as secret key k apart from the PIN keys of 80 E5 04.
Answer Card::LoadSecretKey(const CommandApdu& c) {
    if (c.p2 == 0) return {{}, 0x6A86};
    const size_t n = c.data.empty() ? 0 : c.data.size() - 1;
    if (n != 8 && n != 16 && n != 24 && n != 32) return {{}, 0x6700};
    if (c.data[0] != 0x00) return {{}, 0x6A80};
    if (!MayUseSecrets()) return {{}, 0x6982};
    state_.secretKeys[c.p2].assign(c.data.begin() + 1, c.data.end());
    Changed();
    return {{}, 0x9000};
}

}  // namespace sim
