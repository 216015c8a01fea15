// The container map files as the container manager reads them: "cmapfile"
// (86-byte records: UTF-16 name, flags, two key sizes) and "containermap"
// (a 24-byte header, then 24-byte records of key references), read again
// whenever another application changed them, and the maps written back
// after each change.
//
// Input: the cmapfile and the containermap contents (two frames), then
// operations until the input ends: an operation byte and its arguments, read
// in the order the code below reads them.
//
// Map files built from what was read must read back to the same map files.
#include "cont_mgr_fs_store.h"
#include "memory_file_system.h"
#include "rsa_cert.h"

namespace {

using kvfuzz::Bytes;
using kvfuzz::FuzzInput;

const char kMapDir[] = "mscp";
const char kMapFile[] = "cmapfile";
const char kRefDir[] = "internal";
const char kRefFile[] = "containermap";

void CheckMapsReadBack(ContMgrFsStore& manager) {
    ByteVec map, refs;
    if (manager.BuildMapFiles(map, refs) != 0) return;
    kvfuzz::MemoryFileSystem fs;
    fs.Plant(kMapDir, kMapFile, map);
    fs.Plant(kRefDir, kRefFile, refs);
    ContMgrFsStore again(&fs);
    kvfuzz::Check(again.CheckUpdate() == 0, "written map files cannot be read");
    ByteVec mapAgain, refsAgain;
    kvfuzz::Check(again.BuildMapFiles(mapAgain, refsAgain) == 0 && mapAgain == map && refsAgain == refs,
                  "written map files read back as other maps");
}

ObjPtr Key(FuzzInput& in) {
    const uint8_t kind = in.Byte();
    const Bytes value = in.Frame();
    static const CK_OBJECT_CLASS kClasses[] = {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE};
    ObjPtr obj = testing_kv::RsaObject(kClasses[kind % 3], value, kind & 0x10, kind);
    if (obj && (kind & 0x20)) {
        const CK_ULONG ref = in.U16();
        obj->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, sizeof ref);
    }
    return obj;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    kvfuzz::MemoryFileSystem fs;
    fs.Plant(kMapDir, kMapFile, in.Frame());
    fs.Plant(kRefDir, kRefFile, in.Frame());
    ContMgrFsStore manager(&fs);
    if (manager.CheckUpdate() == 0) CheckMapsReadBack(manager);

    std::vector<ObjPtr> objects;
    for (int steps = 0; steps < 32 && !in.Empty(); ++steps) {
        const uint8_t op = in.Byte();
        switch (op % 7) {
            case 0: {
                const Bytes name = in.Frame();
                uint32_t index = 0;
                manager.CreateContainer(std::string(name.begin(), name.end()), &index);
                break;
            }
            case 1:
                manager.DestroyContainer(in.Byte());
                break;
            case 2:
                if (ObjPtr obj = Key(in)) {
                    objects.push_back(obj);
                    manager.AddObj(obj);
                }
                break;
            case 3:
                if (!objects.empty()) manager.RemoveObj(objects[in.Byte() % objects.size()], in.Bit());
                break;
            case 4:  // another application rewrites one of the map files
                if (in.Bit()) fs.Plant(kMapDir, kMapFile, in.Frame());
                else fs.Plant(kRefDir, kRefFile, in.Frame());
                break;
            case 5: {
                std::vector<uint32_t> indexes;
                manager.GetContainerList(indexes);
                for (uint32_t index : indexes) {
                    std::string name;
                    ObjPtr obj;
                    manager.GetContainerName(index, name);
                    manager.GetContainerIndex(name, &index);
                    manager.GetObj(index, in.Bit(), in.Byte() % 3, obj);
                }
                break;
            }
            default:
                if (manager.CheckUpdate() == 0) CheckMapsReadBack(manager);
                break;
        }
    }
    return 0;
}
