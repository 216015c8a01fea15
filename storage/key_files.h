// Where the token's key files live: each kind of key object has its range of
// file IDs, and a key file is only ever one of them. Deciding what to delete
// on a key object's word or a note from the phone's storage starts here.
#ifndef KV_STORAGE_KEY_FILES_H
#define KV_STORAGE_KEY_FILES_H

#include <cstdint>

struct KeyFileRange {
    uint32_t first, step, last;
    bool Holds(uint32_t fid) const { return fid >= first && fid <= last && (fid - first) % step == 0; }
};

// The range of key files of a key class and type; false for keys that never
// live in a token key file.
bool KeyFileRangeFor(uint32_t keyClass, uint32_t keyType, KeyFileRange& range);
// Whether fid is the key file a key of that class and type may name.
bool IsKeyFileOf(uint32_t keyClass, uint32_t keyType, uint32_t fid);
// Whether fid lies in the range of any kind of key.
bool IsKeyFile(uint32_t fid);

#endif
