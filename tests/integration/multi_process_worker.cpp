// One process of an application using the token through PKCS#11, for the
// multi-process tests: waits until its standard input closes (so that all
// processes start together), binds the token, then runs
// open session -> login -> token info -> [sign] -> close session the given
// number of times. With a key label, each round signs the message with
// CKM_SHA256_RSA_PKCS by the private key of that label; every signature
// must equal the first, which is written to standard output in hex.
// Exit 0 when every call succeeded; otherwise the failing call is named on
// standard error and the exit code is 1.
//
//   multi_process_worker SOCKET MIRROR_BASE ITERATIONS PIN [KEY_LABEL MESSAGE]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "pkcs11.h"

namespace {

bool Check(const char* call, CK_RV rv, int iteration) {
    if (rv == CKR_OK) return true;
    std::fprintf(stderr, "process %d, iteration %d: %s returned 0x%lX\n", static_cast<int>(getpid()), iteration, call,
                 static_cast<unsigned long>(rv));
    return false;
}

struct Signing {
    const char* label;
    const char* message;
    std::vector<CK_BYTE> first;  // the first signature
};

// The private key labelled sign.label signs sign.message; the signature
// must equal the first one.
bool SignOnce(CK_SESSION_HANDLE h, Signing& sign, int iteration) {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE find[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_LABEL, const_cast<char*>(sign.label), std::strlen(sign.label)}};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    if (!Check("C_FindObjectsInit", C_FindObjectsInit(h, find, 2), iteration)) return false;
    const bool listed = Check("C_FindObjects", C_FindObjects(h, &key, 1, &found), iteration);
    if (!Check("C_FindObjectsFinal", C_FindObjectsFinal(h), iteration) || !listed) return false;
    if (found != 1) return Check("C_FindObjects (no key)", CKR_KEY_HANDLE_INVALID, iteration);
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    std::vector<CK_BYTE> signature(512);
    CK_ULONG length = signature.size();
    if (!Check("C_SignInit", C_SignInit(h, &mechanism, key), iteration) ||
        !Check("C_Sign",
               C_Sign(h, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(sign.message)), std::strlen(sign.message),
                      signature.data(), &length),
               iteration))
        return false;
    signature.resize(length);
    if (sign.first.empty()) sign.first = signature;
    return signature == sign.first || Check("C_Sign (another signature)", CKR_GENERAL_ERROR, iteration);
}

bool OneRound(CK_UTF8CHAR_PTR pin, CK_ULONG pinLen, Signing* sign, int iteration) {
    CK_SESSION_HANDLE h = 0;
    if (!Check("C_OpenSession", C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), iteration)) return false;
    CK_TOKEN_INFO info;
    const bool ok = Check("C_Login", C_Login(h, CKU_USER, pin, pinLen), iteration) &&
                    Check("C_GetTokenInfo", C_GetTokenInfo(1, &info), iteration) &&
                    (!sign || SignOnce(h, *sign, iteration));
    return Check("C_CloseSession", C_CloseSession(h), iteration) && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::fprintf(stderr, "usage: %s SOCKET MIRROR_BASE ITERATIONS PIN [KEY_LABEL MESSAGE]\n", argv[0]);
        return 2;
    }
    HostSocketBridge::Instance().SetSocketPath(argv[1]);
    DiskMirror::SetBase(argv[2]);
    const int iterations = std::atoi(argv[3]);
    CK_UTF8CHAR_PTR pin = reinterpret_cast<CK_UTF8CHAR_PTR>(argv[4]);
    const CK_ULONG pinLen = std::strlen(argv[4]);
    Signing signing{argc == 7 ? argv[5] : nullptr, argc == 7 ? argv[6] : nullptr, {}};

    char gate;
    while (read(STDIN_FILENO, &gate, 1) > 0) {
    }

    if (!Check("C_Initialize", C_Initialize(nullptr), 0)) return 1;
    CK_SLOT_ID slot = 0;
    CK_ULONG count = 1;
    bool ok = Check("C_GetSlotList", C_GetSlotList(CK_TRUE, &slot, &count), 0);
    for (int i = 1; ok && i <= iterations; ++i) ok = OneRound(pin, pinLen, signing.label ? &signing : nullptr, i);
    C_Finalize(nullptr);
    if (!signing.first.empty()) {
        std::string line;
        char digits[3];
        for (CK_BYTE b : signing.first) {
            std::snprintf(digits, sizeof digits, "%02X", b);
            line += digits;
        }
        line += '\n';
        // One write: the lines of several processes sharing a pipe stay whole.
        if (write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ok = false;
    }
    return ok ? 0 : 1;
}
