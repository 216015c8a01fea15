// APDUs and bytes the virtual token counts for loading the named file system
// and reading every file, cold (empty phone mirror) and warm (mirror valid),
// for 5 and 40 named files.
#include <cstdio>
#include <string>

#include "ifile_system.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

struct Cost {
    int apdus, bytes, reads;
};

Cost Load(SimProcess& sim, int files) {
    TokenClient client(sim.Socket());
    client.token->ConnectAndSetenv();
    sim.Control("stats-reset");
    client.token->Lock();
    IFileSystem* fs = client.token->GetFileSystem();
    for (int i = 0; fs && i < files; ++i) {
        ByteVec content;
        fs->ReadFile("pkcs11", "file" + std::to_string(i), 0, content, nullptr);
    }
    client.token->Unlock();
    return {StatOf(sim, "apdus"), StatOf(sim, "bytes_in") + StatOf(sim, "bytes_out"), StatOf(sim, "ins_B0")};
}

}  // namespace

int main() {
    std::printf("%-6s %-5s %8s %8s %12s\n", "files", "mode", "APDUs", "reads", "USB bytes");
    for (int files : {5, 40}) {
        SimProcess sim;
        DiskMirror::SetBase(sim.Dir() + "/setup");
        {
            TokenClient setup(sim.Socket());
            setup.token->ConnectAndSetenv();
            IFileSystem* fs = setup.token->GetFileSystem();
            for (int i = 0; fs && i < files; ++i) {
                const std::string name = "file" + std::to_string(i);
                ByteVec content(200, static_cast<uint8_t>(i));
                fs->CreateFile("pkcs11", name, 200, 200, 0xDB00, nullptr);
                fs->WriteFile("pkcs11", name, 0, content.data(), 200, nullptr);
            }
        }
        DiskMirror::SetBase(sim.Dir() + "/phone");
        Cost cold = Load(sim, files);
        Cost warm = Load(sim, files);
        std::printf("%-6d %-5s %8d %8d %12d\n", files, "cold", cold.apdus, cold.reads, cold.bytes);
        std::printf("%-6d %-5s %8d %8d %12d\n", files, "warm", warm.apdus, warm.reads, warm.bytes);
    }
    return 0;
}
