// The named file system on the token: one-level directories and named files.
#ifndef KV_STORAGE_IFILE_SYSTEM_H
#define KV_STORAGE_IFILE_SYSTEM_H

#include <cstdint>
#include <string>
#include <vector>

#include "kv_types.h"

class IAuthManager;

class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    virtual RV DeleteFileByFID(uint16_t fid) = 0;
    virtual IAuthManager* GetAuthManager() = 0;
    virtual bool Outdated(const std::string& dir, uint32_t count) = 0;
    virtual bool Outdated(const std::string& dir, const std::string& name, uint32_t count) = 0;
    virtual RV CreateDirectory(const std::string& name, uint16_t acl, uint32_t* out) = 0;
    virtual RV DeleteDirectory(const std::string& name) = 0;
    virtual RV EnumFiles(const std::string& dir, std::vector<std::string>& dirs, std::vector<std::string>& files,
                         uint32_t* out) = 0;
    virtual RV CreateFile(const std::string& dir, const std::string& name, uint32_t used, uint32_t allocated,
                          uint16_t acl, uint32_t* count) = 0;
    // A new file that appears with its content or not at all: a record never
    // names a file whose content was not written.
    virtual RV CreateFileWith(const std::string& dir, const std::string& name, const uint8_t* data, uint32_t length,
                              uint16_t acl, uint32_t* count) {
        RV rv = CreateFile(dir, name, length, length, acl, nullptr);
        return rv ? rv : WriteFile(dir, name, 0, data, length, count);
    }
    // A file's whole content replaced so that the old content stays whole
    // until the new one is: readers see one or the other, never a mix.
    virtual RV ReplaceFile(const std::string& dir, const std::string& name, const uint8_t* data, uint32_t length,
                           uint32_t* count) {
        return ResizeFile(dir, name, length, count, data);
    }
    virtual RV DeleteFile(const std::string& dir, const std::string& name) = 0;
    virtual RV WriteFile(const std::string& dir, const std::string& name, uint32_t offset, const uint8_t* data,
                         uint32_t length, uint32_t* count) = 0;
    virtual RV ReadFile(const std::string& dir, const std::string& name, uint32_t offset, ByteVec& out,
                        uint32_t* count) = 0;
    virtual RV ResizeFile(const std::string& dir, const std::string& name, uint32_t size, uint32_t* count,
                          const uint8_t* data) = 0;
    virtual RV GetFileSize(const std::string& dir, const std::string& name, uint32_t* size) = 0;
    virtual RV GetFileACL(const std::string& dir, const std::string& name, uint16_t* acl) = 0;
    virtual RV Initialize(bool forgetCache) = 0;
    // A change cut short may have left records whose file is gone (a
    // deletion whose answer was lost) that the next look repairs: until
    // then a file listed may not be there.
    virtual bool RepairPending() const { return false; }
    // Makes the content of a file the token's own where it was taken from
    // the phone's copy (one read of the token); changed tells whether the
    // copy differed. A decision to delete starts here.
    virtual RV ConfirmFile(const std::string&, const std::string&, bool* changed) {
        *changed = false;
        return 0;
    }
};

#endif
