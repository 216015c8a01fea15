// The Java wrapper's conversions in a JNI environment without a VM
// (fake_jni.h): Java values a hostile program can build, converted to
// PKCS#11 values, handed to a module that writes what PKCS#11 lets it
// write, and converted back.
//
// Input: a script of one-byte opcodes with their operands. An opcode below
// 0x40 makes a Java value (opcode % 27, table kMakers) from the input and
// from values made earlier (an operand byte picks one, modulo their count;
// a value of the wrong class for a typed field stays null); arrays of
// attributes can be changed afterwards, so templates may hold themselves.
// An opcode from 0x40 runs (opcode % 3):
//   0 a template (or one attribute) to native, walked, and back to Java;
//   1 a mechanism to native, the module's writes into its out-fields, the
//     copy-backs;
//   2 C_GetAttributeValue through the native, against a module whose
//     answers (lengths, entry types, statuses) come from the next frame.
// Every input must keep, besides the sanitizers and the fake's own checks:
// - a conversion either succeeds or leaves a Java exception pending;
// - an array attribute but CKA_ALLOWED_MECHANISMS reaches the module as
//   null or as a CK_ATTRIBUTE array made from a Java CK_ATTRIBUTE[], never
//   as other bytes, and never nested deeper than kMaxTemplateDepth;
// - key and MAC derivation IVs come back as long as ulIVSizeInBits says;
// - a template read back is null or a CK_ATTRIBUTE[] in Java.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ck_params.h"
#include "convert_attribute.h"
#include "convert_mechanism.h"
#include "fake_jni.h"
#include "fuzz_input.h"
#include "module_registry.h"

extern "C" {
void Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_initializeLibrary(JNIEnv*, jclass);
void Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1GetAttributeValue(JNIEnv*, jobject, jlong, jlong,
                                                                             jobjectArray);
}

namespace {

using fakejni::Heap;
using fakejni::Kind;
using fakejni::Object;
using kvfuzz::Check;
using kvfuzz::FuzzInput;

const std::string kW = "iaik/pkcs/pkcs11/wrapper/";

JNIEnv* env() { return fakejni::Env(); }

// What PKCS#11 reads as an array of CK_ATTRIBUTE (the harness's own view,
// not the wrapper's).
bool HoldsAttributes(CK_ATTRIBUTE_TYPE type) {
    return (type & CKF_ARRAY_ATTRIBUTE) && type != CKA_ALLOWED_MECHANISMS;
}

// --- Java values ------------------------------------------------------------

struct Maker {
    std::vector<Object*> pool;
    FuzzInput& in;

    Object* Pick() { return pool.empty() ? nullptr : pool[in.Byte() % pool.size()]; }
    // A value picked for a field or element declared with `sig`; null when
    // it would not fit there in Java.
    Object* PickFor(const std::string& sig) {
        Object* o = Pick();
        return fakejni::Fits(o, sig) ? o : nullptr;
    }
    Object* Instance(const std::string& cls) {
        Heap& h = Heap::Get();
        return h.New(Kind::Instance, h.Class(kW + cls));
    }
    void Set(Object* o, const char* field, jvalue v) {
        for (size_t i = 0; i < o->cls->fields.size(); ++i)
            if (o->cls->fields[i].first == field) o->fields[i] = v;
    }
    void SetObject(Object* o, const char* field) {
        for (size_t i = 0; i < o->cls->fields.size(); ++i)
            if (o->cls->fields[i].first == field) o->fields[i].l = fakejni::J(PickFor(o->cls->fields[i].second));
    }
    void SetLong(Object* o, const char* field, jlong v) {
        jvalue j{};
        j.j = v;
        Set(o, field, j);
    }
    jlong Long() { return static_cast<jlong>(static_cast<uint64_t>(in.U32()) << 32 | in.U32()); }
    Object* Primitive(char elem, size_t maxLength) {
        const auto n = static_cast<jsize>(in.Byte() % (maxLength + 1));
        Object* a = fakejni::NewPrimArray(elem, n);
        kvfuzz::Bytes bytes = in.Take(a->data.size());
        std::copy(bytes.begin(), bytes.end(), a->data.begin());
        return a;
    }
    Object* Box(const char* cls, jvalue v) {
        Heap& h = Heap::Get();
        Object* o = h.New(Kind::Instance, h.Class(cls));
        o->fields[0] = v;
        return o;
    }
    Object* AttributeArray(size_t n) {
        Heap& h = Heap::Get();
        Object* a = h.New(Kind::ObjArray, h.Class("[L" + kW + "CK_ATTRIBUTE;"));
        a->length = n;
        for (size_t i = 0; i < n; ++i) a->elements.push_back(PickFor("L" + kW + "CK_ATTRIBUTE;"));
        return a;
    }
    CK_ATTRIBUTE_TYPE AttributeType() {
        static const CK_ATTRIBUTE_TYPE kTypes[] = {
            CKA_CLASS,         CKA_TOKEN,           CKA_LABEL,                   CKA_VALUE,
            CKA_START_DATE,    CKA_VALUE_LEN,       CKA_WRAP_TEMPLATE,           CKA_UNWRAP_TEMPLATE,
            CKF_ARRAY_ATTRIBUTE | 0x213, CKF_ARRAY_ATTRIBUTE | 1, CKA_ALLOWED_MECHANISMS, CKA_MODULUS_BITS};
        const uint8_t pick = in.Byte();
        if (pick < sizeof kTypes / sizeof kTypes[0]) return kTypes[pick];
        return static_cast<CK_ATTRIBUTE_TYPE>(in.U32()) | (pick & 0x80 ? CKF_ARRAY_ATTRIBUTE : 0);
    }
    CK_MECHANISM_TYPE MechanismType() {
        static const CK_MECHANISM_TYPE kTypes[] = {
            CKM_SSL3_KEY_AND_MAC_DERIVE, ckp::CKM_TLS_KEY_AND_MAC_DERIVE, CKM_SSL3_MASTER_KEY_DERIVE,
            ckp::CKM_TLS_MASTER_KEY_DERIVE, 0x3A3, CKM_KEY_WRAP_SET_OAEP, 0x1105, CKM_RSA_PKCS_OAEP, 0x1082};
        return kTypes[in.Byte() % (sizeof kTypes / sizeof kTypes[0])];
    }

    void Make(uint8_t op) {
        jvalue v{};
        Object* made = nullptr;
        switch (op % 27) {
            case 0: break;  // null
            case 1: made = Primitive('B', 80); break;
            case 2: made = Primitive('C', 40); break;
            case 3: made = Primitive('J', 8); break;
            case 4: made = Primitive('I', 8); break;
            case 5: made = Primitive('Z', 8); break;
            case 6: v.j = Long(); made = Box("java/lang/Long", v); break;
            case 7: v.z = in.Byte(); made = Box("java/lang/Boolean", v); break;
            case 8: v.i = static_cast<jint>(in.U32()); made = Box("java/lang/Integer", v); break;
            case 9: v.b = static_cast<jbyte>(in.Byte()); made = Box("java/lang/Byte", v); break;
            case 10: v.c = in.U16(); made = Box("java/lang/Character", v); break;
            case 11: v.s = static_cast<jshort>(in.U16()); made = Box("java/lang/Short", v); break;
            case 12: {
                kvfuzz::Bytes text = in.Frame();
                text.erase(std::remove(text.begin(), text.end(), 0), text.end());
                made = fakejni::NewString(std::string(text.begin(), text.end()));
                break;
            }
            case 13:
                made = Instance("CK_DATE");
                SetObject(made, "year");
                SetObject(made, "month");
                SetObject(made, "day");
                break;
            case 14:
                made = Instance("CK_ATTRIBUTE");
                SetLong(made, "type", static_cast<jlong>(AttributeType()));
                SetObject(made, "pValue");
                break;
            case 15: made = AttributeArray(in.Byte() % 6); break;
            case 16: {  // an element of an attribute array, changed
                Object* array = Pick();
                Object* value = PickFor("L" + kW + "CK_ATTRIBUTE;");
                const uint8_t at = in.Byte();
                if (array && array->kind == Kind::ObjArray && array->length)
                    array->elements[at % array->length] = value;
                break;
            }
            case 17: {  // the value of an attribute, changed
                Object* attribute = PickFor("L" + kW + "CK_ATTRIBUTE;");
                if (attribute) SetObject(attribute, "pValue");
                break;
            }
            case 18:
                made = Instance("CK_VERSION");
                v.b = static_cast<jbyte>(in.Byte());
                Set(made, "major", v);
                Set(made, "minor", v);
                break;
            case 19:
                made = Instance("CK_SSL3_RANDOM_DATA");
                SetObject(made, "pClientRandom");
                SetObject(made, "pServerRandom");
                break;
            case 20:
                made = Instance("CK_SSL3_KEY_MAT_OUT");
                SetLong(made, "hClientKey", in.Byte());
                SetObject(made, "pIVClient");
                SetObject(made, "pIVServer");
                break;
            case 21:
                made = Instance("CK_SSL3_KEY_MAT_PARAMS");
                SetLong(made, "ulMacSizeInBits", in.U16());
                SetLong(made, "ulKeySizeInBits", in.U16());
                // Mostly sizes a module would take, sometimes any 64 bits.
                SetLong(made, "ulIVSizeInBits", in.Bit() ? Long() : in.Byte());
                SetObject(made, "RandomInfo");
                SetObject(made, "pReturnedKeyMaterial");
                break;
            case 22:
                made = Instance("CK_PBE_PARAMS");
                SetObject(made, "pInitVector");
                SetObject(made, "pPassword");
                SetObject(made, "pSalt");
                SetLong(made, "ulIteration", in.U16());
                break;
            case 23:
                made = Instance("CK_KEY_WRAP_SET_OAEP_PARAMS");
                v.b = static_cast<jbyte>(in.Byte());
                Set(made, "bBC", v);
                SetObject(made, "pX");
                break;
            case 24:
                made = Instance("CK_SSL3_MASTER_KEY_DERIVE_PARAMS");
                SetObject(made, "RandomInfo");
                SetObject(made, "pVersion");
                break;
            case 25:
                made = Instance("CK_AES_CBC_ENCRYPT_DATA_PARAMS");
                SetObject(made, "iv");
                SetObject(made, "pData");
                break;
            case 26:
                made = Instance("CK_MECHANISM");
                SetLong(made, "mechanism", static_cast<jlong>(MechanismType()));
                SetObject(made, "pParameter");
                break;
        }
        if (op % 27 != 16 && op % 27 != 17) pool.push_back(made);
    }
};

// A conversion that failed must leave its exception; it is cleared here.
void Failed() {
    Check(env()->ExceptionCheck() == JNI_TRUE, "a failed conversion left no exception");
    env()->ExceptionClear();
}

bool IsAttributeArray(const Object* o) { return o && o->cls->name == "[L" + kW + "CK_ATTRIBUTE;"; }

Object* FieldOf(const Object* o, const char* name) {
    for (size_t i = 0; i < o->cls->fields.size(); ++i)
        if (o->cls->fields[i].first == name) return fakejni::O(o->fields[i].l);
    return nullptr;
}

// --- conversions ------------------------------------------------------------

// A converted attribute beside the Java one it came from. Reads every byte
// the native value claims (the sanitizers see a claim beyond its buffer).
void Walk(const Object* java, const CK_ATTRIBUTE& native, int depth) {
    Check(depth <= kMaxTemplateDepth, "templates nested deeper than allowed");
    const Object* value = FieldOf(java, "pValue");
    if (!HoldsAttributes(native.type)) {
        const auto* bytes = static_cast<const volatile uint8_t*>(native.pValue);
        unsigned sum = 0;
        for (CK_ULONG i = 0; bytes && i < native.ulValueLen; ++i) sum += bytes[i];
        (void)sum;
        return;
    }
    if (!native.pValue) {
        Check(!value && native.ulValueLen == 0, "a template attribute lost its value");
        return;
    }
    Check(IsAttributeArray(value), "raw bytes under an array attribute");
    Check(native.ulValueLen == value->length * sizeof(CK_ATTRIBUTE), "a template of another length");
    const auto* entries = static_cast<const CK_ATTRIBUTE*>(native.pValue);
    for (size_t j = 0; j < value->length; ++j) Walk(value->elements[j], entries[j], depth + 1);
}

void ConvertTemplate(Object* value) {
    NativeArena arena;
    if (IsAttributeArray(value) || !value) {
        CK_ATTRIBUTE_PTR attributes = nullptr;
        CK_ULONG count = 0;
        if (jAttributeArrayToCKAttributeArray(env(), fakejni::J<jobjectArray>(value), arena, &attributes, &count) != 0)
            return Failed();
        for (CK_ULONG i = 0; i < count; ++i) Walk(value->elements[i], attributes[i], 0);
        jobjectArray back = ckAttributeArrayToJAttributeArray(env(), attributes, count * sizeof(CK_ATTRIBUTE));
        if (!back) env()->ExceptionClear();
    } else if (value->cls->name == kW + "CK_ATTRIBUTE") {
        CK_ATTRIBUTE attribute{};
        if (jAttributeToCKAttribute(env(), fakejni::J(value), arena, &attribute) != 0) return Failed();
        Walk(value, attribute, 0);
        if (!ckAttributePtrToJAttribute(env(), &attribute)) env()->ExceptionClear();
    }
}

// What a module may write into a converted parameter, by its structure:
// PKCS#11 tells it how much through the parameter itself.
void ModuleWrites(CkMechanism& m, FuzzInput& in) {
    void* p = m.mechanism.pParameter;
    if (!p) return;
    switch (m.kind) {
        case ParamKind::Ssl3KeyMat: {
            auto* params = static_cast<ckp::CK_SSL3_KEY_MAT_PARAMS*>(p);
            ckp::CK_SSL3_KEY_MAT_OUT* out = params->pReturnedKeyMaterial;
            if (!out) return;
            out->hClientMacSecret = out->hServerMacSecret = out->hClientKey = out->hServerKey = in.Byte();
            const CK_ULONG ivBytes = params->ulIVSizeInBits / 8;
            if (out->pIVClient) std::memset(out->pIVClient, 0xC1, ivBytes);
            if (out->pIVServer) std::memset(out->pIVServer, 0x5E, ivBytes);
            break;
        }
        case ParamKind::Pbe: {
            auto* params = static_cast<ckp::CK_PBE_PARAMS*>(p);
            if (params->pInitVector) std::memset(params->pInitVector, 0x1F, 8);
            break;
        }
        case ParamKind::KeyWrapSetOaep: {
            auto* params = static_cast<ckp::CK_KEY_WRAP_SET_OAEP_PARAMS*>(p);
            if (params->pX) std::memset(params->pX, 0x77, params->ulXLen);
            params->bBC = in.Byte();
            params->ulXLen = in.U16();  // the length of X, maybe more than there was room for
            break;
        }
        case ParamKind::Ssl3MasterKeyDerive: {
            auto* params = static_cast<ckp::CK_SSL3_MASTER_KEY_DERIVE_PARAMS*>(p);
            if (params->pVersion) *params->pVersion = CK_VERSION{3, 1};
            break;
        }
        default: {
            const auto* bytes = static_cast<const volatile uint8_t*>(p);
            unsigned sum = 0;
            for (CK_ULONG i = 0; i < m.mechanism.ulParameterLen; ++i) sum += bytes[i];
            (void)sum;
        }
    }
}

void ConvertMechanism(Object* value, FuzzInput& in) {
    if (value && value->cls->name != kW + "CK_MECHANISM") return;
    CkMechanism m;
    if (jMechanismToCKMechanism(env(), fakejni::J(value), m) != 0) return Failed();
    ModuleWrites(m, in);
    const std::function<void(JNIEnv*, jobject, const CkMechanism&)> copyBacks[] = {
        copyBackPBEInitializationVector, copyBackSetUnwrappedKey, copyBackClientVersion, copyBackSSLKeyMatParams};
    for (const auto& copyBack : copyBacks) {
        copyBack(env(), fakejni::J(value), m);
        env()->ExceptionClear();
    }
    if (m.kind != ParamKind::Ssl3KeyMat || !m.mechanism.pParameter) return;
    // The IVs in Java: as long as the parameters asked for.
    const auto* params = static_cast<const ckp::CK_SSL3_KEY_MAT_PARAMS*>(m.mechanism.pParameter);
    const Object* keyMat = FieldOf(FieldOf(value, "pParameter"), "pReturnedKeyMaterial");
    const CK_ULONG ivBytes = (params->ulIVSizeInBits + 7) / 8;
    if (!keyMat || ivBytes == 0) return;
    for (const char* iv : {"pIVClient", "pIVServer"}) {
        const Object* array = FieldOf(keyMat, iv);
        Check(array && array->length == ivBytes, "an IV of another length than the parameters said");
    }
}

// --- C_GetAttributeValue against a module scripted by the input --------------

FuzzInput* g_answers = nullptr;

CK_ULONG AnswerLength(FuzzInput& in) {
    switch (in.Byte() % 6) {
        case 0: return in.Byte();
        case 1: return in.U16();
        case 2: return (in.Byte() % 8) * sizeof(CK_ATTRIBUTE);
        case 3: return CK_UNAVAILABLE_INFORMATION;
        case 4: return 0x80000000UL + in.Byte();
        default: return 0;
    }
}

// A value into a caller's buffer: no more than it holds, then any length.
void AnswerValue(FuzzInput& in, CK_ATTRIBUTE& a) {
    if (!a.pValue) {
        a.ulValueLen = AnswerLength(in);
        return;
    }
    const CK_ULONG wrote = std::min<CK_ULONG>(in.U16(), a.ulValueLen);
    std::memset(a.pValue, in.Byte(), wrote);
    a.ulValueLen = in.Bit() ? wrote : AnswerLength(in);
}

CK_RV ScriptedGetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    FuzzInput& in = *g_answers;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = tmpl[i];
        if (HoldsAttributes(a.type) && a.pValue) {
            // Entries: the caller's array of ulValueLen bytes.
            auto* entries = static_cast<CK_ATTRIBUTE*>(a.pValue);
            for (CK_ULONG j = 0; j < a.ulValueLen / sizeof(CK_ATTRIBUTE); ++j) {
                if (!entries[j].pValue)
                    entries[j].type = in.Bit() ? CKA_LABEL : static_cast<CK_ATTRIBUTE_TYPE>(in.U32());
                AnswerValue(in, entries[j]);
            }
            a.ulValueLen = in.Bit() ? a.ulValueLen : AnswerLength(in);
        } else {
            AnswerValue(in, a);
        }
    }
    static const CK_RV kStatuses[] = {CKR_OK, CKR_OK, CKR_OK, CKR_BUFFER_TOO_SMALL, CKR_ATTRIBUTE_SENSITIVE};
    return kStatuses[in.Byte() % 5];
}

void GetAttributeValue(Object* value, FuzzInput& in) {
    if (value && !IsAttributeArray(value)) return;
    static CK_FUNCTION_LIST list = [] {
        CK_FUNCTION_LIST l{};
        l.C_GetAttributeValue = &ScriptedGetAttributeValue;
        return l;
    }();
    static ModuleData data{nullptr, &list, nullptr};
    static jobject self = [] {
        Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_initializeLibrary(env(), nullptr);
        jobject wrapper = env()->AllocObject(env()->FindClass((kW + "PKCS11Implementation").c_str()));
        jobject global = env()->NewGlobalRef(wrapper);
        putModuleEntry(env(), global, &data);
        Check(!env()->ExceptionCheck(), "the stand-in module could not be connected");
        return global;
    }();
    const kvfuzz::Bytes script = in.Frame();
    FuzzInput answers(script.data(), script.size());
    g_answers = &answers;
    Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1GetAttributeValue(env(), self, 1, 1,
                                                                         fakejni::J<jobjectArray>(value));
    if (env()->ExceptionCheck()) {
        env()->ExceptionClear();
        return;
    }
    for (size_t i = 0; value && i < value->length; ++i) {
        const Object* attribute = value->elements[i];
        Check(attribute && attribute->cls->name == kW + "CK_ATTRIBUTE", "an element read back is no attribute");
        const auto type = static_cast<CK_ATTRIBUTE_TYPE>(attribute->fields[0].j);
        const Object* read = FieldOf(attribute, "pValue");
        if (HoldsAttributes(type)) Check(!read || IsAttributeArray(read), "a template read back as another value");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    env();  // the classes are declared before the first value is made
    FuzzInput in(data, size);
    Maker maker{{}, in};
    for (int step = 0; step < 256 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        if (op < 0x40) {
            maker.Make(op);
            continue;
        }
        Object* value = maker.Pick();
        switch (op % 3) {
            case 0: ConvertTemplate(value); break;
            case 1: ConvertMechanism(value, in); break;
            default: GetAttributeValue(value, in); break;
        }
        Check(!env()->ExceptionCheck(), "an exception left over");
    }
    Heap::Get().Sweep();
    return 0;
}
