// The parts a token object owns but does not make. They belong to the
// layers above the token (the file cache, file system and store sit on the
// token's file commands; the algorithm factory holds the token-backed
// mechanisms, which call the token), so the slot says how each is made
// (device/token_wiring.cpp) and the token only holds them by interface.
#ifndef KV_TOKEN_TOKEN_PARTS_H
#define KV_TOKEN_TOKEN_PARTS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class AlgFactory;
class IFileCache;
class IFileSystem;
class IStore;
class IToken;

struct TokenParts {
    // The factory with the token's own mechanisms registered.
    std::function<std::shared_ptr<AlgFactory>(IToken*)> algFactory;
    // The file cache over the record file recordFid, mirrored on the phone
    // in mirrorDir ("" for none).
    std::function<std::unique_ptr<IFileCache>(IToken*, const std::string& mirrorDir, uint16_t recordFid)> fileCache;
    // The named file system on the cache, not yet initialised.
    std::function<std::unique_ptr<IFileSystem>(IFileCache*, IToken*, uint16_t recordFid)> fileSystem;
    std::function<std::unique_ptr<IStore>(IFileSystem*, IToken*)> store;
};

#endif
