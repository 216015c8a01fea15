#include "token_contents.h"

#include <cstdio>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "pkcs11.h"

namespace stress {
namespace {

using testing_kv::Bytes;

std::string Failed(const char* call, CK_RV rv) {
    char text[80];
    std::snprintf(text, sizeof text, "%s returned 0x%lX", call, static_cast<unsigned long>(rv));
    return text;
}

Bytes Attr(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    Bytes value(2048);
    CK_ATTRIBUTE a{type, value.data(), value.size()};
    value.resize(C_GetAttributeValue(h, o, &a, 1) == CKR_OK ? a.ulValueLen : 0);
    return value;
}

CK_ULONG ULong(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ULONG v = ~CK_ULONG(0);
    CK_ATTRIBUTE a{type, &v, sizeof v};
    return C_GetAttributeValue(h, o, &a, 1) == CKR_OK ? v : ~CK_ULONG(0);
}

// The private key signs; OpenSSL verifies under the public key's values.
bool PairSigns(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE prv, CK_OBJECT_HANDLE pub) {
    const bool ec = ULong(h, pub, CKA_KEY_TYPE) == CKK_EC;
    const std::string text = "checked after the stress run";
    const Bytes message(text.begin(), text.end()), digest = testing_kv::Digest(EVP_sha256(), message);
    const Bytes& input = ec ? digest : message;
    CK_MECHANISM m{ec ? CKM_ECDSA : CKM_SHA256_RSA_PKCS, nullptr, 0};
    Bytes signature(512);
    CK_ULONG len = signature.size();
    if (C_SignInit(h, &m, prv) != CKR_OK ||
        C_Sign(h, const_cast<uint8_t*>(input.data()), input.size(), signature.data(), &len) != CKR_OK)
        return false;
    signature.resize(len);
    if (!ec) {
        auto key = testing_kv::RsaKey(Attr(h, pub, CKA_MODULUS), Attr(h, pub, CKA_PUBLIC_EXPONENT));
        return key && testing_kv::VerifyRsa(key.get(), EVP_sha256(), message, signature);
    }
    Bytes point = Attr(h, pub, CKA_EC_POINT);
    if (point.size() == 67 && point[0] == 0x04 && point[1] == 0x41) point.erase(point.begin(), point.begin() + 2);
    if (point.size() != 65) return false;
    auto key = testing_kv::EcKey("prime256v1", Bytes(point.begin() + 1, point.begin() + 33), Bytes(point.begin() + 33, point.end()));
    return key && testing_kv::VerifyEcdsa(key.get(), digest, signature);
}

}  // namespace

int TokenContents::Count(const std::string& label) const {
    auto n = [&label](const std::map<std::string, int>& m) { return m.count(label) ? m.at(label) : 0; };
    return static_cast<int>(data.count(label) ? data.at(label).size() : 0) + n(privateKeys) + n(publicKeys);
}

TokenContents ReadTokenContents(const std::string& socket, const std::string& mirror, const std::string& pin) {
    TokenContents token;
    HostSocketBridge::Instance().SetSocketPath(socket);
    DiskMirror::SetBase(mirror);
    CK_RV rv = C_Initialize(nullptr);
    if (rv != CKR_OK) return token.error = Failed("C_Initialize", rv), token;
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    CK_SESSION_HANDLE h = 0;
    std::vector<CK_OBJECT_HANDLE> all;
    if ((rv = C_GetSlotList(CK_TRUE, &slot, &n)) != CKR_OK) {
        token.error = Failed("C_GetSlotList", rv);
    } else if ((rv = C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h)) != CKR_OK) {
        token.error = Failed("C_OpenSession", rv);
    } else if ((rv = C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.c_str())),
                             pin.size())) != CKR_OK) {
        token.error = Failed("C_Login", rv);
    } else if ((rv = C_FindObjectsInit(h, nullptr, 0)) != CKR_OK) {
        token.error = Failed("C_FindObjectsInit", rv);
    } else {
        CK_OBJECT_HANDLE batch[64];
        while ((rv = C_FindObjects(h, batch, 64, &n)) == CKR_OK && n > 0) all.insert(all.end(), batch, batch + n);
        if (rv != CKR_OK) token.error = Failed("C_FindObjects", rv);
        C_FindObjectsFinal(h);
    }
    token.objects = all.size();
    std::map<std::string, std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE>> halves;
    for (CK_OBJECT_HANDLE o : all) {
        const Bytes raw = Attr(h, o, CKA_LABEL);
        const std::string label(raw.begin(), raw.end());
        switch (ULong(h, o, CKA_CLASS)) {
            case CKO_DATA: token.data[label].push_back(Attr(h, o, CKA_VALUE)); break;
            case CKO_PRIVATE_KEY: ++token.privateKeys[label], halves[label].first = o; break;
            case CKO_PUBLIC_KEY: ++token.publicKeys[label], halves[label].second = o; break;
            default: token.error = "object " + std::to_string(o) + " of no class or another class"; break;
        }
    }
    for (const auto& [label, pair] : halves) {
        if (token.privateKeys.count(label) && token.publicKeys.count(label) && token.privateKeys.at(label) == 1 &&
            token.publicKeys.at(label) == 1)
            token.signs[label] = PairSigns(h, pair.first, pair.second);
    }
    C_CloseAllSessions(1);
    C_Finalize(nullptr);
    return token;
}

std::vector<std::string> Differences(const TokenContents& a, const TokenContents& b) {
    std::map<std::string, bool> labels;
    for (const TokenContents* t : {&a, &b}) {
        for (const auto& d : t->data) labels[d.first];
        for (const auto& k : t->privateKeys) labels[k.first];
        for (const auto& k : t->publicKeys) labels[k.first];
    }
    std::vector<std::string> differ;
    for (const auto& l : labels) {
        const std::string& label = l.first;
        auto values = [&label](const TokenContents& t) { return t.data.count(label) ? t.data.at(label) : std::vector<Bytes>(); };
        if (a.Count(label) != b.Count(label) || values(a) != values(b)) differ.push_back(label);
    }
    return differ;
}

}  // namespace stress
