#include "own_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "logger.h"

namespace {

constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

void LogRefusal(const std::string& path, const char* why) {
    MessageLogger& log = get_msg_logger();
    if (log.Enabled()) log.LogString("refused %s: %s", path.c_str(), why);
}

}  // namespace

bool IsOwnFolder(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & kOthersWrite) == 0;
}

bool IsOwnFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & kOthersWrite) == 0 && st.st_nlink == 1;
}

bool IsOwnFolderPath(const std::string& path) {
    struct stat st{};
    return !path.empty() && lstat(path.c_str(), &st) == 0 && IsOwnFolder(st);
}

bool MakeOwnFolder(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/' && mkdir(path.substr(0, i).c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    if (path.empty() || (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)) return false;
    return IsOwnFolderPath(path);
}

int OpenOwnFile(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) return -1;
    const std::string folder = slash ? path.substr(0, slash) : std::string("/");
    if (!MakeOwnFolder(folder)) {
        LogRefusal(folder, "not a folder of this user's own (a link, another owner, or writable by others)");
        return -1;
    }
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st{};
    if (dir < 0 || fstat(dir, &st) != 0 || !IsOwnFolder(st)) {
        if (dir >= 0) close(dir);
        LogRefusal(folder, "not a folder of this user's own");
        return -1;
    }
    const int fd = openat(dir, path.c_str() + slash + 1, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int openError = errno;
    close(dir);
    if (fd < 0) {
        LogRefusal(path, std::strerror(openError));
        return -1;
    }
    if (fstat(fd, &st) != 0 || !IsOwnFile(st)) {
        close(fd);
        LogRefusal(path, "not a file of this user's own (another owner, writable by others, or more than one link)");
        return -1;
    }
    return fd;
}
