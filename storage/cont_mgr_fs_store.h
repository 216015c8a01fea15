// Containers saved to "mscp"/"cmapfile" and "internal"/"containermap" after
// every change, and re-read when another application changed them.
#ifndef KV_STORAGE_CONT_MGR_FS_STORE_H
#define KV_STORAGE_CONT_MGR_FS_STORE_H

#include <map>
#include <set>

#include "cont_mgr_impl.h"
#include "ifile_system.h"

class ContMgrFsStore : public ContMgrImpl {
public:
    explicit ContMgrFsStore(IFileSystem* fs) : fs_(fs) {}

    RV CheckUpdate() override;
    RV CreateContainer(const std::string& name, uint32_t* index) override;
    RV DestroyContainer(uint32_t index) override;
    RV AddObj(ObjPtr obj, const uint32_t* index = nullptr, const uint32_t* usage = nullptr,
              const uint32_t* type = nullptr) override;
    RV RemoveObj(ObjPtr obj, bool destroyEmpty) override;

    RV Save();
    // While set, changes stay in memory (they came from the token).
    bool SaveSuppressed() const { return suppressSave_; }
    void SetSaveSuppressed(bool on) { suppressSave_ = on; }

    // Key references to take out of the maps once no object carries them:
    // key files the sweep deleted, keys destroyed whose map save failed.
    void DropReferences(const std::vector<uint16_t>& references);
    // Whether a recorded reference that no object in its slot carries has
    // not yet been looked for among the token's files (files: the list).
    bool LooseReferencesUnchecked() const;
    // Drops the loose references whose key file is not on the token: the
    // key is gone, and a key made later in that file must not meet them.
    void DropMissingKeyFiles(const std::vector<uint16_t>& files);
    // With every key object in its container: takes out the dropped
    // references, a reference recorded again beside the slot that holds its
    // key, and the containers left without any key, and saves the maps;
    // what a failed save leaves waits for a later call.
    RV SettleDropped();

    // Map file bytes for the current containers.
    RV BuildMapFiles(ByteVec& containerMap, ByteVec& references) const;

private:
    template <class Op>
    RV Mutate(Op op);
    RV Read(const std::string& dir, const std::string& file, ByteVec& data);
    RV Write(const std::string& dir, const std::string& file, const ByteVec& data);
    bool Outdated(const std::string& dir, const std::string& file);
    void RememberMapped();

    IFileSystem* fs_;
    std::map<std::string, uint32_t> counts_;  // file name + directory -> write count last seen
    bool suppressSave_ = false;
    std::set<uint32_t> dropped_;
    std::set<uint32_t> present_;  // loose references whose key file the token listed since the maps were read
    std::set<uint32_t> mapped_;  // container indexes the map file held when last read or written
};

#endif
