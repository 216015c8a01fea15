#include "disk_mirror.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "byte_order.h"
#include "key_files.h"

namespace {

const char kPendingName[] = "keys.pending";
constexpr uint32_t kPendingEntry = 6;

std::mutex& BaseMutex() {
    static std::mutex m;
    return m;
}

std::string& BaseSlot() {
    static std::string base;
    return base;
}

std::string DefaultBase() {
#ifdef __ANDROID__
    // The app's private cache: /data/data/<package>/cache.
    std::ifstream cmd("/proc/self/cmdline");
    std::string package;
    std::getline(cmd, package, '\0');
    package = package.substr(0, package.find(':'));  // a process "pkg:name" of the app shares its folder
    if (package.empty() || package.find('/') != std::string::npos) return std::string();
    return "/data/data/" + package + "/cache/kvp11";
#else
    // The user's cache folder as desktop programs find it: $XDG_CACHE_HOME
    // (an absolute path, else ignored), else $HOME/.cache, else the home of
    // the account. A test or a sandbox that sets either keeps the mirror
    // out of the real home.
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/kvp11";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.cache/kvp11";
    const passwd* pw = getpwuid(getuid());
    if (!pw || !pw->pw_dir || !*pw->pw_dir) return std::string();
    return std::string(pw->pw_dir) + "/.cache/kvp11";
#endif
}

bool MakeDirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsMirrorName(const char* name) {
    if (std::strlen(name) != 8 || std::strcmp(name + 4, ".dat") != 0) return false;
    for (int i = 0; i < 4; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(name[i])) || std::islower(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

}  // namespace

std::string DiskMirror::UserBase() { return DefaultBase(); }

void DiskMirror::SetBase(const std::string& base) {
    std::lock_guard<std::mutex> lock(BaseMutex());
    BaseSlot() = base;
}

std::string DiskMirror::Base() {
    std::lock_guard<std::mutex> lock(BaseMutex());
    if (BaseSlot().empty()) BaseSlot() = DefaultBase();
    return BaseSlot();
}

std::string DiskMirror::DirFor(const std::string& serial) {
    if (serial.empty() || serial.size() > 16) return std::string();
    for (char c : serial) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return std::string();
    }
    std::string base = Base();
    return base.empty() ? std::string() : base + "/" + serial;
}

std::string DiskMirror::PathOf(uint16_t fid) const {
    char name[16];
    std::snprintf(name, sizeof name, "%04X.dat", fid);
    return dir_ + "/" + name;
}

bool DiskMirror::MakeDir() const { return Enabled() && MakeDirs(dir_); }

bool DiskMirror::ReadCounter(uint32_t& counter, uint16_t fid) const {
    uint8_t b[4];
    if (!ReadFile(fid, b, 4)) return false;
    counter = LoadLe32(b);
    return true;
}

void DiskMirror::WriteCounter(uint32_t counter, uint16_t fid) {
    uint8_t b[4];
    StoreLe32(b, counter);
    WriteFile(fid, b, 4);
}

bool DiskMirror::ReadSome(uint16_t fid, uint8_t* out, uint32_t capacity, uint32_t& got) const {
    got = 0;
    return Enabled() && ReadPath(PathOf(fid), out, capacity, got);
}

bool DiskMirror::ReadFile(uint16_t fid, uint8_t* out, uint32_t length) const {
    uint32_t got = 0;
    return ReadSome(fid, out, length, got) && got == length;
}

bool DiskMirror::ReadPath(const std::string& path, uint8_t* out, uint32_t capacity, uint32_t& got) {
    // Whatever sits at the path (a pipe or a device anyone of the user
    // planted) never blocks the open or a read: only a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= static_cast<off_t>(capacity);
    const uint32_t length = ok ? static_cast<uint32_t>(st.st_size) : 0;
    uint32_t done = 0;
    while (ok && done < length) {
        ssize_t n = read(fd, out + done, length - done);
        if (n <= 0) ok = false;
        else done += static_cast<uint32_t>(n);
    }
    close(fd);
    got = done;
    return ok;
}

void DiskMirror::WriteFile(uint16_t fid, const uint8_t* data, uint32_t length) {
    if (MakeDir()) WritePath(PathOf(fid), data, length);
}

void DiskMirror::WritePath(const std::string& path, const uint8_t* data, uint32_t length) {
    const std::string tmp = path + ".tmp";
    // A new file of our own: whatever was left at the temporary's name goes first.
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (uint32_t done = 0; ok && done < length;) {
        ssize_t n = write(fd, data + done, length - done);
        if (n <= 0) ok = false;
        else done += static_cast<uint32_t>(n);
    }
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        unlink(path.c_str());
    }
}

std::vector<PendingKey> DiskMirror::ReadPendingKeys() const {
    std::vector<PendingKey> keys;
    uint8_t b[kPendingEntry * kMaxPendingKeys];
    uint32_t got = 0;
    if (!Enabled() || !ReadPath(dir_ + "/" + kPendingName, b, sizeof b, got)) return keys;
    for (uint32_t i = 0; i + kPendingEntry <= got; i += kPendingEntry) {
        const uint8_t* e = b + i;
        // A note names a key file or nothing: one naming any other file
        // (a data file, the record table) was not written by this library.
        if (IsKeyFile(LoadBe16(e))) keys.push_back({LoadBe16(e), LoadBe32(e + 2)});
    }
    return keys;
}

void DiskMirror::WritePendingKeys(const std::vector<PendingKey>& keys) {
    if (!MakeDir()) return;
    const std::string path = dir_ + "/" + kPendingName;
    if (keys.empty()) {
        unlink(path.c_str());
        return;
    }
    uint8_t b[kPendingEntry * kMaxPendingKeys];
    uint32_t n = 0;
    for (size_t i = 0; i < keys.size() && i < kMaxPendingKeys; ++i) {
        StoreBe16(b + n, keys[i].fid);
        StoreBe32(b + n + 2, keys[i].owner);
        n += kPendingEntry;
    }
    WritePath(path, b, n);
}

void DiskMirror::RemoveFile(uint16_t fid) {
    if (Enabled()) unlink(PathOf(fid).c_str());
}

void DiskMirror::Clear() {
    if (!Enabled()) return;
    struct stat st{};
    if (lstat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    DIR* d = opendir(dir_.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (!IsMirrorName(e->d_name)) continue;
        const std::string path = dir_ + "/" + e->d_name;
        if (lstat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) unlink(path.c_str());
    }
    closedir(d);
}
