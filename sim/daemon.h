// Serves one virtual token on a Unix-domain socket, a thread per connection.
#ifndef KVSIM_DAEMON_H
#define KVSIM_DAEMON_H

#include <string>

#include "virtual_token.h"

namespace sim {

// Runs until the process is stopped; returns non-zero if it cannot listen.
int Serve(const std::string& socketPath, VirtualToken& token);

}  // namespace sim

#endif
