// The bridge into the host app's Java class "com/qomlex/monitor/JniCallBack".
// On a host build without a Java VM, the same four calls go to the virtual
// token daemon over its socket.
#ifndef KV_DEVICE_JNI_OTG_H
#define KV_DEVICE_JNI_OTG_H

#include <jni.h>

#include <string>

#include "kv_export.h"
#include "usb_bridge.h"

extern "C" {
KV_EXPORT jint JNI_OnLoad(JavaVM* vm, void* reserved);
KV_EXPORT void JNI_OnUnload(JavaVM* vm, void* reserved);
KV_EXPORT JNIEnv* jm_AttachCurrentThread();
KV_EXPORT void jm_DetachCurrentThread();
}

// The VM captured by JNI_OnLoad, or null.
JavaVM* CapturedVm();

class JniOtg : public UsbBridge {
public:
    int32_t jgetidVendor() override;
    int32_t jgetidProduct() override;
    int64_t jSendData(const uint8_t* data, uint32_t len) override;
    int64_t jRecvData(uint8_t* buffer, uint32_t len, const char* unused) override;
    // On Android in the app's cache folder: the processes of this app meet
    // there. Other apps have caches of their own; against them the token's
    // channel recovery (reopening after 6988) is what remains. Host builds:
    // the socket bridge's (device/host_socket_bridge.h).
    std::string LockPath() override;

    // The process-wide bridge.
    static JniOtg& Instance();

#ifndef __ANDROID__
    // A host without a Java VM reaches its token through this bridge instead
    // of the socket (null: the socket again), e.g. a token held in the
    // process itself.
    static void UseHostBridge(UsbBridge* bridge);
    // Whether UseHostBridge named a bridge.
    static bool HostBridgeChosen();
#endif
};

#endif
