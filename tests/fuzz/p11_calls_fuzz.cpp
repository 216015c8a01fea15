// The object, key and crypto calls driven by a hostile application: each
// input is a script of calls whose templates, mechanisms, parameters,
// handles and lengths come from the input, run against a fresh virtual token
// held in this process. Besides the sanitizers, every input must keep:
// - no result code outside PKCS#11's (no internal code reaches the caller);
// - a secret made sensitive is never read, matched by a search or found in
//   any file of the phone-side mirror;
// - a call that fails makes nothing: the token's object count is unchanged.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ccid_reader.h"
#include "disk_mirror.h"
#include "fuzz_input.h"
#include "host_socket_bridge.h"
#include "jni_otg.h"
#include "personalised_state.h"
#include "pkcs11.h"
#include "scratch_dir.h"

namespace {

using kvfuzz::Bytes;
using kvfuzz::Check;
using kvfuzz::FuzzInput;

// The USB side of a virtual token in this process.
class InProcessBridge : public UsbBridge {
public:
    explicit InProcessBridge(sim::VirtualToken& token) : token_(token), reader_(token) {}
    int32_t jgetidVendor() override { return token_.GetFaults().vendorId; }
    int32_t jgetidProduct() override { return token_.GetFaults().productId; }
    int64_t jSendData(const uint8_t* data, uint32_t len) override { return reader_.Send(Bytes(data, data + len)); }
    int64_t jRecvData(uint8_t* buffer, uint32_t len, const char*) override {
        Bytes m;
        if (!reader_.Receive(len, m) || m.size() > len) return -1;
        std::memcpy(buffer, m.data(), m.size());
        return static_cast<int64_t>(m.size());
    }

private:
    sim::VirtualToken& token_;
    sim::CcidReader reader_;
};

// Attribute types worth trying: the ones the module reads, a few array and
// vendor types, and whatever the input names.
const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_VALUE, CKA_KEY_TYPE, CKA_ID, CKA_SENSITIVE, CKA_ENCRYPT,
    CKA_DECRYPT, CKA_WRAP, CKA_UNWRAP, CKA_SIGN, CKA_VERIFY, CKA_DERIVE, CKA_MODULUS, CKA_MODULUS_BITS,
    CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_VALUE_LEN, CKA_EXTRACTABLE, CKA_EC_PARAMS, CKA_EC_POINT,
    CKA_TRUSTED, CKA_WRAP_WITH_TRUSTED, CKA_WRAP_TEMPLATE, CKA_UNWRAP_TEMPLATE, CKA_ALLOWED_MECHANISMS,
    CKA_MODIFIABLE, CKA_CERTIFICATE_TYPE, CKA_APPLICATION, 0x80000100UL, 0x80564D42UL, 0x40000001UL};
const CK_MECHANISM_TYPE kMechanisms[] = {
    CKM_AES_KEY_GEN, CKM_DES3_KEY_GEN, CKM_GENERIC_SECRET_KEY_GEN, CKM_EC_KEY_PAIR_GEN, CKM_RSA_PKCS_KEY_PAIR_GEN,
    CKM_AES_ECB, CKM_AES_CBC, CKM_AES_CBC_PAD, CKM_DES3_CBC_PAD, CKM_RSA_PKCS, CKM_RSA_X_509, CKM_SHA256_RSA_PKCS,
    CKM_ECDSA, CKM_SHA256_HMAC, CKM_SHA256, CKM_DH_PKCS_DERIVE, CKM_RC4, 0x80000001UL};
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

// Caller-side storage of one script step: templates and their values stay
// alive for the call.
struct Arena {
    std::vector<CK_ATTRIBUTE> attrs;
    std::vector<Bytes> values;
    std::vector<std::vector<CK_ATTRIBUTE>> inner;
};

// A template from the input: up to eight entries of a chosen or given
// type, with a value of a chosen shape.
void ReadTemplate(FuzzInput& in, Arena& a) {
    const int n = in.Byte() % 9;
    a.values.reserve(32);
    a.inner.reserve(8);
    for (int i = 0; i < n; ++i) {
        const uint8_t pick = in.Byte();
        const CK_ATTRIBUTE_TYPE type = pick < 200 ? kTypes[pick % std::size(kTypes)] : in.U32();
        CK_ATTRIBUTE entry{type, nullptr, 0};
        switch (in.Byte() % 8) {
            case 0: a.values.push_back({in.Bit()}); break;  // a flag
            case 1: {                                        // a CK_ULONG
                CK_ULONG v = in.Byte() < 16 ? in.U32() : in.Byte();
                a.values.emplace_back(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + sizeof v);
                break;
            }
            case 2: a.values.push_back(kP256); break;
            case 3:  // a nested template
                a.inner.push_back({{CKA_SENSITIVE, nullptr, 0}});
                a.values.push_back({1});
                a.inner.back()[0].pValue = a.values.back().data();
                a.inner.back()[0].ulValueLen = 1;
                entry.pValue = a.inner.back().data();
                entry.ulValueLen = sizeof(CK_ATTRIBUTE);
                a.attrs.push_back(entry);
                continue;
            case 4: entry.ulValueLen = in.U32(); a.attrs.push_back(entry); continue;  // a length with no value
            default: a.values.push_back(in.Frame()); break;
        }
        entry.pValue = a.values.back().empty() ? nullptr : a.values.back().data();
        entry.ulValueLen = a.values.back().size();
        a.attrs.push_back(entry);
    }
}

CK_MECHANISM ReadMechanism(FuzzInput& in, Bytes& parameter) {
    const uint8_t pick = in.Byte();
    const CK_MECHANISM_TYPE type = pick < 240 ? kMechanisms[pick % std::size(kMechanisms)] : in.U32();
    parameter = in.Bit() ? Bytes(16, in.Byte()) : in.Frame();
    return CK_MECHANISM{type, parameter.empty() ? nullptr : parameter.data(), parameter.size()};
}

bool PkcsCode(CK_RV rv) { return rv < 0x200 || rv == CKR_FUNCTION_NOT_SUPPORTED; }

// The known secret values of sensitive keys made by the script.
struct Secrets {
    std::vector<Bytes> values;
    std::vector<CK_OBJECT_HANDLE> keys;
};

CK_ULONG CountObjects(CK_SESSION_HANDLE h, CK_ATTRIBUTE* tmpl = nullptr, CK_ULONG n = 0) {
    if (C_FindObjectsInit(h, tmpl, n) != CKR_OK) return 0;
    CK_OBJECT_HANDLE found[64];
    CK_ULONG total = 0, got = 0;
    while (C_FindObjects(h, found, 64, &got) == CKR_OK && got) total += got;
    C_FindObjectsFinal(h);
    return total;
}

void CheckSecrets(CK_SESSION_HANDLE h, const Secrets& s) {
    for (size_t i = 0; i < s.keys.size(); ++i) {
        Bytes buffer(64);
        CK_ATTRIBUTE value{CKA_VALUE, buffer.data(), buffer.size()};
        const CK_RV rv = C_GetAttributeValue(h, s.keys[i], &value, 1);
        Check(rv != CKR_OK, "a sensitive value was read");
        CK_ATTRIBUTE match{CKA_VALUE, const_cast<uint8_t*>(s.values[i].data()), s.values[i].size()};
        Check(CountObjects(h, &match, 1) == 0, "a search matched a sensitive value");
    }
}

void CheckMirror(const std::string& dir, const Secrets& s) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            CheckMirror(path, s);
            continue;
        }
        std::ifstream f(path, std::ios::binary);
        const Bytes content{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        for (const Bytes& v : s.values)
            Check(std::search(content.begin(), content.end(), v.begin(), v.end()) == content.end(),
                  "a sensitive value is in the phone mirror");
    }
    closedir(d);
}

// One step of the script; handles made go to `made`.
void Step(FuzzInput& in, CK_SESSION_HANDLE h, std::vector<CK_OBJECT_HANDLE>& made, Secrets& secrets) {
    Arena a;
    Bytes parameter, data = in.Frame();
    auto handle = [&]() -> CK_OBJECT_HANDLE {
        const uint8_t pick = in.Byte();
        if (pick >= 250 || made.empty()) return in.U32();
        return made[pick % made.size()];
    };
    CK_OBJECT_HANDLE out1 = 0, out2 = 0;
    CK_RV rv = CKR_OK;
    Bytes output(std::min<size_t>(in.U16(), 4096));
    CK_ULONG outLen = in.Bit() ? output.size() : in.U32();
    CK_BYTE_PTR outPtr = output.empty() ? nullptr : output.data();
    if (outLen > output.size()) outPtr = nullptr;  // a length query: the module must not write
    const CK_ULONG before = CountObjects(h);
    bool makes = false;
    switch (in.Byte() % 14) {
        case 0:
            ReadTemplate(in, a);
            makes = true;
            rv = C_CreateObject(h, a.attrs.data(), a.attrs.size(), &out1);
            break;
        case 1: {
            ReadTemplate(in, a);
            CK_MECHANISM m = ReadMechanism(in, parameter);
            makes = true;
            rv = C_GenerateKey(h, &m, a.attrs.data(), a.attrs.size(), &out1);
            break;
        }
        case 2: {
            Arena b;
            ReadTemplate(in, a);
            ReadTemplate(in, b);
            CK_MECHANISM m{in.Bit() ? CKM_EC_KEY_PAIR_GEN : CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
            makes = true;
            rv = C_GenerateKeyPair(h, &m, a.attrs.data(), a.attrs.size(), b.attrs.data(), b.attrs.size(), &out1, &out2);
            break;
        }
        case 3: case 4: {
            CK_MECHANISM m = ReadMechanism(in, parameter);
            const bool encrypt = in.Bit();
            rv = (encrypt ? C_EncryptInit : C_DecryptInit)(h, &m, handle());
            if (rv == CKR_OK) {
                const uint8_t how = in.Byte() % 3;
                if (how == 0) rv = (encrypt ? C_Encrypt : C_Decrypt)(h, data.data(), data.size(), outPtr, &outLen);
                if (how == 1) rv = (encrypt ? C_EncryptUpdate : C_DecryptUpdate)(h, data.data(), data.size(), outPtr, &outLen);
                if (how == 2) rv = (encrypt ? C_EncryptFinal : C_DecryptFinal)(h, outPtr, &outLen);
            }
            break;
        }
        case 5: {
            CK_MECHANISM m = ReadMechanism(in, parameter);
            rv = C_SignInit(h, &m, handle());
            if (rv == CKR_OK) rv = C_Sign(h, data.data(), data.size(), outPtr, &outLen);
            break;
        }
        case 6: {
            CK_MECHANISM m = ReadMechanism(in, parameter);
            rv = C_WrapKey(h, &m, handle(), handle(), outPtr, &outLen);
            break;
        }
        case 7: {
            CK_MECHANISM m = ReadMechanism(in, parameter);
            ReadTemplate(in, a);
            makes = true;
            rv = C_UnwrapKey(h, &m, handle(), data.data(), data.size(), a.attrs.data(), a.attrs.size(), &out1);
            break;
        }
        case 8: {
            CK_MECHANISM m = ReadMechanism(in, parameter);
            ReadTemplate(in, a);
            makes = true;
            rv = C_DeriveKey(h, &m, handle(), a.attrs.data(), a.attrs.size(), &out1);
            break;
        }
        case 9: {
            ReadTemplate(in, a);
            for (CK_ATTRIBUTE& e : a.attrs) {  // buffers of the lengths given, or none
                if (e.pValue && in.Bit()) e.pValue = nullptr;
                // A template attribute is read into the caller's CK_ATTRIBUTE
                // array, whose pointers the caller vouches for: entries with
                // no buffers, as a careful caller's first look.
                if (e.pValue && (e.type & CKF_ARRAY_ATTRIBUTE)) {
                    a.inner.emplace_back(std::min<size_t>(e.ulValueLen / sizeof(CK_ATTRIBUTE), 8), CK_ATTRIBUTE{});
                    e.pValue = a.inner.back().empty() ? nullptr : a.inner.back().data();
                    e.ulValueLen = a.inner.back().size() * sizeof(CK_ATTRIBUTE);
                }
            }
            rv = C_GetAttributeValue(h, handle(), a.attrs.data(), a.attrs.size());
            break;
        }
        case 10: {
            ReadTemplate(in, a);
            rv = C_FindObjectsInit(h, a.attrs.data(), a.attrs.size());
            CK_OBJECT_HANDLE found[8];
            CK_ULONG n = 0;
            if (rv == CKR_OK) rv = C_FindObjects(h, found, 8, &n);
            C_FindObjectsFinal(h);
            break;
        }
        case 11:
            ReadTemplate(in, a);
            rv = C_SetAttributeValue(h, handle(), a.attrs.data(), a.attrs.size());
            break;
        case 12:
            rv = C_DestroyObject(h, handle());
            break;
        default: {  // a sensitive token key of known value, for the secret checks
            // Values the input cannot shape into bytes the token keeps anyway.
            static const uint8_t kValues[2][16] = {
                {0x9E, 0x37, 0x79, 0xB9, 0x7F, 0x4A, 0x7C, 0x15, 0xF3, 0x9C, 0xC0, 0x60, 0x5C, 0xED, 0xC8, 0x34},
                {0x6A, 0x09, 0xE6, 0x67, 0xF3, 0xBC, 0xC9, 0x08, 0xB2, 0xFB, 0x13, 0x66, 0xEA, 0x95, 0x7D, 0x3E}};
            Bytes value(kValues[secrets.values.size() % 2], kValues[secrets.values.size() % 2] + 16);
            CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
            CK_KEY_TYPE type = CKK_AES;
            CK_BBOOL yes = CK_TRUE;
            CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type},
                                {CKA_TOKEN, &yes, 1}, {CKA_SENSITIVE, &yes, 1}, {CKA_VALUE, value.data(), 16}};
            rv = C_CreateObject(h, t, 5, &out1);
            if (rv == CKR_OK) {
                secrets.values.push_back(value);
                secrets.keys.push_back(out1);
            }
        }
    }
    Check(PkcsCode(rv), "a result code outside PKCS#11");
    if (rv == CKR_OK) {
        if (out1) made.push_back(out1);
        if (out2) made.push_back(out2);
    } else if (makes) {
        Check(CountObjects(h) == before, "a failed call left an object behind");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::EmptyScratchDir();
    const std::string mirror = kvfuzz::ScratchDir() + "/mirror";
    HostSocketBridge::Instance().SetSocketPath(kvfuzz::ScratchDir() + "/none.sock");  // nothing is served there
    DiskMirror::SetBase(mirror);
    sim::VirtualToken token(kvfuzz::PersonalisedState(true), "");
    InProcessBridge bridge(token);
    JniOtg::UseHostBridge(&bridge);

    FuzzInput in(data, size);
    if (C_Initialize(nullptr) == CKR_OK) {
        CK_SLOT_ID slot = 0;
        CK_ULONG n = 1;
        CK_SESSION_HANDLE h = 0;
        if (C_GetSlotList(CK_TRUE, &slot, &n) == CKR_OK &&
            C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) == CKR_OK) {
            if (!in.Bit()) C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("12345678")), 8);
            std::vector<CK_OBJECT_HANDLE> made;
            Secrets secrets;
            for (int step = 0; step < 10 && !in.Empty(); ++step) Step(in, h, made, secrets);
            CheckSecrets(h, secrets);
            if (!secrets.values.empty()) CheckMirror(mirror, secrets);
        }
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
    }
    JniOtg::UseHostBridge(nullptr);
    return 0;
}
