// APDUs and USB bytes the virtual token counts for one signature with a key
// on the token: RSA-2048 with SHA-256 and ECDSA on P-256, for a short and a
// 5000-byte message (ECDSA over a given hash, and with SHA-1 hashed on the
// token for the long message).
#include <cstdio>

#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

void Report(SimProcess& sim, const char* what, RV rv) {
    std::printf("%-34s %6d %10d %s\n", what, StatOf(sim, "apdus"), StatOf(sim, "bytes_in") + StatOf(sim, "bytes_out"),
                rv == 0 ? "" : "(failed)");
}

}  // namespace

int main() {
    SimProcess sim;
    DiskMirror::SetBase(sim.Dir() + "/phone");
    TokenClient client(sim.Socket());
    CTokenTarn& token = *client.token;
    if (token.ConnectAndSetenv() != 0 || testing_kv::LoginUser(token) != 0) {
        std::fprintf(stderr, "no token\n");
        return 1;
    }
    token.CreateRSAReference(0x8000, 0xA020, 2048);
    token.RSAGenerateKeyPair(0x8000, 0xA020, 2048);
    token.CreateECCReference(0x8020, 0xA040, 256);
    token.ECCGenerateKeyPair(0x8020, 0xA040, 256);

    std::printf("%-34s %6s %10s\n", "signature", "APDUs", "USB bytes");
    const std::vector<uint8_t> shortMessage(32, 0x61), longMessage(5000, 0x62);
    uint8_t sig[256];
    for (const auto* m : {&shortMessage, &longMessage}) {
        sim.Control("stats-reset");
        uint32_t len = sizeof sig;
        RV rv = token.RSASign(0xA020, m->data(), static_cast<uint32_t>(m->size()), sig, &len, CKM_SHA256_RSA_PKCS);
        Report(sim, m->size() < 100 ? "RSA-2048 SHA-256, 32 bytes" : "RSA-2048 SHA-256, 5000 bytes", rv);
    }
    sim.Control("stats-reset");
    uint32_t len = sizeof sig;
    RV rv = token.ECCSign(0xA040, shortMessage.data(), 32, sig, &len, CKM_ECDSA);
    Report(sim, "ECDSA P-256, given 32-byte hash", rv);
    sim.Control("stats-reset");
    len = sizeof sig;
    rv = token.ECCSign(0xA040, longMessage.data(), 5000, sig, &len, CKM_ECDSA_SHA1);
    Report(sim, "ECDSA P-256 SHA-1, 5000 bytes", rv);
    return 0;
}
