// Cached access to token files by FID.
#ifndef KV_STORAGE_IFILE_CACHE_H
#define KV_STORAGE_IFILE_CACHE_H

#include <cstdint>

#include "kv_types.h"

class IFileCache {
public:
    virtual ~IFileCache() = default;
    // Creates the token file; count receives its first write count.
    virtual RV Create(uint16_t fid, uint32_t size, uint16_t acl, uint32_t* count) = 0;
    virtual RV Delete(uint16_t fid) = 0;
    // True when count is not the file's current write count.
    virtual bool Outdated(uint16_t fid, uint32_t count) = 0;
    virtual RV GetSize(uint16_t fid, uint32_t* size) = 0;
    virtual RV Write(uint16_t fid, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* count) = 0;
    // Data files: the whole logical content. The record file: records from offset on.
    virtual RV Read(uint16_t fid, uint32_t offset, ByteVec& out, uint32_t* count) = 0;
    virtual RV Forget(uint16_t fid) = 0;
    virtual RV ForgetAll() = 0;
    virtual int FindRecordByFID(uint16_t fid) = 0;
    // Deletes a token file that no record names (what a create or a delete
    // cut short leaves behind), keeping the cache in step; a file a record
    // names is refused.
    virtual RV DeleteUnrecorded(uint16_t fid) = 0;
    // Whether the token has not been written since a sweep of the file
    // system found nothing to repair (NoteCleanSweep): no change cut short
    // can have left anything since.
    virtual bool CleanSinceSweep() { return false; }
    // Makes the record table this cache holds one read from the token, so
    // that the phone's copy decides nothing that is changed or deleted: the
    // table is read from the token (with the token's counter of now) unless
    // this cache read it there itself and has followed the counter since.
    virtual RV ConfirmTable() { return 0; }
    // The content of a data file read from the token where this cache took
    // it from the phone's copy; changed tells whether that copy differed.
    virtual RV ConfirmFile(uint16_t, bool* changed) {
        *changed = false;
        return 0;
    }
    virtual void NoteCleanSweep() {}
    // fid was written past the cache (straight through the token's file
    // commands): what the cache holds of it is no longer the token's.
    virtual void NoteDirectWrite(uint16_t) {}
};

#endif
