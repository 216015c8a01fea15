// Another application's changes to the token's objects, for the tests of
// what a process sees of them: one PKCS#11 application that logs in and
// runs its steps in order, each on the objects labelled LABEL.
//
//   object_change_worker SOCKET MIRROR_BASE PIN STEP...
//     destroy LABEL        destroys every object so labelled (at least one)
//     keypair LABEL        makes an RSA-1024 token key pair, both halves so labelled
//     data LABEL           makes a token data object so labelled, CKA_VALUE LABEL
//     sign LABEL MESSAGE   signs MESSAGE (CKM_SHA256_RSA_PKCS) with the private key
//                          so labelled; the signature goes to standard output in hex
//     edit LABEL NEW       sets CKA_LABEL of every object so labelled to NEW, and
//                          CKA_VALUE of a data object, CKA_ID of any other
//
// Exit 0 when every call succeeded; otherwise the failing call is named on
// standard error and the exit code is 1.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "pkcs11.h"

namespace {

bool Check(const char* call, CK_RV rv) {
    if (rv == CKR_OK) return true;
    std::fprintf(stderr, "object_change_worker: %s returned 0x%lX\n", call, static_cast<unsigned long>(rv));
    return false;
}

CK_ATTRIBUTE Text(CK_ATTRIBUTE_TYPE type, const char* text) {
    return {type, const_cast<char*>(text), std::strlen(text)};
}

std::vector<CK_OBJECT_HANDLE> Labelled(CK_SESSION_HANDLE h, const char* label, const CK_OBJECT_CLASS* cls) {
    CK_ATTRIBUTE find[] = {Text(CKA_LABEL, label), {CKA_CLASS, const_cast<CK_OBJECT_CLASS*>(cls), sizeof *cls}};
    std::vector<CK_OBJECT_HANDLE> found(16);
    CK_ULONG n = 0;
    if (!Check("C_FindObjectsInit", C_FindObjectsInit(h, find, cls ? 2 : 1))) return {};
    const bool listed = Check("C_FindObjects", C_FindObjects(h, found.data(), found.size(), &n));
    if (!Check("C_FindObjectsFinal", C_FindObjectsFinal(h)) || !listed) return {};
    found.resize(n);
    return found;
}

bool Destroy(CK_SESSION_HANDLE h, const char* label) {
    const auto found = Labelled(h, label, nullptr);
    bool ok = !found.empty() || Check("destroy (nothing so labelled)", CKR_OBJECT_HANDLE_INVALID);
    for (CK_OBJECT_HANDLE object : found) ok = Check("C_DestroyObject", C_DestroyObject(h, object)) && ok;
    return ok;
}

bool KeyPair(CK_SESSION_HANDLE h, const char* label) {
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE rsa = CKK_RSA;
    CK_ULONG bits = 1024;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                     {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                     {CKA_TOKEN, &yes, 1},
                                     {CKA_MODULUS_BITS, &bits, sizeof bits},
                                     Text(CKA_LABEL, label)};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                      {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                      {CKA_TOKEN, &yes, 1},
                                      {CKA_SIGN, &yes, 1},
                                      {CKA_DECRYPT, &yes, 1},
                                      Text(CKA_LABEL, label)};
    CK_MECHANISM generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    return Check("C_GenerateKeyPair", C_GenerateKeyPair(h, &generate, publicTemplate, 5, privateTemplate, 6,
                                                        &publicKey, &privateKey));
}

bool Data(CK_SESSION_HANDLE h, const char* label) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &yes, 1}, Text(CKA_LABEL, label),
                        Text(CKA_VALUE, label)};
    CK_OBJECT_HANDLE object = 0;
    return Check("C_CreateObject", C_CreateObject(h, t, 4, &object));
}

bool Sign(CK_SESSION_HANDLE h, const char* label, const char* message) {
    const CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    const auto found = Labelled(h, label, &cls);
    if (found.size() != 1) return Check("sign (not one private key so labelled)", CKR_KEY_HANDLE_INVALID);
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    std::vector<CK_BYTE> signature(512);
    CK_ULONG length = signature.size();
    if (!Check("C_SignInit", C_SignInit(h, &mechanism, found[0])) ||
        !Check("C_Sign", C_Sign(h, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(message)), std::strlen(message),
                                signature.data(), &length)))
        return false;
    for (CK_ULONG i = 0; i < length; ++i) std::printf("%02X", signature[i]);
    std::printf("\n");
    return true;
}

bool Edit(CK_SESSION_HANDLE h, const char* label, const char* renamed) {
    const auto found = Labelled(h, label, nullptr);
    bool ok = !found.empty() || Check("edit (nothing so labelled)", CKR_OBJECT_HANDLE_INVALID);
    for (CK_OBJECT_HANDLE object : found) {
        CK_OBJECT_CLASS cls = 0;
        CK_ATTRIBUTE read{CKA_CLASS, &cls, sizeof cls};
        if (!Check("C_GetAttributeValue", C_GetAttributeValue(h, object, &read, 1))) return false;
        CK_ATTRIBUTE changes[] = {Text(CKA_LABEL, renamed), Text(cls == CKO_DATA ? CKA_VALUE : CKA_ID, renamed)};
        ok = Check("C_SetAttributeValue", C_SetAttributeValue(h, object, changes, 2)) && ok;
    }
    return ok;
}

// The steps from argv[first]; false at the first that fails or is malformed.
bool Run(CK_SESSION_HANDLE h, int argc, char** argv, int first) {
    for (int i = first; i < argc;) {
        const std::string step = argv[i];
        const int operands = step == "sign" || step == "edit" ? 2 : 1;
        if (i + operands >= argc) return Check(("step " + step + " (operands missing)").c_str(), CKR_ARGUMENTS_BAD);
        bool ok = false;
        if (step == "destroy") ok = Destroy(h, argv[i + 1]);
        else if (step == "keypair") ok = KeyPair(h, argv[i + 1]);
        else if (step == "data") ok = Data(h, argv[i + 1]);
        else if (step == "sign") ok = Sign(h, argv[i + 1], argv[i + 2]);
        else if (step == "edit") ok = Edit(h, argv[i + 1], argv[i + 2]);
        else ok = Check(("step " + step + " (unknown)").c_str(), CKR_ARGUMENTS_BAD);
        if (!ok) return false;
        i += 1 + operands;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SOCKET MIRROR_BASE PIN STEP...\n", argv[0]);
        return 2;
    }
    HostSocketBridge::Instance().SetSocketPath(argv[1]);
    DiskMirror::SetBase(argv[2]);
    const std::string pin = argv[3];
    if (!Check("C_Initialize", C_Initialize(nullptr))) return 1;
    CK_SLOT_ID slot = 0;
    CK_ULONG count = 1;
    CK_SESSION_HANDLE h = 0;
    const bool ok =
        Check("C_GetSlotList", C_GetSlotList(CK_TRUE, &slot, &count)) &&
        Check("C_OpenSession", C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h)) &&
        Check("C_Login", C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.c_str())),
                                 pin.size())) &&
        Run(h, argc, argv, 4);
    C_Finalize(nullptr);
    std::fflush(stdout);
    return ok ? 0 : 1;
}
