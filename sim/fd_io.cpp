#include "fd_io.h"

#include <sys/socket.h>
#include <unistd.h>

namespace sim {

bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A client that died before its answer must not take the daemon with it.
bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace sim
