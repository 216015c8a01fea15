// The phone-side mirror of token files: one "%04X.dat" file per token file,
// FFFF.dat with the token's write counter at which the mirror matched, and
// the list of key files awaiting their object.
#ifndef KV_STORAGE_DISK_MIRROR_H
#define KV_STORAGE_DISK_MIRROR_H

#include <cstdint>
#include <string>
#include <vector>

struct PendingKey {
    uint16_t fid;
    uint32_t owner;  // process ID
};

class DiskMirror {
public:
    // The mirror directory of a token: base/serial. Empty (no mirror) when the
    // serial is not 1-16 characters of [0-9A-Za-z] or there is no base.
    static std::string DirFor(const std::string& serial);
    // Where mirrors live: a per-user cache directory on a host build, the
    // app's private cache directory on Android. Tests point it elsewhere.
    static void SetBase(const std::string& base);
    static std::string Base();
    // Where they live unless SetBase named another folder: on a host
    // $XDG_CACHE_HOME/kvp11 (an absolute path, else ignored), else
    // $HOME/.cache/kvp11, else in the account's home; empty when none is known.
    static std::string UserBase();

    explicit DiskMirror(std::string dir) : dir_(std::move(dir)) {}
    bool Enabled() const { return !dir_.empty(); }
    const std::string& Dir() const { return dir_; }

    // A token write counter kept in the mirror: FFFF.dat, the counter at
    // which the mirror matched the token; FFFE.dat (kSweptFid), the counter
    // at which the file system last found nothing to sweep.
    static constexpr uint16_t kSweptFid = 0xFFFE;
    bool ReadCounter(uint32_t& counter, uint16_t fid = 0xFFFF) const;
    void WriteCounter(uint32_t counter, uint16_t fid = 0xFFFF);
    // The whole file when it holds exactly length bytes.
    bool ReadFile(uint16_t fid, uint8_t* out, uint32_t length) const;
    // The whole file when it holds at most capacity bytes; got its length.
    bool ReadSome(uint16_t fid, uint8_t* out, uint32_t capacity, uint32_t& got) const;
    // Replaces the file; on failure the file is removed.
    void WriteFile(uint16_t fid, const uint8_t* data, uint32_t length);
    void RemoveFile(uint16_t fid);
    // Key files a key creation made on the token that no stored object named
    // yet, with the process that made them (file "keys.pending": file ID in
    // two bytes and process ID in four, big-endian). Notes that name no key
    // file are not read.
    static constexpr size_t kMaxPendingKeys = 64;
    std::vector<PendingKey> ReadPendingKeys() const;
    void WritePendingKeys(const std::vector<PendingKey>& keys);
    // Removes every "%04X.dat" file of the directory (no links followed).
    void Clear();

private:
    bool MakeDir() const;
    // A regular file of at most capacity bytes (no links followed).
    static bool ReadPath(const std::string& path, uint8_t* out, uint32_t capacity, uint32_t& got);
    // Replaces the file through a temporary; on failure it is removed.
    static void WritePath(const std::string& path, const uint8_t* data, uint32_t length);
    std::string PathOf(uint16_t fid) const;

    std::string dir_;
};

#endif
