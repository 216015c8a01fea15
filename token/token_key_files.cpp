// Key files of interrupted key creations. A key file is noted before it is
// created, on the phone beside the file mirror and in memory, and settled
// when a stored object names it or it is deleted. A creation cut short (a
// USB cut, a killed process) leaves its note; the next key creation of this
// process, or of a later one, deletes the noted files that no stored object
// names. Notes of other live processes are left to them.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "disk_mirror.h"
#include "key_files.h"
#include "token_tarn.h"

namespace {

uint32_t Self() { return static_cast<uint32_t>(getpid()); }

bool Alive(uint32_t pid) {
    return pid == Self() || kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool Has(const std::vector<uint16_t>& list, uint16_t fid) {
    return std::find(list.begin(), list.end(), fid) != list.end();
}

}  // namespace

DiskMirror CTokenTarn::PendingMirror() {
    // The notes are read, changed and written back under the cross-process
    // lock: two processes of one application never lose each other's.
    HoldProcessLock();
    return DiskMirror(GetFileCache() ? mirrorDir_ : std::string());
}

void CTokenTarn::NoteKeyFile(uint16_t fid) {
    if (!IsKeyFile(fid)) return;  // a note may only ever lead to a key file's deletion
    if (!Has(pendingKeys_, fid)) pendingKeys_.push_back(fid);
    DiskMirror mirror = PendingMirror();
    if (!mirror.Enabled()) return;
    std::vector<PendingKey> keys = mirror.ReadPendingKeys();
    keys.erase(std::remove_if(keys.begin(), keys.end(), [fid](const PendingKey& k) { return k.fid == fid; }),
               keys.end());
    keys.push_back({fid, Self()});
    mirror.WritePendingKeys(keys);
}

void CTokenTarn::SettleKeyFile(uint16_t fid) {
    if (!Has(pendingKeys_, fid)) return;
    pendingKeys_.erase(std::remove(pendingKeys_.begin(), pendingKeys_.end(), fid), pendingKeys_.end());
    DiskMirror mirror = PendingMirror();
    if (!mirror.Enabled()) return;
    std::vector<PendingKey> keys = mirror.ReadPendingKeys();
    keys.erase(std::remove_if(keys.begin(), keys.end(), [fid](const PendingKey& k) { return k.fid == fid; }),
               keys.end());
    mirror.WritePendingKeys(keys);
}

void CTokenTarn::SweepKeyFiles() {
    DiskMirror mirror = PendingMirror();
    std::vector<PendingKey> kept = mirror.ReadPendingKeys();
    std::vector<uint16_t> candidates = pendingKeys_;
    for (auto it = kept.begin(); it != kept.end();) {
        if (Alive(it->owner) && it->owner != Self()) {
            ++it;
            continue;
        }
        if (!Has(candidates, it->fid)) candidates.push_back(it->fid);
        it = kept.erase(it);
    }
    if (candidates.empty()) return;
    IStore* store = GetStore();
    std::vector<uint16_t> onToken;
    // Without a fresh view of the objects and files the notes stay for a later sweep.
    if (!store || store->CheckUpdate(false) != 0 || GetFileList(onToken) != 0) return;
    std::vector<uint16_t> left;
    for (uint16_t fid : candidates) {
        if (!Has(onToken, fid)) continue;
        if (store->NamesKeyFile(fid)) {
            // A key object that could not be read, or one whose deletion
            // was cut short (its record may outlive its file), may or may
            // not name it: the note waits for a view of every object.
            if (!store->ViewComplete()) left.push_back(fid);
            continue;
        }
        if (DeleteFile(fid) != 0) left.push_back(fid);
        else if (!Has(sweptKeys_, fid)) sweptKeys_.push_back(fid);
    }
    pendingKeys_ = left;
    for (uint16_t fid : left) kept.push_back({fid, Self()});
    if (mirror.Enabled()) mirror.WritePendingKeys(kept);
}

std::vector<uint16_t> CTokenTarn::TakeSweptKeyFiles() {
    std::vector<uint16_t> swept;
    swept.swap(sweptKeys_);
    return swept;
}
