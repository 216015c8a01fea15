// The device through which the slot binds its token.
#ifndef KV_DEVICE_TOKEN_DEVICE_H
#define KV_DEVICE_TOKEN_DEVICE_H

#include <memory>

#include "kv_dev.h"

// Android, or a host where a Java VM or another host bridge (tests) serves
// the token: the USB token through the host's calls. Other hosts: the
// virtual token's socket when $KVP11_SOCKET names one (and it passes the
// checks of device/host_socket_bridge.h); else the first PC/SC reader whose
// card is this token (builds with pcsc-lite); else no token: a device that
// reaches no socket and fails to connect.
std::unique_ptr<kv_dev_t> OpenTokenDevice();

#endif
