// Attribute files of token objects as the object store reads them (type,
// length and value triples, little-endian), the objects that the factory and
// the class rules make of them, and what the container rules read from those
// objects (class, usage flags, key size, modulus, EC point, certificate).
//
// Input: frames, one per attribute file of the directory "pkcs11"; the first
// byte of a frame picks the object kind of the file name (data, cert, pubk,
// prvk, seck), the rest is the file.
//
// An object read from a file must serialise to bytes that read back to an
// object, stored once more to the same bytes, and storing the objects again
// must not read back as changes.
#include <cstdio>

#include "cont_mgr_impl.h"
#include "memory_file_system.h"
#include "memory_token.h"
#include "store_tarn.h"

namespace {

using kvfuzz::Bytes;
using kvfuzz::Check;

void ReadAsContainerRulesDo(const ObjPtr& obj, ContMgrImpl& containers) {
    uint32_t type = 0, usage = 0, bits = 0;
    ByteVec value;
    GetObjTypeInContainer(*obj, type);
    GetObjUsageInContainer(*obj, type, usage);
    GetKeyBits(*obj, bits);
    GetCheckValue(*obj, type, value);
    containers.AddObj(obj);
    containers.CheckMatchedKeyObj(obj, &type);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kKinds[] = {"data", "cert", "pubk", "prvk", "seck"};
    kvfuzz::FuzzInput in(data, size);
    kvfuzz::MemoryFileSystem fs;
    fs.CreateDirectory(CStoreTarn::kDir, 0, nullptr);
    for (int i = 1; i <= 16 && !in.Empty(); ++i) {
        const Bytes frame = in.Frame();
        if (frame.empty()) continue;
        char name[16];
        std::snprintf(name, sizeof name, "%s%04d", kKinds[frame[0] % 5], i);
        fs.Plant(CStoreTarn::kDir, name, Bytes(frame.begin() + 1, frame.end()));
    }

    kvfuzz::MemoryToken token;
    CStoreTarn store(&fs, &token);
    std::vector<ObjPtr> known, added, removed, changed;
    store.CheckUpdate(known, added, removed, changed);

    ContMgrImpl containers;
    uint32_t handle = 0;
    for (const ObjPtr& obj : added) {
        obj->SetHandle(++handle);
        ReadAsContainerRulesDo(obj, containers);
        // Empty values are left out of a file, so the first store may fill in
        // defaults; from then on the bytes must not change.
        const ByteVec first = CStoreTarn::Serialize(*obj);
        const ObjPtr stored = CStoreTarn::CreateObject(first.data(), first.size());
        Check(bool(stored), "a stored object does not read back");
        const ByteVec second = CStoreTarn::Serialize(*stored);
        const ObjPtr again = CStoreTarn::CreateObject(second.data(), second.size());
        Check(again && CStoreTarn::Serialize(*again) == second, "a stored object does not read back the same");
    }

    for (const ObjPtr& obj : added) store.StoreObj(obj);
    known = added;
    added.clear();
    store.CheckUpdate(known, added, removed, changed);
    Check(changed.empty(), "the store's own writes read back as changes");

    uint32_t fid = 0;
    for (CK_ULONG keyType : {CKK_RSA, CKK_DES3, CKK_AES}) store.AllocKeyFID(CKO_SECRET_KEY, keyType, &fid);
    store.AllocKeyFID(CKO_PRIVATE_KEY, CKK_RSA, &fid);
    return 0;
}
