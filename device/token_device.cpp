#include "token_device.h"

#include <cstdlib>

#include "jni_otg.h"
#include "kv_provisioning.h"
#include "libusb_dev.h"
#include "pcsc_dev.h"

namespace {

#ifdef KV_WITH_PCSC
bool SocketOrHostChosen() {
    const char* socket = std::getenv(kvprov::kSocketVariable);
    return (socket && *socket) || CapturedVm() || JniOtg::HostBridgeChosen();
}
#endif

}  // namespace

std::unique_ptr<kv_dev_t> OpenTokenDevice() {
#ifdef KV_WITH_PCSC
    if (!SocketOrHostChosen()) {
        if (auto card = pcsc_dev_t::FindToken()) return card;
    }
#endif
    return std::make_unique<libusb_dev_t>(std::string());
}
