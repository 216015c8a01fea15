#include "random.h"

#include <sys/random.h>

#include <cerrno>

// The operating system's generator: seeded by the kernel, safe to share
// between threads and after fork, and no state of ours to wipe.
uint32_t genrate_random_bytes(uint8_t* buf, uint32_t count) {
    if (!buf || count == 0) return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t got = getrandom(buf + done, count - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        done += static_cast<uint32_t>(got);
    }
    return count;
}
