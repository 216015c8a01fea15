// The storage of a token checked whole through a token object of its own:
// the record table against the token's files, the object files, the key
// files against the key objects that name them, and the two container maps
// against the key objects. Each finding is one line of text; none means
// the storage is consistent.
#ifndef KV_TESTS_STRESS_TOKEN_AUDIT_H
#define KV_TESTS_STRESS_TOKEN_AUDIT_H

#include <cstdint>
#include <string>
#include <vector>

namespace stress {

// What a token holds before anybody used it: files outside the object
// store's ranges (the PIN tries file sits in the public key range) are
// known from it.
struct TokenBaseline {
    std::vector<uint16_t> files;
    int freeRecords = 0;
};
TokenBaseline ReadBaseline(const std::string& socket);

struct StorageAudit {
    std::vector<std::string> findings;
    size_t objectFiles = 0, keyFiles = 0, containers = 0;
};

// Records against files only, read as they are: what changes cut short
// left behind before anybody's next call swept it.
std::vector<std::string> RecordLeftovers(const std::string& socket, const TokenBaseline& baseline);

// Everything, with the user logged in with pin.
StorageAudit AuditStorage(const std::string& socket, const std::string& pin, const TokenBaseline& baseline);

}  // namespace stress

#endif
