// The named file system with its file cache over a token whose content,
// failures and changes by other applications all come from the input. Two
// instances (two applications) share the token and the phone-side mirror.
//
// Input: a flag byte (bit 0: keep the record file at its frame's length
// instead of filling it to 50 records), the record file (a frame), a count
// byte and that many more token files (each a frame: FID, 2 bytes big-endian,
// then the content), then operations until the input ends: an operation byte
// (bit 7 picks the instance) followed by its arguments, read in the order the
// code below reads them.
//
// After a write, a resize or a create that succeeded, the file must read
// back what was written.
#include <fstream>
#include <memory>

#include "file_cache_local.h"
#include "file_system_tarn.h"
#include "memory_token.h"
#include "scratch_dir.h"

namespace {

using kvfuzz::Bytes;
using kvfuzz::Check;
using kvfuzz::FuzzInput;
using kvfuzz::MemoryToken;

struct Instance {
    Instance(MemoryToken& token, const std::string& mirror) : cache(&token, mirror), fs(&cache, &token, FID_RECORD) {
        fs.Initialize(false);
    }
    CFileCacheLocal cache;
    CFileSystemTarn fs;
};

// Mostly names the token really uses, so that operations meet; now and then
// any bytes.
std::string Name(FuzzInput& in) {
    static const char* const kNames[] = {"",         "pkcs11",       "mscp",     "internal",  "tkinfdir",
                                         "cmapfile", "containermap", "prvk0001", "data0001", "tokeninfo"};
    const uint8_t pick = in.Byte();
    if (pick < 0xF0) return kNames[pick % 10];
    const Bytes b = in.Frame();
    return std::string(b.begin(), b.end());
}

uint16_t Fid(FuzzInput& in) {
    const uint8_t pick = in.Byte();
    if (pick == 0) return FID_RECORD;
    if (pick == 1) return 0xFFFF;  // the mirror's counter file
    if (pick < 0xF0) return static_cast<uint16_t>(FID_FIRST_NAMED + 0x20 * (pick % 24));
    return in.U16();
}

void PlantMirrorFile(const std::string& mirror, uint16_t fid, const Bytes& content) {
    std::filesystem::create_directories(mirror);
    char name[16];
    std::snprintf(name, sizeof name, "%04X.dat", fid);
    std::ofstream(mirror + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

void CheckReadBack(IFileSystem& fs, const std::string& dir, const std::string& name, uint32_t offset,
                   const Bytes& data) {
    ByteVec content;
    if (fs.ReadFile(dir, name, 0, content, nullptr) != 0) return;  // a failure planted for this read
    for (size_t i = 0; i < data.size() && offset + i < content.size(); ++i)
        Check(content[offset + i] == data[i], "a file does not read back what was just written");
}

void Operate(FuzzInput& in, uint8_t op, MemoryToken& token, std::unique_ptr<Instance>& self,
             const std::string& mirror) {
    IFileSystem& fs = self->fs;
    switch (op % 18) {
        case 0: {
            const std::string dir = Name(in);
            fs.CreateDirectory(dir, in.U16(), nullptr);
            break;
        }
        case 1:
            fs.DeleteDirectory(Name(in));
            break;
        case 2: {
            std::vector<std::string> dirs, files;
            fs.EnumFiles(Name(in), dirs, files, nullptr);
            break;
        }
        case 3: {
            const std::string dir = Name(in), name = Name(in);
            const uint32_t used = in.U16(), allocated = in.U16();
            if (fs.CreateFile(dir, name, used, allocated, in.U16(), nullptr) == 0)
                CheckReadBack(fs, dir, name, 0, Bytes(used, 0));
            break;
        }
        case 4: {
            const std::string dir = Name(in);
            fs.DeleteFile(dir, Name(in));
            break;
        }
        case 5: {
            const std::string dir = Name(in), name = Name(in);
            const uint32_t offset = in.U16();
            const Bytes data = in.Frame();
            if (fs.WriteFile(dir, name, offset, data.data(), static_cast<uint32_t>(data.size()), nullptr) == 0)
                CheckReadBack(fs, dir, name, offset, data);
            break;
        }
        case 6: {
            const std::string dir = Name(in), name = Name(in);
            ByteVec content;
            uint32_t count = 0;
            fs.ReadFile(dir, name, 0, content, &count);
            break;
        }
        case 7: {
            const std::string dir = Name(in), name = Name(in);
            const uint32_t size = in.U16();
            const bool withData = in.Bit();
            Bytes data = in.Frame();
            data.resize(size, 0);
            if (fs.ResizeFile(dir, name, size, nullptr, withData ? data.data() : nullptr) == 0) {
                uint32_t now = 0;
                if (fs.GetFileSize(dir, name, &now) == 0) Check(now == size, "a resized file has another size");
                if (withData) CheckReadBack(fs, dir, name, 0, data);
            }
            break;
        }
        case 8: {
            const std::string dir = Name(in), name = Name(in);
            uint32_t size = 0;
            uint16_t acl = 0;
            fs.GetFileSize(dir, name, &size);
            fs.GetFileACL(dir, name, &acl);
            break;
        }
        case 9: {
            const std::string dir = Name(in), name = Name(in);
            const uint32_t count = in.U32();
            fs.Outdated(dir, name, count);
            fs.Outdated(dir, count);
            break;
        }
        case 10:
            fs.Initialize(in.Bit());
            break;
        case 11: {  // another application writes to a token file
            const uint16_t fid = Fid(in);
            const uint32_t offset = in.U16();
            const Bytes data = in.Frame();
            auto it = token.files.find(fid);
            if (it == token.files.end() || offset + data.size() > it->second.size()) break;
            std::copy(data.begin(), data.end(), it->second.begin() + offset);
            ++token.counter;
            break;
        }
        case 12:  // other applications' writes move the counter
            token.counter += in.Byte();
            break;
        case 13: {  // another application creates (size > 0) or deletes a token file
            const uint16_t fid = Fid(in);
            const uint16_t size = in.U16();
            if (size) token.files[fid] = Bytes(size, 0);
            else token.files.erase(fid);
            ++token.counter;
            break;
        }
        case 14: {  // a file planted in the phone-side mirror, maybe with the token's counter
            const uint16_t fid = Fid(in);
            PlantMirrorFile(mirror, fid, in.Frame());
            if (in.Bit()) {
                const uint32_t c = token.counter & 0xFFFF;
                PlantMirrorFile(mirror, 0xFFFF, Bytes{static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 0, 0});
            }
            break;
        }
        case 15: {
            static const RV kFailures[] = {CKR_DEVICE_ERROR, SCARD_E_FILE_NOT_FOUND, CKR_DATA_LEN_RANGE,
                                           CKR_USER_NOT_LOGGED_IN, CKR_DEVICE_MEMORY};
            const uint32_t after = in.Byte() % 8, count = 1 + in.Byte() % 4;
            const RV rv = kFailures[in.Byte() % 5];
            token.FailAfter(after, count, rv, in.Bit());
            break;
        }
        case 16:  // the application starts again: a new cache over the same mirror
            self.reset();
            self = std::make_unique<Instance>(token, mirror);
            break;
        case 17: {
            const uint8_t how = in.Byte();
            const uint16_t fid = Fid(in);
            if (how % 3 == 0) self->cache.NoteDirectWrite(fid);
            else if (how % 3 == 1) self->cache.Forget(fid);
            else self->cache.ForgetAll();
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::EmptyScratchDir();
    const std::string mirror = kvfuzz::ScratchDir() + "/4B56000000000001";
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();

    MemoryToken token;
    Bytes table = in.Frame();
    if (!(flags & 1)) table.resize(kRecordSize * kRecordCount, 0);
    token.files[FID_RECORD] = table;
    for (uint8_t n = in.Byte() % 9; n > 0 && !in.Empty(); --n) {
        const uint16_t fid = in.U16();
        token.files[fid] = in.Frame();
    }

    std::unique_ptr<Instance> instances[2];  // the second starts with its first operation
    instances[0] = std::make_unique<Instance>(token, mirror);
    for (int steps = 0; steps < 64 && !in.Empty(); ++steps) {
        const uint8_t op = in.Byte();
        std::unique_ptr<Instance>& self = instances[op >> 7];
        if (!self) self = std::make_unique<Instance>(token, mirror);
        token.Lock();  // one call of the slot: the token is locked throughout
        Operate(in, op & 0x7F, token, self, mirror);
        token.Unlock();
    }
    return 0;
}
