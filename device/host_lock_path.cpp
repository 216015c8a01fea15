#ifndef __ANDROID__
#include "host_lock_path.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "disk_mirror.h"
#include "own_files.h"

namespace {

constexpr size_t kNameChars = 48;

uint64_t Fnv1a64(const std::string& text) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

}  // namespace

std::string HostLockFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/' && IsOwnFolderPath(runtime)) return std::string(runtime) + "/kvp11-locks";
    const std::string cache = DiskMirror::UserBase();
    return cache.empty() ? cache : cache + "-locks";
}

std::string HostLockPath(const char* kind, const std::string& key) {
    const std::string folder = HostLockFolder();
    if (folder.empty()) return folder;
    std::string name = key.size() > kNameChars ? key.substr(key.size() - kNameChars) : key;
    for (char& c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-';
        if (!kept) c = '_';
    }
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016" PRIx64, Fnv1a64(key));
    return folder + "/" + kind + "-" + name + "-" + hash + ".lock";
}
#endif
