// APDUs and bytes the virtual token counts for
// C_Login -> C_FindObjectsInit/C_FindObjects over all objects ->
// C_GetAttributeValue(CKA_LABEL) of each, cold (empty phone mirror, first
// binding) and warm (same binding again, token unchanged), with 5 and 40
// objects on the token.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host_socket_bridge.h"
#include "pkcs11.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

// Login, the search and every label; the labels read, or -1 on a failure.
int FindAndReadLabels(CK_SESSION_HANDLE h) {
    if (C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("12345678")), 8) != CKR_OK) return -1;
    if (C_FindObjectsInit(h, nullptr, 0) != CKR_OK) return -1;
    std::vector<CK_OBJECT_HANDLE> found(64);
    CK_ULONG n = 0;
    const CK_RV rv = C_FindObjects(h, found.data(), found.size(), &n);
    C_FindObjectsFinal(h);
    if (rv != CKR_OK) return -1;
    for (CK_ULONG i = 0; i < n; ++i) {
        char label[32];
        CK_ATTRIBUTE a{CKA_LABEL, label, sizeof label};
        if (C_GetAttributeValue(h, found[i], &a, 1) != CKR_OK) return -1;
    }
    return static_cast<int>(n);
}

void Measure(SimProcess& sim, const char* mode, int objects) {
    CK_SESSION_HANDLE h = 0;
    C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h);
    sim.Control("stats-reset");
    sim.Control("trace-clear");
    const int read = FindAndReadLabels(h);
    if (std::getenv("KV_BENCH_VERBOSE")) {
        std::printf("%s\n%s\n", sim.Control("stats").c_str(), sim.Control("trace").c_str());
    }
    const int apdus = StatOf(sim, "apdus"), bytes = StatOf(sim, "bytes_in") + StatOf(sim, "bytes_out");
    C_CloseAllSessions(1);  // logs out
    std::printf("%-8d %-5s %8d %12d %s\n", objects, mode, apdus, bytes, read == objects ? "" : "(failed)");
}

}  // namespace

int main() {
    std::printf("%-8s %-5s %8s %12s\n", "objects", "mode", "APDUs", "USB bytes");
    for (int objects : {5, 40}) {
        SimProcess sim;
        DiskMirror::SetBase(sim.Dir() + "/setup");
        testing_kv::PutDataObjects(sim, objects);
        HostSocketBridge::Instance().SetSocketPath(sim.Socket());
        DiskMirror::SetBase(sim.Dir() + "/phone");
        C_Initialize(nullptr);
        CK_SLOT_ID slot = 0;
        CK_ULONG n = 1;
        C_GetSlotList(CK_TRUE, &slot, &n);
        Measure(sim, "cold", objects);
        Measure(sim, "warm", objects);
        C_Finalize(nullptr);
    }
    return 0;
}
