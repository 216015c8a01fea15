// What the token-backed mechanisms share: attribute reads and writes on key
// objects, the token-side key reference, and the removal of the key files
// a failed key creation leaves on the token.
#ifndef KV_MECH_HARD_HARD_KEY_H
#define KV_MECH_HARD_HARD_KEY_H

#include <cstdint>

#include "iobj.h"
#include "key_rules.h"

class IToken;

// The largest RSA modulus the token holds, in bytes (2048 bits).
constexpr uint32_t kMaxModulusBytes = 256;
// What a secret key's reference adds to its key number.
constexpr uint32_t kSecretKeyRef = 0x500;

// A CK_ULONG attribute in the 4 bytes the object keeps, and a byte string.
CK_RV WriteULong(const ObjPtr& obj, uint32_t type, uint32_t value);
CK_RV WriteBytes(const ObjPtr& obj, uint32_t type, const ByteVec& value);

// CKA_VENDOR_KEY_REF: the key file (key pairs) or the key number ORed with
// 0x500 (secret keys) on the token.
inline CK_RV ReadKeyRef(const ObjPtr& key, uint32_t& ref) { return ReadULong(key, CKA_VENDOR_KEY_REF, ref); }

// A key object of the given class and key type with CKA_TOKEN true; any
// mismatch is CKR_GENERAL_ERROR, a failed read is returned as it is.
CK_RV CheckTokenKey(const ObjPtr& key, uint32_t cls, uint32_t keyType);

// The outcome of a token operation whose answer must be want bytes long:
// a token failure is CKR_DEVICE_ERROR, an answer of another length
// CKR_GENERAL_ERROR.
CK_RV ExactAnswer(uint32_t tokenResult, uint32_t got, uint32_t want);

// Deletes the key files of a key being created (at most two, tracked from
// just before they are created) when it goes out of scope, unless Keep()
// was called. Made before anything of the key is allocated: it first
// sweeps away the key files of creations cut short, and notes the tracked
// files with the token until a stored object names them.
class KeyFilesGuard {
public:
    explicit KeyFilesGuard(IToken* token);
    ~KeyFilesGuard();
    KeyFilesGuard(const KeyFilesGuard&) = delete;
    KeyFilesGuard& operator=(const KeyFilesGuard&) = delete;
    void Track(uint16_t fid);
    void Keep() { kept_ = true; }

private:
    IToken* token_;
    uint16_t fids_[2] = {};
    bool kept_ = false;
};

#endif
