// A token object connected to a virtual token, with its disk mirror under a
// temporary folder.
#ifndef KV_TESTS_TOKEN_ON_SIM_H
#define KV_TESTS_TOKEN_ON_SIM_H

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "disk_mirror.h"
#include "iauth_manager.h"
#include "istore.h"
#include "obj_factory.h"
#include "host_socket_bridge.h"
#include "libusb_dev.h"
#include "sim_process.h"
#include "token_tarn.h"
#include "token_wiring.h"

namespace testing_kv {

// Count of one instruction, or a total, from the daemon's statistics.
inline int StatOf(SimProcess& sim, const std::string& key) {
    std::string stats = sim.Control("stats");
    auto at = stats.find(key + "=");
    return at == std::string::npos ? 0 : std::stoi(stats.substr(at + key.size() + 1));
}

// A token object on its own socket connection to the daemon.
struct TokenClient {
    explicit TokenClient(const std::string& socket) {
        bridge.SetSocketPath(socket);
        token = std::make_unique<CTokenTarn>(SlotTokenParts());
        auto* device = new libusb_dev_t("", &bridge);
        token->SetDev(device);
        token->Init(device);  // the token's mechanisms, as the slot binds them
    }
    ~TokenClient() { token.reset(); }
    HostSocketBridge bridge;
    std::unique_ptr<CTokenTarn> token;
};

// Logs the user in with the personalisation's default PIN.
inline RV LoginUser(CTokenTarn& token, const char* pin = "12345678") {
    ByteVec value = GetPinHash(reinterpret_cast<const uint8_t*>(pin), static_cast<uint32_t>(std::strlen(pin)));
    return token.GetAuthManager()->Authenticate(kRefUser, value.data(), static_cast<uint32_t>(value.size()));
}

// Stores count data objects labelled "object N" on the token, as another
// library instance would have left them.
inline void PutDataObjects(SimProcess& sim, int count) {
    TokenClient setup(sim.Socket());
    setup.token->ConnectAndSetenv();
    if (LoginUser(*setup.token) != 0) std::fprintf(stderr, "login failed\n");
    IStore* store = setup.token->GetStore();
    for (int i = 0; i < count && store; ++i) {
        CK_ULONG cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        char label[24];
        std::snprintf(label, sizeof label, "object %d", i);
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &yes, 1}, {CKA_LABEL, label, std::strlen(label)}};
        ObjPtr obj = ObjFactory::CreateObject(t, 3);
        obj->SetHandle(static_cast<uint32_t>(i + 2));
        if (store->StoreObj(obj) != 0) std::fprintf(stderr, "object %d not stored\n", i);
    }
}

}  // namespace testing_kv

#endif
