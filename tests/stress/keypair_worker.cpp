// One process of the two-process key pair test: waits until its standard
// input closes (so that both start together), then generates COUNT EC P-256
// key pairs on the token labelled PREFIX-1 .. PREFIX-COUNT and, after each
// from the second on, destroys the pair before it; it keeps PREFIX-1 and
// PREFIX-COUNT. Exit 0 when every call returned CKR_OK and every destroy
// found both halves; otherwise the failing call is named on standard error.
//
//   keypair_worker SOCKET MIRROR_BASE PREFIX COUNT
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "pkcs11.h"

namespace {

const CK_BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

bool Ok(const std::string& what, CK_RV rv) {
    if (rv != CKR_OK) std::fprintf(stderr, "process %d: %s returned 0x%lX\n", int(getpid()), what.c_str(), rv);
    return rv == CKR_OK;
}

bool Generate(CK_SESSION_HANDLE h, const std::string& label) {
    CK_BBOOL yes = CK_TRUE;
    auto text = const_cast<char*>(label.data());
    CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, 1}, {CKA_VERIFY, &yes, 1}, {CKA_EC_PARAMS, const_cast<CK_BYTE*>(kP256), sizeof kP256},
                          {CKA_LABEL, text, label.size()}, {CKA_ID, text, label.size()}};
    CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1},
                          {CKA_LABEL, text, label.size()}, {CKA_ID, text, label.size()}};
    CK_MECHANISM m{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE a = 0, b = 0;
    return Ok("C_GenerateKeyPair " + label, C_GenerateKeyPair(h, &m, pub, 5, prv, 5, &a, &b));
}

bool Destroy(CK_SESSION_HANDLE h, const std::string& label) {
    CK_ATTRIBUTE t[] = {{CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
    CK_OBJECT_HANDLE found[4];
    CK_ULONG n = 0;
    if (!Ok("C_FindObjectsInit " + label, C_FindObjectsInit(h, t, 1))) return false;
    const bool listed = Ok("C_FindObjects " + label, C_FindObjects(h, found, 4, &n));
    if (!Ok("C_FindObjectsFinal " + label, C_FindObjectsFinal(h)) || !listed) return false;
    if (n != 2) {
        std::fprintf(stderr, "process %d: %lu objects labelled %s, not 2\n", int(getpid()), n, label.c_str());
        return false;
    }
    return Ok("C_DestroyObject " + label, C_DestroyObject(h, found[0])) &&
           Ok("C_DestroyObject " + label, C_DestroyObject(h, found[1]));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s SOCKET MIRROR_BASE PREFIX COUNT\n", argv[0]);
        return 2;
    }
    HostSocketBridge::Instance().SetSocketPath(argv[1]);
    DiskMirror::SetBase(argv[2]);
    const std::string prefix = argv[3];
    const int count = std::atoi(argv[4]);
    char gate;
    while (read(STDIN_FILENO, &gate, 1) > 0) {
    }
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    CK_SESSION_HANDLE h = 0;
    bool ok = Ok("C_Initialize", C_Initialize(nullptr)) && Ok("C_GetSlotList", C_GetSlotList(CK_TRUE, &slot, &n)) &&
              Ok("C_OpenSession", C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h)) &&
              Ok("C_Login", C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("12345678")), 8));
    for (int k = 1; ok && k <= count; ++k) {
        ok = Generate(h, prefix + "-" + std::to_string(k)) && (k < 3 || Destroy(h, prefix + "-" + std::to_string(k - 1)));
    }
    C_CloseAllSessions(1);
    C_Finalize(nullptr);
    return ok ? 0 : 1;
}
