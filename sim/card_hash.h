// Digests of the card: a whole message, a message whose head was hashed
// elsewhere, and the on-card HMAC.
#ifndef KVSIM_CARD_HASH_H
#define KVSIM_CARD_HASH_H

#include <optional>

#include "sim_crypto.h"

namespace sim {

enum class HashAlg { Sha1, Sha256 };

size_t DigestSize(HashAlg alg);  // 20 or 32
Bytes Digest(HashAlg alg, const Bytes& message);
// The digest of a message whose first `blocks` 64-byte blocks were hashed
// elsewhere: the hash resumes from their chaining value (the state words,
// each big-endian) and runs over the rest of the message. nullopt for a
// chaining value of the wrong size.
std::optional<Bytes> ResumeDigest(HashAlg alg, uint64_t blocks, const Bytes& chaining, const Bytes& tail);
Bytes HmacSha1(const Bytes& key, const Bytes& data);

}  // namespace sim

#endif
