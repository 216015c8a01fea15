#include "token_audit.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "cont_mgr_fs_store.h"
#include "file_record.h"
#include "ifile_cache.h"
#include "store_tarn.h"
#include "token_on_sim.h"

namespace stress {
namespace {

using testing_kv::TokenClient;

constexpr uint16_t kRecordFile = 0x6F01;
const char* const kHalf[2] = {"signature", "key exchange"};

bool NamedRange(uint32_t f) { return f >= kFirstDataFid && f <= kLastDataFid; }
bool PublicRange(uint32_t f) { return f >= 0x8000 && f <= 0x9FE0; }
bool PrivateRange(uint32_t f) { return f >= 0xA020 && f <= 0xC000; }
bool Has(const std::vector<uint16_t>& files, uint32_t f) { return std::find(files.begin(), files.end(), f) != files.end(); }

std::string Fid(uint32_t fid) {
    char text[12];
    std::snprintf(text, sizeof text, "%04X", fid);
    return text;
}

uint32_t ULong(const IObj& obj, uint32_t type) {
    uint32_t v = 0, len = 4;
    return obj.GetAttr(type, &v, &len) == CKR_OK ? v : 0;
}

bool Flag(const IObj& obj, uint32_t type) {
    uint8_t v = 0;
    uint32_t len = 1;
    return obj.GetAttr(type, &v, &len) == CKR_OK && v;
}

struct KeyObject {
    std::string file;
    ObjPtr obj;
    uint32_t cls = 0, ref = 0;
};

// A container slot: index, half (usage), type (0 private, 1 public).
struct Place {
    uint32_t index = 0, half = 0, type = 0;
};

bool ReadRecords(CTokenTarn& token, std::vector<tagFILE_RECORD>& records) {
    ByteVec raw;
    if (token.GetFileCache()->Read(kRecordFile, 0, raw, nullptr) != 0 || raw.size() < kRecordSize * kRecordCount)
        return false;
    for (uint32_t i = 0; i < kRecordCount; ++i) records.push_back(tagFILE_RECORD::Decode(raw.data() + i * kRecordSize));
    return true;
}

void CheckRecords(CTokenTarn& token, const std::vector<uint16_t>& files, std::vector<std::string>& found) {
    std::vector<tagFILE_RECORD> records;
    if (!ReadRecords(token, records)) return found.push_back("record file unreadable");
    std::set<std::string> names;
    std::set<uint16_t> fids;
    for (size_t i = 0; i < records.size(); ++i) {
        const tagFILE_RECORD& r = records[i];
        if (!r.Valid()) found.push_back("record " + std::to_string(i) + " malformed");
        if (!r.IsDataFile()) continue;
        const std::string name = r.DirName() + "/" + r.FileName();
        if (!names.insert(name).second) found.push_back("two records of " + name);
        if (!fids.insert(r.fid).second) found.push_back("token file " + Fid(r.fid) + " named by two records");
        if (!Has(files, r.fid)) found.push_back("record " + name + " without its token file " + Fid(r.fid));
    }
    for (uint16_t f : files) {
        if (NamedRange(f) && !fids.count(f)) found.push_back("token file " + Fid(f) + " without a record");
    }
}

// Key objects against key files, both ways.
void CheckKeyFiles(const std::vector<KeyObject>& keys, const std::vector<uint16_t>& files, const TokenBaseline& base,
                   StorageAudit& audit) {
    std::map<uint32_t, int> named;
    for (const KeyObject& k : keys) {
        const bool inRange = k.cls == CKO_PRIVATE_KEY ? PrivateRange(k.ref) : PublicRange(k.ref);
        if (!k.ref) {
            audit.findings.push_back("key object " + k.file + " names no key file");
            continue;
        }
        if (!inRange) audit.findings.push_back("key object " + k.file + " names " + Fid(k.ref) + ", outside its class's range");
        if (!Has(files, k.ref)) audit.findings.push_back("key object " + k.file + " names the missing key file " + Fid(k.ref));
        ++named[k.ref];
    }
    for (const auto& [ref, n] : named) {
        if (n > 1) audit.findings.push_back("key file " + Fid(ref) + " named by " + std::to_string(n) + " key objects");
    }
    for (uint16_t f : files) {
        if (!(PublicRange(f) || PrivateRange(f)) || Has(base.files, f)) continue;
        ++audit.keyFiles;
        if (!named.count(f)) audit.findings.push_back("key file " + Fid(f) + " without a key object");
    }
}

// The half a key's use calls for: a private key that decrypts, or a public
// key that encrypts, is a key-exchange key; a public key goes beside its
// private key whatever its own flags say.
uint32_t ExpectedHalf(const KeyObject& k, const KeyObject* partner) {
    if (k.cls == CKO_PRIVATE_KEY) return Flag(*k.obj, CKA_DECRYPT) ? 1 : 0;
    if (partner) return Flag(*partner->obj, CKA_DECRYPT) ? 1 : 0;
    return Flag(*k.obj, CKA_ENCRYPT) ? 1 : 0;
}

const KeyObject* Partner(const std::vector<KeyObject>& keys, const KeyObject& k) {
    const ByteVec* id = k.obj->Value(CKA_ID);
    for (const KeyObject& other : keys) {
        const ByteVec* otherId = other.obj->Value(CKA_ID);
        if (other.cls != k.cls && id && otherId && *id == *otherId) return &other;
    }
    return nullptr;
}

void CheckContainers(IFileSystem& fs, const std::vector<KeyObject>& keys, const std::vector<uint16_t>& files,
                     StorageAudit& audit) {
    auto& found = audit.findings;
    ContMgrFsStore maps(&fs);
    maps.SetSaveSuppressed(true);
    if (maps.CheckUpdate() != 0) return found.push_back("container maps unreadable");
    audit.containers = maps.Containers().size();
    std::map<uint32_t, Place> places;
    for (const auto& [index, c] : maps.Containers()) {
        const std::string name = "container " + std::to_string(index);
        bool holds = false;
        for (uint32_t half = 0; half < 2; ++half) {
            for (uint32_t type = 0; type < 2; ++type) {
                const uint32_t ref = c.pairs[half].references[type];
                if (!ref) continue;
                holds = true;
                if (!places.emplace(ref, Place{index, half, type}).second)
                    found.push_back("key file " + Fid(ref) + " in the container maps twice");
                if (!Has(files, ref)) found.push_back(name + " names the missing key file " + Fid(ref));
            }
        }
        if (!holds) {
            found.push_back(name + " holds no key (name " + c.name + ", key sizes " +
                            std::to_string(c.pairs[0].recordedBits) + "/" + std::to_string(c.pairs[1].recordedBits) +
                            (c.isDefault ? ", default" : "") + ")");
        }
    }
    std::set<uint32_t> keyRefs;
    for (const KeyObject& k : keys) {
        if (!k.ref) continue;
        keyRefs.insert(k.ref);
        auto at = places.find(k.ref);
        if (at == places.end()) {
            found.push_back("key object " + k.file + " (" + Fid(k.ref) + ") in no container");
            continue;
        }
        const Place p = at->second;
        const std::string where = "key object " + k.file + " in container " + std::to_string(p.index);
        if (p.type != (k.cls == CKO_PRIVATE_KEY ? 0u : 1u)) found.push_back(where + " in the other class's slot");
        const KeyObject* partner = Partner(keys, k);
        const uint32_t half = ExpectedHalf(k, partner);
        if (p.half != half)
            found.push_back(where + " in the " + kHalf[p.half] + " half; its use calls for " + kHalf[half]);
        if (partner && k.cls == CKO_PRIVATE_KEY && places.count(partner->ref)) {
            const Place q = places.at(partner->ref);
            if (q.index != p.index || q.half != p.half) found.push_back(where + ", its public key " + partner->file + " elsewhere");
        }
        if (k.cls == CKO_PUBLIC_KEY) {
            uint32_t bits = 0;
            const uint32_t recorded = maps.Containers().at(p.index).pairs[p.half].recordedBits;
            if (GetKeyBits(*k.obj, bits) == 0 && bits != recorded)
                found.push_back(where + ": the map records " + std::to_string(recorded) + " bits, the key has " + std::to_string(bits));
        }
    }
    for (const auto& [ref, p] : places) {
        if (!keyRefs.count(ref)) found.push_back("container " + std::to_string(p.index) + " names " + Fid(ref) + ", no key object does");
    }
    // References recorded for indexes the container map does not use.
    ByteVec refs;
    if (fs.ReadFile("internal", "containermap", 0, refs, nullptr) != 0 || refs.size() < 24 || refs[0] != 1)
        return found.push_back("internal/containermap unreadable or without its header");
    for (size_t k = 0; (k + 2) * 24 <= refs.size(); ++k) {
        const bool any = std::any_of(refs.begin() + (k + 1) * 24, refs.begin() + (k + 1) * 24 + 16, [](uint8_t b) { return b; });
        if (any && !maps.Containers().count(static_cast<uint32_t>(k)))
            found.push_back("reference record " + std::to_string(k) + " names keys of an unused container index");
    }
}

}  // namespace

TokenBaseline ReadBaseline(const std::string& socket) {
    TokenBaseline base;
    TokenClient client(socket);
    std::vector<tagFILE_RECORD> records;
    if (client.token->ConnectAndSetenv() != 0 || client.token->GetFileList(base.files) != 0 ||
        !ReadRecords(*client.token, records))
        return base;
    base.freeRecords = static_cast<int>(std::count_if(records.begin(), records.end(), [](const tagFILE_RECORD& r) { return r.fid == kFidFree; }));
    return base;
}

std::vector<std::string> RecordLeftovers(const std::string& socket, const TokenBaseline&) {
    std::vector<std::string> found;
    TokenClient client(socket);
    std::vector<uint16_t> files;
    if (client.token->ConnectAndSetenv() != 0 || client.token->GetFileList(files) != 0) return {"token unreachable"};
    CheckRecords(*client.token, files, found);
    return found;
}

StorageAudit AuditStorage(const std::string& socket, const std::string& pin, const TokenBaseline& baseline) {
    StorageAudit audit;
    TokenClient client(socket);
    CTokenTarn& token = *client.token;
    std::vector<uint16_t> files;
    if (token.ConnectAndSetenv() != 0 || testing_kv::LoginUser(token, pin.c_str()) != 0 || token.GetFileList(files) != 0)
        return audit.findings.push_back("token unreachable"), audit;
    CheckRecords(token, files, audit.findings);  // before the file system's first look sweeps anything
    IFileSystem* fs = token.GetFileSystem();
    std::vector<std::string> dirs, names;
    if (!fs || fs->EnumFiles(CStoreTarn::kDir, dirs, names, nullptr) != 0)
        return audit.findings.push_back("object directory unreadable"), audit;
    std::vector<KeyObject> keys;
    for (const std::string& name : names) {
        ++audit.objectFiles;
        ByteVec bytes;
        ObjPtr obj;
        if (fs->ReadFile(CStoreTarn::kDir, name, 0, bytes, nullptr) == 0) obj = CStoreTarn::CreateObject(bytes.data(), bytes.size());
        if (!obj) {
            audit.findings.push_back("object file " + name + " unreadable");
            continue;
        }
        const uint32_t cls = ULong(*obj, CKA_CLASS);
        if (cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY)
            keys.push_back({name, obj, cls, ULong(*obj, static_cast<uint32_t>(CKA_VENDOR_KEY_REF))});
    }
    CheckKeyFiles(keys, files, baseline, audit);
    CheckContainers(*fs, keys, files, audit);
    return audit;
}

}  // namespace stress
