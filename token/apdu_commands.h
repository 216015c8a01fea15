// The token's command vocabulary: every command APDU the library sends,
// built by name. ISO 7816-4 commands carry their ISO names; the token's own
// (CLA 80, or 84/8C with secure messaging) are named by what they do.
#ifndef KV_TOKEN_APDU_COMMANDS_H
#define KV_TOKEN_APDU_COMMANDS_H

#include <cstdint>

#include "apdu.h"

namespace apdu {

// Instruction bytes.
enum : uint8_t {
    kInsMseSet = 0x22,               // MANAGE SECURITY ENVIRONMENT
    kInsPso = 0x2A,                  // PERFORM SECURITY OPERATION
    kInsListFiles = 0x34,            // the token's list of the FIDs it holds
    kInsGenerateKeyPair = 0x46,      // GENERATE ASYMMETRIC KEY PAIR
    kInsInitializeUpdate = 0x50,     // secure channel opening, first step
    kInsExternalAuthenticate = 0x82, // EXTERNAL AUTHENTICATE: PIN proofs and the channel cryptogram
    kInsGetChallenge = 0x84,         // GET CHALLENGE
    kInsSelect = 0xA4,               // SELECT by FID
    kInsReadBinary = 0xB0,           // READ BINARY
    kInsReadPublicKey = 0xB4,        // the public half of a key file
    kInsGetResponse = 0xC0,          // GET RESPONSE
    kInsGetData = 0xCA,              // GET DATA
    kInsUpdateBinary = 0xD6,         // UPDATE BINARY
    kInsCreateFile = 0xE0,           // CREATE FILE
    kInsDeleteFile = 0xE4,           // DELETE FILE
    kInsUpdateKey = 0xE5,            // PIN keys and secret keys
    kInsWriteRsaItem = 0xE7,         // one part of an RSA key into its key file
    kInsWriteEcItem = 0xE9,          // one part of an EC key into its key file
    kInsHmac = 0xED,                 // HMAC with the token's HMAC key
};

// P1 P2 of MANAGE SECURITY ENVIRONMENT: SET for computation (41) or for
// encipherment (81), of the digital-signature (B6) or confidentiality (B8)
// template.
constexpr uint8_t kMseSetCompute = 0x41, kMseSetEncipher = 0x81;
constexpr uint8_t kMseSignTemplate = 0xB6, kMseCipherTemplate = 0xB8;

// P1 P2 of PERFORM SECURITY OPERATION (the tag of the answer, then of the data).
struct PsoKind {
    uint8_t p1, p2;
};
constexpr PsoKind kPsoSign{0x9E, 0x9A};      // COMPUTE DIGITAL SIGNATURE
constexpr PsoKind kPsoDecipher{0x80, 0x86};  // DECIPHER
constexpr PsoKind kPsoEncipher{0x86, 0x80};  // ENCIPHER
constexpr PsoKind kPsoHash{0x90, 0x80};      // HASH of the plain data
constexpr PsoKind kPsoHashRest{0x90, 0xA0};  // HASH continued from a chaining value given in data objects

// SELECT the file with this FID (00 A4 00 00 02 fid).
APDU SelectFile(uint16_t fid);
// DELETE FILE with this FID (00 E4 00 00 02 fid).
APDU DeleteFile(uint16_t fid);
// CREATE FILE with its control parameters (00 E0 00 00 fcp).
APDU CreateFile(const ByteVec& fcp);
// READ BINARY of le bytes at offset of the selected file (00 B0 hi lo le).
APDU ReadBinary(uint32_t offset, uint32_t le);
// UPDATE BINARY of length bytes at offset of the selected file (00 D6 hi lo).
APDU UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t length);
// The FIDs of the current directory, two bytes each (80 34 00 00).
APDU ListFiles();
// GET DATA of a token data object (00 CA 01 tag).
APDU GetData(uint8_t tag);
// GET CHALLENGE of le random bytes (00 84 00 00 le).
APDU GetChallenge(uint32_t le);

// INITIALIZE UPDATE with the 8-byte host challenge (80 50 00 00 08).
APDU InitializeUpdate(const uint8_t* hostChallenge);
// EXTERNAL AUTHENTICATE of the channel with the 16-byte host cryptogram and
// its MAC (84 82 03 00 10).
APDU ChannelAuthenticate(const uint8_t* cryptogram);
// EXTERNAL AUTHENTICATE with a PIN key: the 8-byte proof, or none to read
// the retry counter from the answer's status (00 82 01 p2, p2 = key | 80).
APDU PinAuthenticate(uint8_t p2, const uint8_t* proof, uint32_t length);
// New value and try limits of PIN key 1 or 2 (80 E5 04 key).
APDU UpdatePinKey(uint8_t keyNumber, const uint8_t* data, uint32_t length);
// New value of a secret key held by number (80 E5 05 key).
APDU UpdateSecretKey(uint8_t keyNumber, const ByteVec& data);

// GENERATE ASYMMETRIC KEY PAIR into the two key files named in data
// (00 46 00 00: kind, bits, private FID, public FID).
APDU GenerateKeyPair(const uint8_t* data, uint32_t length);
// One part of a key into its key file (80 E7 or E9, part, 00: FID then value).
APDU WriteKeyItem(uint8_t ins, uint8_t part, const ByteVec& item);
// The public half of a key file (80 B4 00 00 02 fid).
APDU ReadPublicKey(uint16_t fid);

// MANAGE SECURITY ENVIRONMENT SET with its control reference templates (00 22 p1 p2).
APDU MseSet(uint8_t p1, uint8_t p2, const ByteVec& templates);
// PERFORM SECURITY OPERATION of this kind over data, le bytes expected (00 2A).
APDU Pso(PsoKind kind, const uint8_t* data, uint32_t length, uint32_t le);
// HMAC of data with the token's HMAC key, 20 bytes back; always wrapped
// (CLA 8C carries the secure-messaging bits).
APDU Hmac(const uint8_t* data, uint32_t length);

}  // namespace apdu

#endif
