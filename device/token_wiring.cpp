#include "token_wiring.h"

#include "alg_factory.h"
#include "file_cache_local.h"
#include "file_system_tarn.h"
#include "hard_registration.h"
#include "store_tarn.h"

TokenParts SlotTokenParts() {
    TokenParts parts;
    parts.algFactory = [](IToken* token) {
        auto factory = std::make_shared<AlgFactory>(token);
        RegHardAlg(*factory);
        return factory;
    };
    parts.fileCache = [](IToken* token, const std::string& mirrorDir, uint16_t recordFid) {
        auto cache = std::make_unique<CFileCacheLocal>(token, mirrorDir, recordFid);
        cache->SetOffDisk([](const tagFILE_RECORD& r, const uint8_t* content, uint32_t length) {
            return CStoreTarn::HoldsSecrets(r.DirName(), r.FileName(), content, length);
        });
        return std::unique_ptr<IFileCache>(std::move(cache));
    };
    parts.fileSystem = [](IFileCache* cache, IToken* token, uint16_t recordFid) {
        return std::unique_ptr<IFileSystem>(std::make_unique<CFileSystemTarn>(cache, token, recordFid));
    };
    parts.store = [](IFileSystem* fs, IToken* token) {
        return std::unique_ptr<IStore>(std::make_unique<CStoreTarn>(fs, token));
    };
    return parts;
}
