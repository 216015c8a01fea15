#include "cont_mgr_fs_store.h"

#include <algorithm>

#include "byte_order.h"
#include "utils.h"

namespace {

const char kMapDir[] = "mscp";
const char kMapFile[] = "cmapfile";
const char kRefDir[] = "internal";
const char kRefFile[] = "containermap";
constexpr size_t kMapRecord = 86;
constexpr size_t kRefRecord = 24;

}  // namespace

template <class Op>
RV ContMgrFsStore::Mutate(Op op) {
    const bool outermost = !suppressSave_;
    suppressSave_ = true;
    RV rv = op();
    if (outermost) suppressSave_ = false;  // cleared on every exit
    if (rv == 0 && outermost) rv = Save();
    return rv;
}

RV ContMgrFsStore::CreateContainer(const std::string& name, uint32_t* index) {
    return Mutate([&] { return ContMgrImpl::CreateContainer(name, index); });
}

RV ContMgrFsStore::DestroyContainer(uint32_t index) {
    return Mutate([&] { return ContMgrImpl::DestroyContainer(index); });
}

RV ContMgrFsStore::AddObj(ObjPtr obj, const uint32_t* index, const uint32_t* usage, const uint32_t* type) {
    uint32_t cls = 0, len = 4;
    if (!obj || obj->GetAttr(CKA_CLASS, &cls, &len) != CKR_OK) return CKR_ARGUMENTS_BAD;
    if (cls != CKO_CERTIFICATE && cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY) return 0;
    return Mutate([&] { return ContMgrImpl::AddObj(obj, index, usage, type); });
}

RV ContMgrFsStore::RemoveObj(ObjPtr obj, bool destroyEmpty) {
    uint32_t type = 0;
    const bool key = obj && GetObjContainer(obj, nullptr, nullptr, &type) == 0 && type != KV_OBJ_CERTIFICATE;
    const uint32_t reference = key ? KeyRef(*obj) : 0;
    RV rv = Mutate([&] { return ContMgrImpl::RemoveObj(obj, destroyEmpty); });
    // The next refresh reads the maps back with the reference in them.
    if (rv && reference) dropped_.insert(reference);
    return rv;
}

void ContMgrFsStore::DropReferences(const std::vector<uint16_t>& references) {
    dropped_.insert(references.begin(), references.end());
}

namespace {

// Each recorded reference whose slot holds no object carrying it.
template <class Containers, class Visit>
void ForLooseReferences(Containers& containers, Visit visit) {
    for (auto& [index, c] : containers) {
        for (auto& pair : c.pairs) {
            for (uint32_t t = 0; t < 2; ++t) {
                if (pair.references[t] && !pair.objects[t]) visit(pair, t);
            }
        }
    }
}

}  // namespace

bool ContMgrFsStore::LooseReferencesUnchecked() const {
    bool unchecked = false;
    ForLooseReferences(containers_, [&](const key_pair_t& pair, uint32_t t) {
        unchecked = unchecked || (!present_.count(pair.references[t]) && !dropped_.count(pair.references[t]));
    });
    return unchecked;
}

void ContMgrFsStore::DropMissingKeyFiles(const std::vector<uint16_t>& files) {
    ForLooseReferences(containers_, [&](key_pair_t& pair, uint32_t t) {
        const uint32_t ref = pair.references[t];
        if (ref > 0xFFFF) return;  // names no file of this token: another middleware's, left as it is
        if (std::find(files.begin(), files.end(), ref) != files.end()) present_.insert(ref);
        else dropped_.insert(ref);
    });
}

RV ContMgrFsStore::SettleDropped() {
    std::set<uint32_t> held;  // references of the keys in the containers
    for (const auto& [index, c] : containers_) {
        for (const auto& pair : c.pairs) {
            for (uint32_t t = 0; t < 2; ++t) {
                if (const uint32_t ref = pair.objects[t] ? KeyRef(*pair.objects[t]) : 0) held.insert(ref);
            }
        }
    }
    bool changed = false;
    ForLooseReferences(containers_, [&](key_pair_t& pair, uint32_t t) {
        // A slot's object always carries the slot's reference: a key file reused by a live key stays.
        if (!dropped_.count(pair.references[t]) && !held.count(pair.references[t])) return;
        pair.references[t] = 0;
        if (pair.Unused()) pair.recordedBits = 0;
        changed = true;
    });
    for (auto it = containers_.begin(); it != containers_.end();) {
        const bool unused = it->second.pairs[0].Unused() && it->second.pairs[1].Unused();
        changed = changed || unused;
        it = unused ? containers_.erase(it) : std::next(it);
    }
    RV rv = changed ? Save() : 0;
    if (rv == 0) dropped_.clear();
    return rv;
}

RV ContMgrFsStore::BuildMapFiles(ByteVec& containerMap, ByteVec& references) const {
    containerMap.clear();
    references.assign(kRefRecord, 0);
    references[0] = 1;
    const uint32_t count = containers_.empty() ? 0 : containers_.rbegin()->first + 1;
    for (uint32_t i = 0; i < count; ++i) {
        auto it = containers_.find(i);
        if (it == containers_.end()) {
            containerMap.insert(containerMap.end(), kMapRecord, 0);
            references.insert(references.end(), kRefRecord, 0);
            continue;
        }
        const container_t& c = it->second;
        for (const auto& pair : c.pairs) {
            AppendLe32(references, GetReference(c, static_cast<uint32_t>(&pair - c.pairs), KV_OBJ_PRIVATE_KEY));
            AppendLe32(references, GetReference(c, static_cast<uint32_t>(&pair - c.pairs), KV_OBJ_PUBLIC_KEY));
        }
        references.insert(references.end(), 8, 0);
        for (uint16_t unit : c.wideName) AppendLe16(containerMap, unit);
        containerMap.push_back(c.isDefault ? 3 : 1);
        containerMap.push_back(0);
        for (const auto& pair : c.pairs) {
            uint32_t bits = 0;
            if (pair.Empty() && !pair.objects[2]) {
                bits = pair.recordedBits;  // objects not loaded: keep what the map said
            } else if (pair.objects[KV_OBJ_PUBLIC_KEY]) {
                if (GetKeyBits(*pair.objects[KV_OBJ_PUBLIC_KEY], bits) != 0) {
                    if (!pair.objects[KV_OBJ_PRIVATE_KEY] || GetKeyBits(*pair.objects[KV_OBJ_PRIVATE_KEY], bits) != 0)
                        return CKR_GENERAL_ERROR;
                }
            }
            AppendLe16(containerMap, static_cast<uint16_t>(bits));
        }
    }
    return 0;
}

RV ContMgrFsStore::Save() {
    if (suppressSave_) return 0;
    ByteVec map, refs;
    RV rv = BuildMapFiles(map, refs);
    if (rv) return rv;
    uint32_t mapLen = 0, refLen = 0;
    rv = fs_->GetFileSize(kRefDir, kRefFile, &refLen);
    if (rv == 0) rv = fs_->GetFileSize(kMapDir, kMapFile, &mapLen);
    if (rv) return rv;
    if (refs.size() < refLen) refs.resize(refLen, 0);  // map files never shrink
    if (map.size() < mapLen) map.resize(mapLen, 0);
    // A save cut between the two files must not leave a container without
    // its references: a new container's references go first, and a
    // container that goes leaves the map first (references of a container
    // the map does not list are never read).
    bool removes = false, adds = false;
    for (uint32_t index : mapped_) removes = removes || !containers_.count(index);
    for (const auto& c : containers_) adds = adds || !mapped_.count(c.first);
    if (removes && adds) {
        // Both at once (a refresh placed a key in a new container, and this
        // change drops another): the references of both first, then as for
        // a removal.
        ByteVec onToken, both = refs;
        rv = Read(kRefDir, kRefFile, onToken);
        for (uint32_t index : mapped_) {
            const size_t at = (size_t(index) + 1) * kRefRecord;
            if (rv == 0 && !containers_.count(index) && at + kRefRecord <= onToken.size() && at + kRefRecord <= both.size())
                std::copy(onToken.begin() + at, onToken.begin() + at + kRefRecord, both.begin() + at);
        }
        if (rv == 0) rv = Write(kRefDir, kRefFile, both);
    }
    if (rv == 0) rv = removes ? Write(kMapDir, kMapFile, map) : Write(kRefDir, kRefFile, refs);
    if (rv == 0) rv = removes ? Write(kRefDir, kRefFile, refs) : Write(kMapDir, kMapFile, map);
    if (rv == 0) RememberMapped();
    else counts_.clear();  // memory and token differ now: the next refresh reads both files back
    return rv;
}

void ContMgrFsStore::RememberMapped() {
    mapped_.clear();
    for (const auto& c : containers_) mapped_.insert(c.first);
}

RV ContMgrFsStore::Write(const std::string& dir, const std::string& file, const ByteVec& data) {
    uint32_t count = 0;
    RV rv = fs_->ResizeFile(dir, file, static_cast<uint32_t>(data.size()), &count, data.empty() ? nullptr : data.data());
    if (rv == 0 && count) counts_[file + dir] = count;
    return rv;
}

RV ContMgrFsStore::Read(const std::string& dir, const std::string& file, ByteVec& data) {
    uint32_t count = 0;
    RV rv = fs_->ReadFile(dir, file, 0, data, &count);
    if (rv == 0) counts_[file + dir] = count;
    return rv;
}

bool ContMgrFsStore::Outdated(const std::string& dir, const std::string& file) {
    auto it = counts_.find(file + dir);
    return fs_->Outdated(dir, file, it == counts_.end() ? 0 : it->second);
}

RV ContMgrFsStore::CheckUpdate() {
    // The two files are read together: a container the map newly lists
    // takes its references from the other file even when that file's bytes
    // did not change (a key pair made again in the key files a removal cut
    // short left named there writes the same references).
    const bool mapChanged = Outdated(kMapDir, kMapFile);
    if (mapChanged) {
        ByteVec map;
        RV rv = Read(kMapDir, kMapFile, map);
        if (rv) return rv;
        const uint32_t records = static_cast<uint32_t>(map.size() / kMapRecord);
        for (uint32_t i = 0; i < records; ++i) {
            const uint8_t* r = map.data() + i * kMapRecord;
            if (!(r[80] & 1)) {
                containers_.erase(i);
                continue;
            }
            container_t& c = containers_[i];
            for (int u = 0; u < 40; ++u) c.wideName[u] = LoadLe16(r + 2 * u);
            char name[40];
            ConvertU2ToCharArray(c.wideName, name, sizeof name);
            c.name = name;
            c.isDefault = (r[80] & 2) != 0;
            c.pairs[0].recordedBits = LoadLe16(r + 82);
            c.pairs[1].recordedBits = LoadLe16(r + 84);
        }
        for (auto it = containers_.begin(); it != containers_.end();) it = it->first >= records ? containers_.erase(it) : std::next(it);
        RememberMapped();
    }
    if (mapChanged || Outdated(kRefDir, kRefFile)) {
        ByteVec refs;
        RV rv = Read(kRefDir, kRefFile, refs);
        if (rv) return rv;
        if (refs.size() < kRefRecord) return CKR_GENERAL_ERROR;  // the header alone is an empty map
        present_.clear();  // what others changed is looked at again
        for (size_t k = 0; (k + 2) * kRefRecord <= refs.size(); ++k) {
            auto it = containers_.find(static_cast<uint32_t>(k));
            if (it == containers_.end()) continue;
            const uint8_t* r = refs.data() + (k + 1) * kRefRecord;
            SetReference(it->second, LoadLe32(r), KV_USAGE_SIGNATURE, KV_OBJ_PRIVATE_KEY);
            SetReference(it->second, LoadLe32(r + 4), KV_USAGE_SIGNATURE, KV_OBJ_PUBLIC_KEY);
            SetReference(it->second, LoadLe32(r + 8), KV_USAGE_EXCHANGE, KV_OBJ_PRIVATE_KEY);
            SetReference(it->second, LoadLe32(r + 12), KV_USAGE_EXCHANGE, KV_OBJ_PUBLIC_KEY);
        }
    }
    return 0;
}
