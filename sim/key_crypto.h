// Public-key work of the card: RSA and EC key pairs, the private-key
// operations and the checks on written key parts (OpenSSL 3).
#ifndef KVSIM_KEY_CRYPTO_H
#define KVSIM_KEY_CRYPTO_H

#include <optional>

#include "sim_crypto.h"

namespace sim {

enum class Curve { P192, P256 };

// Bytes of a scalar or of one coordinate: 24 or 32.
size_t CurveBytes(Curve c);
// The curve whose scalars and coordinates are this many bytes long.
std::optional<Curve> CurveOfWidth(size_t bytes);

struct RsaKeyPair {
    SecretBytes modulus, exponent, privateExponent;  // the private exponent as long as the modulus
};
// e = 65537.
std::optional<RsaKeyPair> GenerateRsaKey(unsigned bits);
// A modulus the card can use: odd, with a non-zero first byte.
bool RsaModulusUsable(const SecretBytes& n);
// in^d mod n in n's length; nullopt when in is not below n.
std::optional<Bytes> RsaPrivateOp(const SecretBytes& n, const SecretBytes& d, const Bytes& in);
// EMSA-PKCS1-v1_5 block of k bytes: 00 01 FF.. 00 DigestInfo hash, for a
// SHA-1 or SHA-256 hash; nullopt when it does not fit.
std::optional<Bytes> Pkcs1SignatureBlock(const Bytes& hash, size_t k);

struct EcKeyPair {
    SecretBytes scalar;
    Bytes point;  // x || y
};
std::optional<EcKeyPair> GenerateEcKey(Curve c);
bool EcScalarUsable(Curve c, const SecretBytes& d);  // 0 < d < order
bool EcPointUsable(Curve c, const Bytes& xy);        // on the curve
// ECDSA over a given hash: r || s, each CurveBytes wide.
std::optional<Bytes> EcdsaSign(Curve c, const SecretBytes& d, const Bytes& hash);
// EC decryption (SEC 1 ECIES) of R || C || T, each part one field width w
// except R (2w): R is the sender's ephemeral point x || y, Z the x coordinate
// of d·R, K = ANSI X9.63 KDF with SHA-256 over Z (no shared info), w + 32
// bytes; the message is C XOR K[0, w) and T the first w bytes of
// HMAC-SHA-256 under K[w, w + 32) over C. nullopt when R is not on the
// curve or T does not match.
std::optional<Bytes> EcDecrypt(Curve c, const SecretBytes& d, const Bytes& in);

}  // namespace sim

#endif
