// The objects of a token as a fresh application finds them through PKCS#11
// (a library instance that has not been used in this process yet): data
// values and key halves by label, and whether each key pair signs, the
// signature checked with OpenSSL under the public key read from the token.
#ifndef KV_TESTS_STRESS_TOKEN_CONTENTS_H
#define KV_TESTS_STRESS_TOKEN_CONTENTS_H

#include <map>
#include <string>
#include <vector>

#include "openssl_check.h"

namespace stress {

struct TokenContents {
    std::string error;  // the call that failed; empty when all was read
    size_t objects = 0;
    std::map<std::string, std::vector<testing_kv::Bytes>> data;  // label -> value of each data object
    std::map<std::string, int> privateKeys, publicKeys;           // label -> how many
    std::map<std::string, bool> signs;  // labels with one key of each half: signature verified
    int Count(const std::string& label) const;
};

// Binds the token at socket (phone storage under mirror), logs the user in.
TokenContents ReadTokenContents(const std::string& socket, const std::string& mirror, const std::string& pin);

// The labels whose objects one reading found otherwise than another.
std::vector<std::string> Differences(const TokenContents& a, const TokenContents& b);

}  // namespace stress

#endif
