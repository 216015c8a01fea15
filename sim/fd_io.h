// Whole reads and writes on a stream socket, for the daemon and the vpcd card.
// The library's socket bridge has its own on purpose: the virtual token is
// the other side of the wire and shares no code with the library.
#ifndef KVSIM_FD_IO_H
#define KVSIM_FD_IO_H

#include <cstddef>
#include <cstdint>

namespace sim {

// False when the peer closed or the read failed before n bytes came.
bool ReadAll(int fd, uint8_t* p, size_t n);
// False when the write failed; a peer gone before its answer raises no SIGPIPE.
bool WriteAll(int fd, const uint8_t* p, size_t n);

}  // namespace sim

#endif
