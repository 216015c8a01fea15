// APDUs and bytes the virtual token counts for
// C_Initialize -> C_GetSlotList(TRUE) -> C_OpenSession -> C_Login -> C_GetTokenInfo,
// cold (empty phone mirror) and warm (mirror valid, token unchanged), with 5
// and 40 objects on the token.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_socket_bridge.h"
#include "pkcs11.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

void Measure(SimProcess& sim, const char* mode, int objects) {
    sim.Control("stats-reset");
    sim.Control("trace-clear");
    C_Initialize(nullptr);
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    C_GetSlotList(CK_TRUE, &slot, &n);
    CK_SESSION_HANDLE h = 0;
    C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h);
    C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("12345678")), 8);
    CK_TOKEN_INFO info;
    CK_RV rv = C_GetTokenInfo(1, &info);
    if (std::getenv("KV_BENCH_VERBOSE")) std::printf("%s\n%s\n", sim.Control("stats").c_str(), sim.Control("trace").c_str());
    const int apdus = StatOf(sim, "apdus"), bytes = StatOf(sim, "bytes_in") + StatOf(sim, "bytes_out");
    C_CloseAllSessions(1);
    C_Finalize(nullptr);
    std::printf("%-8d %-5s %8d %12d %s\n", objects, mode, apdus, bytes, rv == CKR_OK ? "" : "(failed)");
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
        Measure(sim, "cold", objects);
        Measure(sim, "warm", objects);
    }
    return 0;
}
