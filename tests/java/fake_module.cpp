// Stand-in PKCS#11 modules for the wrapper natives:
// - default: C_GetFunctionList fails;
// - KV_FAKE_NO_LIST: C_GetFunctionList succeeds without giving a list;
// - KV_FAKE_ANSWERS: a module with one object whose attributes include
//   templates, answered the way PKCS#11 describes array attributes, and a
//   key and MAC derivation that fills the IVs of CK_SSL3_KEY_MAT_OUT with
//   exactly ulIVSizeInBits / 8 bytes each.
#include <cstring>

#include "pkcs11.h"

#ifdef KV_FAKE_ANSWERS
namespace {

// The object's attribute values (the Java test knows them by heart).
const CK_OBJECT_CLASS kSecretKey = CKO_SECRET_KEY;
const CK_BBOOL kTrue = CK_TRUE;
const CK_ULONG kValueLen = 16;
const CK_BYTE kInnerLabel[] = {'i', 'n', 'n', 'e', 'r'};
const CK_BYTE kLabel[] = {'f', 'a', 'k', 'e'};
const CK_MECHANISM_TYPE kAllowed[] = {CKM_AES_ECB, CKM_AES_CBC};

const CK_ATTRIBUTE kWrapTemplate[] = {
    {CKA_CLASS, const_cast<CK_OBJECT_CLASS*>(&kSecretKey), sizeof kSecretKey},
    {CKA_ENCRYPT, const_cast<CK_BBOOL*>(&kTrue), sizeof kTrue},
    {CKA_LABEL, const_cast<CK_BYTE*>(kInnerLabel), sizeof kInnerLabel},
};
const CK_ATTRIBUTE kDeriveTemplate[] = {
    {CKA_VALUE_LEN, const_cast<CK_ULONG*>(&kValueLen), sizeof kValueLen},
};
constexpr CK_ATTRIBUTE_TYPE kDeriveTemplateType = CKF_ARRAY_ATTRIBUTE | 0x213;
constexpr CK_MECHANISM_TYPE kTlsKeyAndMacDerive = 0x376;

struct Stored {
    CK_ATTRIBUTE_TYPE type;
    const void* value;
    CK_ULONG length;     // bytes of a plain value
    CK_ULONG entries;    // for a template: its number of attributes
};

const Stored kObject[] = {
    {CKA_LABEL, kLabel, sizeof kLabel, 0},
    {CKA_WRAP_TEMPLATE, kWrapTemplate, 0, sizeof kWrapTemplate / sizeof kWrapTemplate[0]},
    {kDeriveTemplateType, kDeriveTemplate, 0, sizeof kDeriveTemplate / sizeof kDeriveTemplate[0]},
    {CKA_ALLOWED_MECHANISMS, kAllowed, sizeof kAllowed, 0},
};

const Stored* Find(CK_ATTRIBUTE_TYPE type) {
    for (const Stored& s : kObject)
        if (s.type == type) return &s;
    return nullptr;
}

// One plain value into the caller's attribute: a length query, a copy, or
// CKR_BUFFER_TOO_SMALL.
// Whether the caller's buffer takes length bytes; if not, rv says why (a
// length query is answered then).
bool Takes(CK_ATTRIBUTE& a, CK_ULONG length, CK_RV& rv) {
    rv = CKR_OK;
    if (!a.pValue) {
        a.ulValueLen = length;
        return false;
    }
    if (a.ulValueLen < length) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_BUFFER_TOO_SMALL;
        return false;
    }
    return true;
}

CK_RV Answer(CK_ATTRIBUTE& a, const void* value, CK_ULONG length) {
    CK_RV rv;
    if (!Takes(a, length, rv)) return rv;
    std::memcpy(a.pValue, value, length);
    a.ulValueLen = length;
    return CKR_OK;
}

// A template: with no buffer its length in CK_ATTRIBUTEs; with an array of
// them, each entry's type and length (entries without a buffer) or value.
CK_RV AnswerTemplate(CK_ATTRIBUTE& a, const CK_ATTRIBUTE* entries, CK_ULONG count) {
    const CK_ULONG length = count * sizeof(CK_ATTRIBUTE);
    CK_RV rv;
    if (!Takes(a, length, rv)) return rv;
    auto* out = static_cast<CK_ATTRIBUTE*>(a.pValue);
    for (CK_ULONG j = 0; j < count; ++j) {
        out[j].type = entries[j].type;
        CK_RV one = Answer(out[j], entries[j].pValue, entries[j].ulValueLen);
        if (one != CKR_OK) rv = one;
    }
    a.ulValueLen = length;
    return rv;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    if (!tmpl && count) return CKR_ARGUMENTS_BAD;
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        const Stored* s = Find(tmpl[i].type);
        CK_RV one;
        if (!s) {
            tmpl[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            one = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (s->entries) {
            one = AnswerTemplate(tmpl[i], static_cast<const CK_ATTRIBUTE*>(s->value), s->entries);
        } else {
            one = Answer(tmpl[i], s->value, s->length);
        }
        if (one != CKR_OK) rv = one;
    }
    return rv;
}

// The standard layout of the key and MAC derivation parameters.
struct KeyMatOut {
    CK_OBJECT_HANDLE hClientMacSecret, hServerMacSecret, hClientKey, hServerKey;
    CK_BYTE_PTR pIVClient, pIVServer;
};
struct RandomData {
    CK_BYTE_PTR pClientRandom;
    CK_ULONG ulClientRandomLen;
    CK_BYTE_PTR pServerRandom;
    CK_ULONG ulServerRandomLen;
};
struct KeyMatParams {
    CK_ULONG ulMacSizeInBits, ulKeySizeInBits, ulIVSizeInBits;
    CK_BBOOL bIsExport;
    RandomData RandomInfo;
    KeyMatOut* pReturnedKeyMaterial;
};

// Key and MAC derivation: four handles and two IVs of ulIVSizeInBits / 8
// bytes (client bytes 0xC1, server bytes 0x5E), as a module would.
CK_RV DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                CK_OBJECT_HANDLE_PTR) {
    if (!mechanism) return CKR_ARGUMENTS_BAD;
    if (mechanism->mechanism != CKM_SSL3_KEY_AND_MAC_DERIVE && mechanism->mechanism != kTlsKeyAndMacDerive)
        return CKR_MECHANISM_INVALID;
    if (!mechanism->pParameter || mechanism->ulParameterLen != sizeof(KeyMatParams)) return CKR_MECHANISM_PARAM_INVALID;
    const auto* params = static_cast<const KeyMatParams*>(mechanism->pParameter);
    KeyMatOut* out = params->pReturnedKeyMaterial;
    const CK_ULONG ivBytes = params->ulIVSizeInBits / 8;
    if (!out || (ivBytes && (!out->pIVClient || !out->pIVServer))) return CKR_MECHANISM_PARAM_INVALID;
    out->hClientMacSecret = 11;
    out->hServerMacSecret = 12;
    out->hClientKey = 13;
    out->hServerKey = 14;
    if (ivBytes) {
        std::memset(out->pIVClient, 0xC1, ivBytes);
        std::memset(out->pIVServer, 0x5E, ivBytes);
    }
    return CKR_OK;
}

CK_FUNCTION_LIST MakeList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 20};
    list.C_GetAttributeValue = &GetAttributeValue;
    list.C_DeriveKey = &DeriveKey;
    return list;
}

CK_FUNCTION_LIST g_list = MakeList();

}  // namespace
#endif

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
#if defined(KV_FAKE_ANSWERS)
    *ppFunctionList = &g_list;
    return CKR_OK;
#elif defined(KV_FAKE_NO_LIST)
    *ppFunctionList = nullptr;
    return CKR_OK;
#else
    (void)ppFunctionList;
    return CKR_GENERAL_ERROR;
#endif
}
