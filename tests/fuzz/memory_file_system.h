// A named file system held in memory: each change stamps the file with a new
// write count, as the token's file system does, so that readers can tell
// which files changed.
#ifndef KV_TESTS_FUZZ_MEMORY_FILE_SYSTEM_H
#define KV_TESTS_FUZZ_MEMORY_FILE_SYSTEM_H

#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "fuzz_input.h"
#include "ifile_system.h"

namespace kvfuzz {

class MemoryFileSystem : public IFileSystem {
public:
    // A file (and its directory) put in place as another application would.
    void Plant(const std::string& dir, const std::string& name, const Bytes& content) {
        dirs_.insert(dir);
        files_[{dir, name}] = File{content, ++stamp_};
    }

    RV DeleteFileByFID(uint16_t) override { return 0; }
    IAuthManager* GetAuthManager() override { return nullptr; }
    bool Outdated(const std::string&, uint32_t) override { return true; }
    bool Outdated(const std::string& dir, const std::string& name, uint32_t count) override {
        const File* f = Find(dir, name);
        return !f || f->count != count;
    }
    RV CreateDirectory(const std::string& name, uint16_t, uint32_t* out) override {
        if (out) *out = 0;
        return dirs_.insert(name).second ? 0 : SCARD_E_NO_SUCH_DIRECTORY;
    }
    RV DeleteDirectory(const std::string& name) override { return dirs_.erase(name) ? 0 : SCARD_E_DIR_NOT_FOUND; }
    RV EnumFiles(const std::string& dir, std::vector<std::string>& dirs, std::vector<std::string>& files,
                 uint32_t* out) override {
        if (out) *out = 0;
        if (!dir.empty() && !dirs_.count(dir)) return SCARD_E_DIR_NOT_FOUND;
        if (dir.empty()) dirs.insert(dirs.end(), dirs_.begin(), dirs_.end());
        for (const auto& f : files_) {
            if (f.first.first == dir) files.push_back(f.first.second);
        }
        return 0;
    }
    RV CreateFile(const std::string& dir, const std::string& name, uint32_t used, uint32_t, uint16_t,
                  uint32_t* count) override {
        if (!dirs_.count(dir)) return SCARD_E_DIR_NOT_FOUND;
        if (Find(dir, name)) return SCARD_E_NO_SUCH_FILE;
        Plant(dir, name, Bytes(used, 0));
        if (count) *count = stamp_;
        return 0;
    }
    RV DeleteFile(const std::string& dir, const std::string& name) override {
        return files_.erase({dir, name}) ? 0 : SCARD_E_FILE_NOT_FOUND;
    }
    RV WriteFile(const std::string& dir, const std::string& name, uint32_t offset, const uint8_t* data,
                 uint32_t length, uint32_t* count) override {
        File* f = Find(dir, name);
        if (!f) return SCARD_E_FILE_NOT_FOUND;
        if (uint64_t(offset) + length > f->content.size()) return CKR_DEVICE_MEMORY;
        if (length) std::memcpy(f->content.data() + offset, data, length);
        f->count = ++stamp_;
        if (count) *count = stamp_;
        return 0;
    }
    RV ReadFile(const std::string& dir, const std::string& name, uint32_t, ByteVec& out, uint32_t* count) override {
        const File* f = Find(dir, name);
        if (!f) return SCARD_E_FILE_NOT_FOUND;
        out = f->content;
        if (count) *count = f->count;
        return 0;
    }
    RV ResizeFile(const std::string& dir, const std::string& name, uint32_t size, uint32_t* count,
                  const uint8_t* data) override {
        File* f = Find(dir, name);
        if (!f) return SCARD_E_FILE_NOT_FOUND;
        f->content.resize(size, 0);
        if (data && size) std::memcpy(f->content.data(), data, size);
        f->count = ++stamp_;
        if (count) *count = stamp_;
        return 0;
    }
    RV GetFileSize(const std::string& dir, const std::string& name, uint32_t* size) override {
        const File* f = Find(dir, name);
        if (!f) return SCARD_E_FILE_NOT_FOUND;
        if (size) *size = static_cast<uint32_t>(f->content.size());
        return 0;
    }
    RV GetFileACL(const std::string& dir, const std::string& name, uint16_t* acl) override {
        if (acl) *acl = 0;
        return Find(dir, name) ? 0 : SCARD_E_FILE_NOT_FOUND;
    }
    RV Initialize(bool) override { return 0; }

private:
    struct File {
        Bytes content;
        uint32_t count = 0;
    };
    File* Find(const std::string& dir, const std::string& name) {
        auto it = files_.find({dir, name});
        return it == files_.end() ? nullptr : &it->second;
    }

    std::set<std::string> dirs_;
    std::map<std::pair<std::string, std::string>, File> files_;
    uint32_t stamp_ = 0;
};

}  // namespace kvfuzz

#endif
