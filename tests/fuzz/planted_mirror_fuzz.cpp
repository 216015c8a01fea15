// The phone-side mirror as anyone who can write the cache folder leaves it:
// over an in-memory token holding a directory of objects (two of them keys
// with their key files), the mirror a first application left is changed by
// the input, then a second application lists the objects (the file system's
// sweep included), destroys one and lists again.
//
// Input: plantings, each an operation byte followed by its arguments, until
// the operation "done" or the end of the input:
//   0 counter file FFFF, 1 clean-sweep file FFFE: a byte (bit 0: the token's
//     counter, else a 4-byte counter follows)
//   2 record table: the token's table with edits (a count byte, then per
//     edit a 2-byte offset and a byte)
//   3 record table: a frame of any bytes
//   4 object file: a byte picking the token's object, then a byte (bit 0:
//     the token's content with a 2-byte key reference put in, else a frame)
//   5 key-file notes "keys.pending": a frame
//   6 done
// then a byte picking the object to destroy among those the listing found.
//
// Nothing the token's own state does not condemn is deleted: every record of
// the token's table other than the destroyed object's stays as it was, every
// file such a record names stays on the token, and no file but the destroyed
// object's own and the key file its content on the token names is deleted;
// every note read names a key file.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "file_cache_local.h"
#include "file_system_tarn.h"
#include "iauth_manager.h"
#include "key_files.h"
#include "memory_token.h"
#include "scratch_dir.h"
#include "store_tarn.h"

namespace {

using kvfuzz::Bytes;
using kvfuzz::Check;
using kvfuzz::FuzzInput;

constexpr uint16_t kTable = 0x6F01;
constexpr uint32_t kKeyRef = 0x80000100;

// A user logged in: the store destroys key objects only then.
class LoggedIn : public IAuthManager {
public:
    RV GetRefByP11Type(CK_USER_TYPE, uint32_t* ref) override { return *ref = 1, 0; }
    RV GetRefByMiniDriverID(uint32_t, uint32_t*) override { return RV_NOT_SUPPORTED; }
    RV GetChallenge(uint8_t*, uint32_t) override { return RV_NOT_SUPPORTED; }
    RV ForgetChallenge() override { return 0; }
    RV Authenticate(uint32_t, const uint8_t*, uint32_t) override { return RV_NOT_SUPPORTED; }
    RV AuthenticateChallenge(uint32_t, const uint8_t*, uint32_t) override { return RV_NOT_SUPPORTED; }
    RV Deauthenticate(uint32_t) override { return 0; }
    RV ChangeAuthenticator(uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) override {
        return RV_NOT_SUPPORTED;
    }
    RV UnblockAuthenticator(uint32_t, const uint8_t*, uint32_t) override { return RV_NOT_SUPPORTED; }
    RV GetAuthInfo(uint32_t, AuthInfo* info) override {
        *info = AuthInfo{};
        info->flags = 1;
        return 0;
    }
    RV GetAuthMaxTries(uint32_t, uint32_t*) override { return RV_NOT_SUPPORTED; }
    RV GetAuthLeftTries(uint32_t, uint32_t*) override { return RV_NOT_SUPPORTED; }
    RV SetTries(uint32_t, uint32_t, uint32_t) override { return RV_NOT_SUPPORTED; }
};

class Token : public kvfuzz::MemoryToken {
public:
    IAuthManager* GetAuthManager() override { return &user_; }

private:
    LoggedIn user_;
};

struct Application {
    Application(Token& token, const std::string& mirror)
        : cache(&token, mirror), fs(&cache, &token, kTable), store(&fs, &token) {
        cache.SetOffDisk([](const tagFILE_RECORD& r, const uint8_t* content, uint32_t length) {
            return CStoreTarn::HoldsSecrets(r.DirName(), r.FileName(), content, length);
        });
    }
    CFileCacheLocal cache;
    CFileSystemTarn fs;
    CStoreTarn store;
};

uint32_t LoadLe(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void Put(Bytes& file, uint32_t type, const Bytes& value) {
    for (uint32_t x : {type, uint32_t(value.size())}) {
        for (int s = 0; s < 32; s += 8) file.push_back(uint8_t(x >> s));
    }
    file.insert(file.end(), value.begin(), value.end());
}

Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// An attribute file of a token object; key objects name their key file.
Bytes ObjectFile(uint32_t cls, bool isPrivate, const std::string& label, uint32_t keyRef) {
    static const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    Bytes f;
    Put(f, CKA_CLASS, U32(cls));
    Put(f, CKA_TOKEN, {1});
    Put(f, CKA_PRIVATE, {uint8_t(isPrivate)});
    Put(f, CKA_LABEL, Bytes(label.begin(), label.end()));
    if (cls == CKO_DATA || cls == CKO_CERTIFICATE) Put(f, CKA_VALUE, Bytes(label.rbegin(), label.rend()));
    if (cls == CKO_CERTIFICATE) Put(f, CKA_CERTIFICATE_TYPE, U32(CKC_X_509));
    if (keyRef) {
        Put(f, CKA_KEY_TYPE, U32(CKK_EC));
        Put(f, CKA_EC_PARAMS, kP256);
        Put(f, kKeyRef, U32(keyRef));
    }
    // Ascending types, as the store writes them.
    std::vector<std::pair<uint32_t, Bytes>> attrs;
    for (size_t pos = 0; pos + 8 <= f.size();) {
        const uint32_t type = LoadLe(f, pos), len = LoadLe(f, pos + 4);
        attrs.push_back({type, Bytes(f.begin() + long(pos + 8), f.begin() + long(pos + 8 + len))});
        pos += 8 + len;
    }
    std::sort(attrs.begin(), attrs.end());
    Bytes sorted;
    for (const auto& a : attrs) Put(sorted, a.first, a.second);
    return sorted;
}

struct TokenObject {
    const char* name;
    Bytes content;
};

std::vector<TokenObject> Objects() {
    return {{"data0001", ObjectFile(CKO_DATA, false, "public datum", 0)},
            {"data0002", ObjectFile(CKO_DATA, true, "private data", 0)},
            {"cert0001", ObjectFile(CKO_CERTIFICATE, true, "private cert", 0)},
            {"pubk0001", ObjectFile(CKO_PUBLIC_KEY, false, "first key", 0x8000)},
            {"pubk0002", ObjectFile(CKO_PUBLIC_KEY, false, "second key", 0x8020)},
            {"prvk0001", ObjectFile(CKO_PRIVATE_KEY, true, "first key", 0xA020)}};
}

void Plant(const std::string& mirror, const std::string& name, const Bytes& content) {
    std::filesystem::create_directories(mirror);
    std::ofstream(mirror + "/" + name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

std::string MirrorName(uint16_t fid) {
    char name[16];
    std::snprintf(name, sizeof name, "%04X.dat", fid);
    return name;
}

// The token file a record of the table names for an object file; 0 when none.
int RecordOf(const Bytes& table, const std::string& name) {
    for (uint32_t i = 0; i < kRecordCount; ++i) {
        const tagFILE_RECORD r = tagFILE_RECORD::Decode(table.data() + i * kRecordSize);
        if (r.IsDataFile() && r.DirName() == CStoreTarn::kDir && r.FileName() == name) return int(i);
    }
    return -1;
}

Bytes WithKeyRef(const Bytes& file, uint32_t ref) {
    Bytes out;
    for (size_t pos = 0; pos + 8 <= file.size();) {
        const uint32_t type = LoadLe(file, pos), len = LoadLe(file, pos + 4);
        Put(out, type, type == kKeyRef ? U32(ref) : Bytes(file.begin() + long(pos + 8), file.begin() + long(pos + 8 + len)));
        pos += 8 + len;
    }
    return out;
}

void PlantAll(FuzzInput& in, Token& token, const std::string& mirror, const std::vector<uint16_t>& objectFids) {
    const Bytes& table = token.files[kTable];
    while (!in.Empty()) {
        const uint8_t op = in.Byte() % 7;
        if (op == 6) return;
        switch (op) {
            case 0:
            case 1: {
                const uint32_t counter = in.Bit() ? token.counter & 0xFFFF : in.U32();
                Plant(mirror, MirrorName(op == 0 ? 0xFFFF : 0xFFFE), U32(counter));
                break;
            }
            case 2: {
                Bytes edited = table;
                for (uint8_t n = in.Byte(); n > 0; --n) {
                    const uint16_t at = in.U16();
                    edited[at % edited.size()] = in.Byte();
                }
                Plant(mirror, MirrorName(kTable), edited);
                break;
            }
            case 3:
                Plant(mirror, MirrorName(kTable), in.Frame());
                break;
            case 4: {
                const uint16_t fid = objectFids[in.Byte() % objectFids.size()];
                Plant(mirror, MirrorName(fid), in.Bit() ? WithKeyRef(token.files[fid], in.U16()) : in.Frame());
                break;
            }
            case 5:
                Plant(mirror, "keys.pending", in.Frame());
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::EmptyScratchDir();
    const std::string mirror = kvfuzz::ScratchDir() + "/4B56000000000001";
    FuzzInput in(data, size);

    // The token as the first application leaves it, with the mirror it wrote.
    Token token;
    token.files[kTable] = Bytes(kRecordSize * kRecordCount, 0);
    token.files[0x8000] = token.files[0x8020] = token.files[0xA020] = Bytes(64, 0x4B);
    const std::vector<TokenObject> objects = Objects();
    {
        Application first(token, mirror);
        token.Lock();
        Check(first.fs.Initialize(false) == 0 && first.fs.CreateDirectory(CStoreTarn::kDir, 0, nullptr) == 0,
              "the token cannot be set up");
        for (const TokenObject& o : objects) {
            Check(first.fs.CreateFileWith(CStoreTarn::kDir, o.name, o.content.data(), uint32_t(o.content.size()), 0,
                                          nullptr) == 0,
                  "an object file cannot be set up");
        }
        Check(first.store.CheckUpdate(false) == 0, "the first listing fails");
        token.Unlock();
    }
    const Bytes table = token.files[kTable];
    std::vector<uint16_t> objectFids;
    for (const TokenObject& o : objects) {
        const int at = RecordOf(table, o.name);
        Check(at >= 0, "an object file has no record");
        objectFids.push_back(tagFILE_RECORD::Decode(table.data() + at * kRecordSize).fid);
    }
    const std::map<uint16_t, Bytes> before = token.files;

    PlantAll(in, token, mirror, objectFids);
    const uint8_t pick = in.Byte();

    // The second application: a listing, a destroy, a listing.
    Application second(token, mirror);
    token.Lock();
    second.fs.Initialize(false);
    second.store.CheckUpdate(false);
    for (const PendingKey& k : second.cache.Mirror().ReadPendingKeys())
        Check(IsKeyFile(k.fid), "a key-file note names another file");
    std::vector<ObjPtr> listed;
    for (CK_OBJECT_CLASS c = 0; c < 5; ++c) {
        for (const tagOBJ_PROP& e : *second.store.GetObjList(c)) listed.push_back(e.object);
    }
    for (size_t i = 0; i < listed.size(); ++i) listed[i]->SetHandle(uint32_t(i + 1));  // as the object manager does
    std::string destroyed;
    if (!listed.empty()) {
        const ObjPtr victim = listed[pick % listed.size()];
        const tagOBJ_PROP* entry = second.store.FindObjByID(victim->GetHandle());
        if (entry) destroyed = entry->fileName;
        second.store.PurgeObj(victim);
    }
    second.store.CheckUpdate(false);
    token.Unlock();

    // What the token's own state condemns: the destroyed object's record,
    // its file and the key file its content on the token names.
    const int condemned = RecordOf(table, destroyed);
    const Bytes& now = token.files[kTable];
    Check(now.size() == table.size(), "the record table was deleted or resized");
    for (uint32_t i = 0; i < kRecordCount; ++i) {
        if (int(i) == condemned) continue;
        const tagFILE_RECORD r = tagFILE_RECORD::Decode(table.data() + i * kRecordSize);
        Check(std::equal(table.begin() + i * kRecordSize, table.begin() + (i + 1) * kRecordSize,
                         now.begin() + i * kRecordSize),
              "a record the token's table holds was changed");
        if (r.IsDataFile()) Check(token.files.count(r.fid) == 1, "a file the token's table names was deleted");
    }
    uint16_t condemnedFid = 0;
    uint32_t condemnedKey = 0;
    if (condemned >= 0) {
        condemnedFid = tagFILE_RECORD::Decode(table.data() + condemned * kRecordSize).fid;
        const Bytes& content = before.at(condemnedFid);
        for (size_t pos = 0; pos + 8 <= content.size(); pos += 8 + LoadLe(content, pos + 4)) {
            if (LoadLe(content, pos) == kKeyRef) condemnedKey = LoadLe(content, pos + 8);
        }
    }
    for (const auto& f : before) {
        Check(token.files.count(f.first) == 1 || f.first == condemnedFid || f.first == condemnedKey,
              "a file was deleted that is neither the destroyed object's nor its key file");
    }
    return 0;
}
