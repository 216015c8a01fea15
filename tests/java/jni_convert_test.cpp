// The wrapper's conversions, registry and call patterns in a JVM created in
// process: Java values to PKCS#11 bytes worked out by hand, native values
// back to Java, and a stand-in module whose answers overstate their lengths.
#include <gtest/gtest.h>
#include <jni.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ck_params.h"
#include "convert_attribute.h"
#include "convert_basic.h"
#include "convert_mechanism.h"
#include "jni_support.h"
#include "module_registry.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

extern "C" {
jlongArray Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1FindObjects(JNIEnv*, jobject, jlong, jlong);
jbyteArray Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1Sign(JNIEnv*, jobject, jlong, jbyteArray);
jbyteArray Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1VerifyRecover(JNIEnv*, jobject, jlong, jbyteArray);
void Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_initializeLibrary(JNIEnv*, jclass);
void Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_finalizeLibrary(JNIEnv*, jclass);
void Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1GetAttributeValue(JNIEnv*, jobject, jlong, jlong,
                                                                             jobjectArray);
jlongArray Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1GetSlotList(JNIEnv*, jobject, jboolean);
jbyteArray Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1Encrypt(JNIEnv*, jobject, jlong, jbyteArray);
void Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1InitToken(JNIEnv*, jobject, jlong, jcharArray, jcharArray);
}

namespace {

const std::string kPkg = "iaik/pkcs/pkcs11/wrapper/";

// The stand-in module: its answers are set by each test.
struct FakeModule {
    CK_ULONG attributeLength = 0;     // reported by every pass of C_GetAttributeValue
    CK_ULONG slotCounts[2] = {};      // count answered to the first and second C_GetSlotList
    CK_ULONG encryptLengths[2] = {};  // length answered to the first and second C_Encrypt
    int calls = 0;
    Bytes label;
} g_fake;

// Every length it gives back once it has a buffer overstates what it wrote.
CK_RV FakeGetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (!tmpl[i].pValue) {
            tmpl[i].ulValueLen = g_fake.attributeLength;
        } else if (tmpl[i].type == CKA_WRAP_TEMPLATE) {
            auto* entries = static_cast<CK_ATTRIBUTE*>(tmpl[i].pValue);
            for (CK_ULONG j = 0; j < tmpl[i].ulValueLen / sizeof(CK_ATTRIBUTE); ++j) {
                if (entries[j].pValue) {
                    std::memset(entries[j].pValue, 'x', entries[j].ulValueLen);
                    entries[j].ulValueLen = 4000;
                } else {
                    entries[j].type = CKA_LABEL;
                    entries[j].ulValueLen = 4;
                }
            }
            tmpl[i].ulValueLen += 100 * sizeof(CK_ATTRIBUTE);
        } else {
            std::memset(tmpl[i].pValue, 0xAB, tmpl[i].ulValueLen);
            tmpl[i].ulValueLen += 1000;
        }
    }
    g_fake.calls++;
    return CKR_OK;
}

CK_RV FakeGetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (list) {
        for (CK_ULONG i = 0; i < *count; ++i) list[i] = i + 1;
    }
    *count = g_fake.slotCounts[g_fake.calls++ ? 1 : 0];
    return CKR_OK;
}

CK_RV FakeEncrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    if (out) std::memset(out, 0x5A, *outLength);
    *outLength = g_fake.encryptLengths[g_fake.calls++ ? 1 : 0];
    return CKR_OK;
}

CK_RV FakeFindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR handles, CK_ULONG max, CK_ULONG_PTR found) {
    for (CK_ULONG i = 0; i < max; ++i) handles[i] = 100 + i;
    *found = 1000;  // more than asked for
    return CKR_OK;
}

// A signature of 600 bytes: too long for the first 512-byte buffer.
CK_RV FakeSign(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    g_fake.calls++;
    if (*outLength < 600) {
        *outLength = 600;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memset(out, 0x33, 600);
    *outLength = 600;
    return CKR_OK;
}

// The standard answer to a length query: CKR_OK with the length.
CK_RV FakeVerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    g_fake.calls++;
    if (out) std::memcpy(out, "\x01\x02", 2);
    *outLength = 2;
    return CKR_OK;
}

CK_RV FakeInitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR label) {
    g_fake.label.assign(label, label + 32);
    g_fake.calls++;
    return CKR_OK;
}

class JniConvert : public ::testing::Test {
protected:
    // One JVM for the process, made by the first test (a failure here fails
    // that test instead of skipping the suite).
    static void StartVm() {
        if (env) return;
        std::string classPath = std::string("-Djava.class.path=") + KV_JAVA_CLASSES;
        std::string library = "-Diaik.pkcs.pkcs11.wrapper.library=";  // natives registered below
        JavaVMOption options[3];
        options[0].optionString = const_cast<char*>(classPath.c_str());
        options[1].optionString = const_cast<char*>(library.c_str());
        options[2].optionString = const_cast<char*>("-Xcheck:jni");
        JavaVMInitArgs args{};
        args.version = JNI_VERSION_1_8;
        args.nOptions = 3;
        args.options = options;
        ASSERT_EQ(JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args), JNI_OK);
        // The wrapper class, loaded without running its initialiser.
        jclass classClass = env->FindClass("java/lang/Class");
        jclass loaderClass = env->FindClass("java/lang/ClassLoader");
        jmethodID systemLoader =
            env->GetStaticMethodID(loaderClass, "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
        jobject loader = env->CallStaticObjectMethod(loaderClass, systemLoader);
        ASSERT_FALSE(env->ExceptionCheck());
        jmethodID forName = env->GetStaticMethodID(classClass, "forName",
                                                   "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;");
        auto cls = static_cast<jclass>(env->CallStaticObjectMethod(
            classClass, forName, env->NewStringUTF("iaik.pkcs.pkcs11.wrapper.PKCS11Implementation"), JNI_FALSE,
            loader));
        ASSERT_FALSE(env->ExceptionCheck());
        ASSERT_NE(cls, nullptr);
        JNINativeMethod natives[] = {
            {const_cast<char*>("initializeLibrary"), const_cast<char*>("()V"),
             reinterpret_cast<void*>(&Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_initializeLibrary)},
            {const_cast<char*>("finalizeLibrary"), const_cast<char*>("()V"),
             reinterpret_cast<void*>(&Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_finalizeLibrary)},
        };
        ASSERT_EQ(env->RegisterNatives(cls, natives, 2), 0);
        // Made without a constructor; the class initialiser creates the registry.
        wrapper = env->NewGlobalRef(env->AllocObject(cls));
        ASSERT_FALSE(env->ExceptionCheck());
    }

    void SetUp() override {
        g_fake = FakeModule{};
        StartVm();
        ASSERT_NE(wrapper, nullptr);
        ASSERT_EQ(env->PushLocalFrame(512), 0);  // each test's local references go with it
    }
    void TearDown() override {
        if (env->ExceptionCheck()) {
            env->ExceptionDescribe();
            env->ExceptionClear();
            ADD_FAILURE() << "a Java exception was left pending";
        }
        if (env) env->PopLocalFrame(nullptr);
    }

    // The pending exception's class and message, cleared; empty when none.
    static std::string TakeException() {
        jthrowable ex = env->ExceptionOccurred();
        if (!ex) return "";
        env->ExceptionClear();
        jclass cls = env->GetObjectClass(ex);
        jclass classClass = env->FindClass("java/lang/Class");
        jmethodID getName = env->GetMethodID(classClass, "getName", "()Ljava/lang/String;");
        jmethodID getMessage =
            env->GetMethodID(env->FindClass("java/lang/Throwable"), "getMessage", "()Ljava/lang/String;");
        auto name = static_cast<jstring>(env->CallObjectMethod(cls, getName));
        env->ExceptionCheck();
        auto message = static_cast<jstring>(env->CallObjectMethod(ex, getMessage));
        env->ExceptionCheck();
        std::string out = Utf(name) + ": " + (message ? Utf(message) : "");
        return out;
    }
    static std::string Utf(jstring s) {
        const char* c = env->GetStringUTFChars(s, nullptr);
        std::string out(c);
        env->ReleaseStringUTFChars(s, c);
        return out;
    }
    static jobject New(const std::string& name) { return env->AllocObject(env->FindClass((kPkg + name).c_str())); }
    static void SetLong(jobject o, const char* f, jlong v) {
        env->SetLongField(o, env->GetFieldID(env->GetObjectClass(o), f, "J"), v);
    }
    static void SetObject(jobject o, const char* f, const char* sig, jobject v) {
        env->SetObjectField(o, env->GetFieldID(env->GetObjectClass(o), f, sig), v);
    }
    static jobject GetObject(jobject o, const char* f, const char* sig) {
        return env->GetObjectField(o, env->GetFieldID(env->GetObjectClass(o), f, sig));
    }
    static jbyteArray ByteArray(const Bytes& b) {
        jbyteArray a = env->NewByteArray(static_cast<jsize>(b.size()));
        env->SetByteArrayRegion(a, 0, static_cast<jsize>(b.size()), reinterpret_cast<const jbyte*>(b.data()));
        return a;
    }
    static jcharArray CharArray(const std::u16string& s) {
        jcharArray a = env->NewCharArray(static_cast<jsize>(s.size()));
        env->SetCharArrayRegion(a, 0, static_cast<jsize>(s.size()), reinterpret_cast<const jchar*>(s.data()));
        return a;
    }
    static Bytes Of(jbyteArray a) {
        Bytes b(static_cast<size_t>(env->GetArrayLength(a)));
        env->GetByteArrayRegion(a, 0, static_cast<jsize>(b.size()), reinterpret_cast<jbyte*>(b.data()));
        return b;
    }
    static jobject Boxed(const char* cls, const char* sig, jvalue v) {
        jclass c = env->FindClass(cls);
        jobject boxed = env->NewObjectA(c, env->GetMethodID(c, "<init>", sig), &v);
        env->ExceptionCheck();
        return boxed;
    }
    // Connects the wrapper object to the stand-in module.
    static void ConnectFake(CK_FUNCTION_LIST& list) {
        auto* data = static_cast<ModuleData*>(std::calloc(1, sizeof(ModuleData)));
        data->ckFunctionListPtr = &list;
        ReleaseModuleData(removeModuleEntry(env, wrapper));
        putModuleEntry(env, env->NewGlobalRef(wrapper), data);
    }

    static JavaVM* vm;
    static JNIEnv* env;
    static jobject wrapper;
};

JavaVM* JniConvert::vm = nullptr;
JNIEnv* JniConvert::env = nullptr;
jobject JniConvert::wrapper = nullptr;

TEST_F(JniConvert, JavaValuesToNativeBytes) {
    jvalue v;
    struct Case {
        const char* what;
        jobject value;
        std::string hex;
    };
    v.j = -1;
    jobject minusOneLong = Boxed("java/lang/Long", "(J)V", v);
    v.z = JNI_TRUE;
    jobject yes = Boxed("java/lang/Boolean", "(Z)V", v);
    v.b = -2;
    jobject byteValue = Boxed("java/lang/Byte", "(B)V", v);
    v.c = 0x0141;
    jobject character = Boxed("java/lang/Character", "(C)V", v);
    v.i = -1;
    jobject minusOneInt = Boxed("java/lang/Integer", "(I)V", v);
    jbooleanArray flags = env->NewBooleanArray(2);
    jboolean flagValues[2] = {JNI_TRUE, JNI_FALSE};
    env->SetBooleanArrayRegion(flags, 0, 2, flagValues);
    jintArray ints = env->NewIntArray(1);
    jint intValues[1] = {-1};
    env->SetIntArrayRegion(ints, 0, 1, intValues);
    jlongArray longs = env->NewLongArray(2);
    jlong longValues[2] = {1, 0x0102030405060708};
    env->SetLongArrayRegion(longs, 0, 2, longValues);
    jobject date = New("CK_DATE");
    SetObject(date, "year", "[C", CharArray(u"2024"));
    SetObject(date, "day", "[C", CharArray(u"071"));

    const Case cases[] = {
        {"Long -1", minusOneLong, "FFFFFFFFFFFFFFFF"},
        {"Boolean true", yes, "01"},
        {"byte[]", ByteArray(Hex("00FF10")), "00FF10"},
        {"char[] narrowed", CharArray(u"\u263Aa"), "3A61"},
        {"Byte", byteValue, "FE"},
        {"CK_DATE, month null, day cut", date, "3230323400003037"},
        {"Character narrowed", character, "41"},
        {"Integer -1 sign-extended", minusOneInt, "FFFFFFFFFFFFFFFF"},
        {"boolean[]", flags, "0100"},
        {"int[] -1", ints, "FFFFFFFFFFFFFFFF"},
        {"long[] native order", longs, "01000000000000000807060504030201"},
        {"String as UTF-8", env->NewStringUTF("\xC3\xA9"), "C3A9"},
    };
    for (const Case& c : cases) {
        NativeArena arena;
        CK_VOID_PTR p = nullptr;
        CK_ULONG length = 99;
        ASSERT_EQ(jObjectToPrimitiveCKObjectPtrPtr(env, c.value, arena, &p, &length), 0) << c.what << TakeException();
        EXPECT_EQ(ToHex(Bytes(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + length)), c.hex) << c.what;
    }
    // The String's buffer ends with a zero after its two bytes.
    NativeArena arena;
    CK_VOID_PTR p = nullptr;
    CK_ULONG length = 0;
    ASSERT_EQ(jObjectToPrimitiveCKObjectPtrPtr(env, env->NewStringUTF("\xC3\xA9"), arena, &p, &length), 0);
    EXPECT_EQ(static_cast<uint8_t*>(p)[2], 0);
    // Null: null and length 0, no exception.
    EXPECT_EQ(jObjectToPrimitiveCKObjectPtrPtr(env, nullptr, arena, &p, &length), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(length, 0u);
}

TEST_F(JniConvert, UnsupportedValuesThrowTheRuntimeException) {
    jvalue v;
    v.s = 7;
    NativeArena arena;
    CK_VOID_PTR p = nullptr;
    CK_ULONG length = 0;
    EXPECT_NE(jObjectToPrimitiveCKObjectPtrPtr(env, Boxed("java/lang/Short", "(S)V", v), arena, &p, &length), 0);
    EXPECT_EQ(TakeException(),
              "iaik.pkcs.pkcs11.wrapper.PKCS11RuntimeException: Java object of this class cannot be converted to "
              "native PKCS#11 type: java.lang.Short");
    EXPECT_EQ(p, nullptr);

    // A null element of a template.
    jobjectArray tmpl = env->NewObjectArray(2, env->FindClass((kPkg + "CK_ATTRIBUTE").c_str()), nullptr);
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
    EXPECT_NE(jAttributeArrayToCKAttributeArray(env, tmpl, arena, &attributes, &count), 0);
    EXPECT_NE(TakeException().find("PKCS11RuntimeException"), std::string::npos);
}

// A converted attribute as text: TYPE=hex of the value, TYPE=[entries] for a
// template, TYPE=null. Only whole CK_ATTRIBUTE arrays are followed.
std::string Show(const CK_ATTRIBUTE& a) {
    char type[24];
    std::snprintf(type, sizeof type, "%lX=", static_cast<unsigned long>(a.type));
    std::string out = type;
    if (!a.pValue) return out + "null";
    const auto* bytes = static_cast<const uint8_t*>(a.pValue);
    if (!(a.type & CKF_ARRAY_ATTRIBUTE) || a.type == CKA_ALLOWED_MECHANISMS || a.ulValueLen % sizeof(CK_ATTRIBUTE))
        return out + ToHex(Bytes(bytes, bytes + a.ulValueLen));
    const auto* entries = static_cast<const CK_ATTRIBUTE*>(a.pValue);
    out += "[";
    for (CK_ULONG j = 0; j < a.ulValueLen / sizeof(CK_ATTRIBUTE); ++j) out += (j ? "," : "") + Show(entries[j]);
    return out + "]";
}

TEST_F(JniConvert, ArrayAttributesBecomeTemplatesOrAreRefused) {
    jclass attributeClass = env->FindClass((kPkg + "CK_ATTRIBUTE").c_str());
    auto attribute = [&](CK_ATTRIBUTE_TYPE type, jobject value) {
        jobject a = New("CK_ATTRIBUTE");
        SetLong(a, "type", static_cast<jlong>(type));
        SetObject(a, "pValue", "Ljava/lang/Object;", value);
        return a;
    };
    // A Java template of `count` times the same attribute.
    auto tmpl = [&](jsize count, jobject element) {
        jobjectArray array = env->NewObjectArray(count, attributeClass, element);
        return array;
    };
    jvalue v;
    v.z = JNI_TRUE;
    jobject yes = Boxed("java/lang/Boolean", "(Z)V", v);
    v.j = 16;
    jobject sixteen = Boxed("java/lang/Long", "(J)V", v);
    jlongArray twoLongs = env->NewLongArray(2);
    const jlong mechanisms[2] = {0x1081, 0x1082};
    env->SetLongArrayRegion(twoLongs, 0, 2, mechanisms);

    // Templates nested `depth` levels deep, and the text of their native form.
    auto chain = [&](int depth, std::string& shown) {
        jobject a = attribute(CKA_TOKEN, yes);
        shown = "1=01";
        for (int i = 0; i < depth; ++i) {
            a = attribute(CKA_WRAP_TEMPLATE, tmpl(1, a));
            shown = "40000211=[" + shown + "]";
        }
        return a;
    };
    std::string deepest, tooDeep;
    jobject deepestChain = chain(kMaxTemplateDepth, deepest);
    jobject tooDeepChain = chain(kMaxTemplateDepth + 1, tooDeep);
    // A template holding itself.
    jobjectArray loop = tmpl(1, nullptr);
    jobject selfHolding = attribute(CKA_WRAP_TEMPLATE, loop);
    env->SetObjectArrayElement(loop, 0, selfHolding);
    // Few Java objects, many nested attributes: each of `wide` entries holds
    // the same template of 32.
    const jsize wide = static_cast<jsize>(kMaxNestedAttributes / 32 + 1);
    jobject manyNested =
        attribute(CKA_WRAP_TEMPLATE, tmpl(wide, attribute(CKA_UNWRAP_TEMPLATE, tmpl(32, attribute(CKA_TOKEN, yes)))));

    const std::string refused = "iaik.pkcs.pkcs11.wrapper.PKCS11Exception: 0x00000013";
    struct Case {
        const char* what;
        jobject attribute;
        std::string expected;  // the native form shown, or the exception
    };
    const Case cases[] = {
        {"unknown array type, byte[]", attribute(CKF_ARRAY_ATTRIBUTE | 1, ByteArray(Hex("010203"))), refused},
        {"unknown array type, long[]", attribute(CKF_ARRAY_ATTRIBUTE | 1, twoLongs), refused},
        {"wrap template, Long", attribute(CKA_WRAP_TEMPLATE, sixteen), refused},
        {"wrap template, CK_ATTRIBUTE[]", attribute(CKA_WRAP_TEMPLATE, tmpl(1, attribute(CKA_ENCRYPT, yes))),
         "40000211=[104=01]"},
        {"another array type, CK_ATTRIBUTE[]",
         attribute(CKF_ARRAY_ATTRIBUTE | 0x213, tmpl(1, attribute(CKA_VALUE_LEN, sixteen))),
         "40000213=[161=1000000000000000]"},
        {"allowed mechanisms, long[]", attribute(CKA_ALLOWED_MECHANISMS, twoLongs),
         "40000600=81100000000000008210000000000000"},
        {"array attribute without a value", attribute(CKA_UNWRAP_TEMPLATE, nullptr), "40000212=null"},
        {"templates nested as deep as allowed", deepestChain, deepest},
        {"one level deeper", tooDeepChain, refused},
        {"a template holding itself", selfHolding, refused},
        {"more nested attributes than allowed", manyNested, refused},
    };
    for (const Case& c : cases) {
        NativeArena arena;
        CK_ATTRIBUTE out{};
        int rc = jAttributeToCKAttribute(env, c.attribute, arena, &out);
        std::string shown = TakeException();
        EXPECT_EQ(rc == 0, shown.empty()) << c.what;
        if (rc == 0) shown = Show(out);
        EXPECT_EQ(shown, c.expected) << c.what;
    }
    // In a Java template the same rules hold for every element.
    jobjectArray mixed = tmpl(2, attribute(CKA_LABEL, ByteArray(Hex("41"))));
    env->SetObjectArrayElement(mixed, 1, attribute(CKF_ARRAY_ATTRIBUTE | 7, ByteArray(Hex("00"))));
    NativeArena arena;
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
    EXPECT_NE(jAttributeArrayToCKAttributeArray(env, mixed, arena, &attributes, &count), 0);
    EXPECT_EQ(TakeException(), refused);
}

TEST_F(JniConvert, NestedTemplateBecomesAttributeArray) {
    jclass attributeClass = env->FindClass((kPkg + "CK_ATTRIBUTE").c_str());
    jobjectArray inner = env->NewObjectArray(2, attributeClass, nullptr);
    for (jsize i = 0; i < 2; ++i) {
        jobject a = New("CK_ATTRIBUTE");
        SetLong(a, "type", CKA_ENCRYPT + i);
        jvalue v;
        v.z = JNI_TRUE;
        SetObject(a, "pValue", "Ljava/lang/Object;", Boxed("java/lang/Boolean", "(Z)V", v));
        env->SetObjectArrayElement(inner, i, a);
    }
    jobject outer = New("CK_ATTRIBUTE");
    SetLong(outer, "type", CKA_UNWRAP_TEMPLATE);
    SetObject(outer, "pValue", "Ljava/lang/Object;", inner);
    NativeArena arena;
    CK_ATTRIBUTE out{};
    ASSERT_EQ(jAttributeToCKAttribute(env, outer, arena, &out), 0);
    EXPECT_EQ(out.type, CKA_UNWRAP_TEMPLATE);
    ASSERT_EQ(out.ulValueLen, 48u);
    const auto* entries = static_cast<const CK_ATTRIBUTE*>(out.pValue);
    EXPECT_EQ(entries[1].type, CKA_DECRYPT);
    EXPECT_EQ(entries[1].ulValueLen, 1u);
    EXPECT_EQ(*static_cast<const CK_BBOOL*>(entries[1].pValue), CK_TRUE);

    // Back to Java: a CK_ATTRIBUTE[] of two entries.
    jobject back = ckAttributePtrToJAttribute(env, &out);
    auto array = static_cast<jobjectArray>(GetObject(back, "pValue", "Ljava/lang/Object;"));
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(env->GetArrayLength(array), 2);
}

TEST_F(JniConvert, NativeAttributeValuesToJava) {
    struct Case {
        const char* what;
        CK_ATTRIBUTE_TYPE type;
        Bytes value;
        const char* javaClass;  // null: a null value
        std::string check;      // the value as hex (byte[]), or the Java toString()
    };
    const Case cases[] = {
        {"token byte 2 is false", CKA_TOKEN, Hex("02"), "java/lang/Boolean", "false"},
        {"token byte 1 is true", CKA_TOKEN, Hex("01"), "java/lang/Boolean", "true"},
        {"class as Long", CKA_CLASS, Hex("0300000000000000"), "java/lang/Long", "3"},
        {"a CK_ULONG too short is bytes", CKA_CLASS, Hex("03000000"), "[B", "03000000"},
        {"label 0xE9", CKA_LABEL, Hex("E9"), "[C", "\xC3\xA9"},
        {"allowed mechanisms, 12 bytes", CKA_ALLOWED_MECHANISMS, Hex("010000000000000002000000"), "[J", "1"},
        {"other types as bytes", CKA_VALUE, Hex("0A0B"), "[B", "0A0B"},
        {"empty value is null", CKA_VALUE, Bytes{}, nullptr, ""},
        {"date too short is bytes", CKA_START_DATE, Hex("3230"), "[B", "3230"},
    };
    for (const Case& c : cases) {
        Bytes value = c.value;
        CK_ATTRIBUTE a{c.type, value.empty() ? nullptr : value.data(), value.size()};
        jobject j = ckAttributeValueToJObject(env, &a);
        ASSERT_FALSE(env->ExceptionCheck()) << c.what;
        if (!c.javaClass) {
            EXPECT_EQ(j, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(j, nullptr) << c.what;
        EXPECT_TRUE(env->IsInstanceOf(j, env->FindClass(c.javaClass))) << c.what;
        std::string shown;
        if (std::string(c.javaClass) == "[B") {
            shown = ToHex(Of(static_cast<jbyteArray>(j)));
        } else if (std::string(c.javaClass) == "[C") {
            jstring s = env->NewString(env->GetCharArrayElements(static_cast<jcharArray>(j), nullptr),
                                       env->GetArrayLength(static_cast<jarray>(j)));
            shown = Utf(s);
        } else if (std::string(c.javaClass) == "[J") {
            jlong first = 0;
            EXPECT_EQ(env->GetArrayLength(static_cast<jarray>(j)), 1) << c.what;
            env->GetLongArrayRegion(static_cast<jlongArray>(j), 0, 1, &first);
            shown = std::to_string(first);
        } else {
            jmethodID toString =
                env->GetMethodID(env->FindClass("java/lang/Object"), "toString", "()Ljava/lang/String;");
            auto text = static_cast<jstring>(env->CallObjectMethod(j, toString));
            ASSERT_FALSE(env->ExceptionCheck());
            shown = Utf(text);
        }
        EXPECT_EQ(shown, c.check) << c.what;
    }
    // A null value pointer with a length is null too.
    CK_ATTRIBUTE none{CKA_VALUE, nullptr, 5};
    EXPECT_EQ(ckAttributeValueToJObject(env, &none), nullptr);
}

TEST_F(JniConvert, MechanismParameterStructures) {
    // KEA: ulRandomLen is the length of pRandomB.
    jobject kea = New("CK_KEA_DERIVE_PARAMS");
    SetObject(kea, "pRandomA", "[B", ByteArray(Bytes(16, 1)));
    SetObject(kea, "pRandomB", "[B", ByteArray(Bytes(8, 2)));
    CkMechanism m;
    ASSERT_EQ(jMechanismParameterToCKMechanismParameter(env, kea, m), 0);
    EXPECT_EQ(m.kind, ParamKind::KeaDerive);
    ASSERT_EQ(m.mechanism.ulParameterLen, sizeof(ckp::CK_KEA_DERIVE_PARAMS));
    const auto* k = static_cast<const ckp::CK_KEA_DERIVE_PARAMS*>(m.mechanism.pParameter);
    EXPECT_EQ(k->ulRandomLen, 8u);
    EXPECT_EQ(k->pRandomA[15], 1);
    EXPECT_EQ(k->pPublicData, nullptr);

    // PBKDF2: the PRF data length sits in its own length member.
    jobject pbkdf2 = New("CK_PKCS5_PBKD2_PARAMS");
    SetLong(pbkdf2, "iterations", 2048);
    SetObject(pbkdf2, "pPrfData", "[B", ByteArray(Hex("AABBCC")));
    CkMechanism p;
    ASSERT_EQ(jMechanismParameterToCKMechanismParameter(env, pbkdf2, p), 0);
    const auto* d = static_cast<const ckp::CK_PKCS5_PBKD2_PARAMS*>(p.mechanism.pParameter);
    EXPECT_EQ(d->iterations, 2048u);
    EXPECT_EQ(d->ulPrfDataLen, 3u);
    EXPECT_EQ(d->ulPasswordLen, nullptr);
    EXPECT_EQ(ToHex(Bytes(static_cast<uint8_t*>(d->pPrfData), static_cast<uint8_t*>(d->pPrfData) + 3)), "AABBCC");

    // A byte[] stays bytes whatever the mechanism; null gives nothing.
    jobject mech = New("CK_MECHANISM");
    SetLong(mech, "mechanism", CKM_RSA_PKCS_OAEP);
    SetObject(mech, "pParameter", "Ljava/lang/Object;", ByteArray(Hex("0102")));
    CkMechanism b;
    ASSERT_EQ(jMechanismToCKMechanism(env, mech, b), 0);
    EXPECT_EQ(b.kind, ParamKind::Primitive);
    EXPECT_EQ(b.mechanism.ulParameterLen, 2u);
    SetObject(mech, "pParameter", "Ljava/lang/Object;", nullptr);
    CkMechanism n;
    ASSERT_EQ(jMechanismToCKMechanism(env, mech, n), 0);
    EXPECT_EQ(n.mechanism.pParameter, nullptr);
    EXPECT_EQ(n.mechanism.ulParameterLen, 0u);

    // Parameters a module would read or write past their buffers are refused.
    jobject aes = New("CK_AES_CBC_ENCRYPT_DATA_PARAMS");
    SetObject(aes, "iv", "[B", ByteArray(Bytes(8, 0)));
    jobject shortRandomA = New("CK_KEA_DERIVE_PARAMS");
    SetObject(shortRandomA, "pRandomA", "[B", ByteArray(Bytes(4, 1)));
    SetObject(shortRandomA, "pRandomB", "[B", ByteArray(Bytes(8, 2)));
    jobject shortPrime = New("CK_SKIPJACK_PRIVATE_WRAP_PARAMS");
    SetObject(shortPrime, "pPrimeP", "[B", ByteArray(Bytes(64, 1)));
    SetObject(shortPrime, "pBaseG", "[B", ByteArray(Bytes(128, 2)));
    jobject longIvs = New("CK_SSL3_KEY_MAT_PARAMS");
    SetLong(longIvs, "ulIVSizeInBits", jlong{1} << 40);
    SetObject(longIvs, "pReturnedKeyMaterial", "Liaik/pkcs/pkcs11/wrapper/CK_SSL3_KEY_MAT_OUT;",
              New("CK_SSL3_KEY_MAT_OUT"));
    const struct {
        const char* what;
        jobject parameter;
    } refused[] = {
        {"an iv of another width than the field", aes},
        {"KEA: pRandomA shorter than ulRandomLen", shortRandomA},
        {"SKIPJACK: pPrimeP shorter than ulPAndGLen", shortPrime},
        {"key and MAC derivation: IVs longer than any cipher block", longIvs},
    };
    for (const auto& c : refused) {
        CkMechanism r;
        EXPECT_NE(jMechanismParameterToCKMechanismParameter(env, c.parameter, r), 0) << c.what;
        EXPECT_EQ(TakeException(), "iaik.pkcs.pkcs11.wrapper.PKCS11Exception: 0x00000071") << c.what;
    }
}

TEST_F(JniConvert, CopyBackOnlyIntoTheClassThatWasConverted) {
    // SET OAEP parameters converted, the module's bBC and pX written back.
    jobject params = New("CK_KEY_WRAP_SET_OAEP_PARAMS");
    jbyteArray x = ByteArray(Hex("000000"));
    SetObject(params, "pX", "[B", x);
    jobject mech = New("CK_MECHANISM");
    SetLong(mech, "mechanism", CKM_KEY_WRAP_SET_OAEP);
    SetObject(mech, "pParameter", "Ljava/lang/Object;", params);
    CkMechanism m;
    ASSERT_EQ(jMechanismToCKMechanism(env, mech, m), 0);
    auto* native = static_cast<ckp::CK_KEY_WRAP_SET_OAEP_PARAMS*>(m.mechanism.pParameter);
    native->bBC = 0x42;
    std::memcpy(native->pX, "\x01\x02\x03", 3);
    native->ulXLen = 1000;  // overstated: never read past the buffer
    copyBackSetUnwrappedKey(env, mech, m);
    ASSERT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(ToHex(Of(x)), "010203");
    EXPECT_EQ(env->GetByteField(params, env->GetFieldID(env->GetObjectClass(params), "bBC", "B")), 0x42);

    // The same mechanism with a byte[] parameter: nothing is written anywhere.
    SetObject(mech, "pParameter", "Ljava/lang/Object;", ByteArray(Bytes(40, 7)));
    CkMechanism raw;
    ASSERT_EQ(jMechanismToCKMechanism(env, mech, raw), 0);
    copyBackSetUnwrappedKey(env, mech, raw);
    ASSERT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(ToHex(Bytes(static_cast<uint8_t*>(raw.mechanism.pParameter),
                          static_cast<uint8_t*>(raw.mechanism.pParameter) + 3)),
              "070707");
}

TEST_F(JniConvert, RegistryWithoutInitialisationThrows) {
    Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_finalizeLibrary(env, nullptr);
    EXPECT_EQ(getModuleEntry(env, wrapper), nullptr);
    EXPECT_NE(TakeException().find("not initialised"), std::string::npos);
    auto* data = static_cast<ModuleData*>(std::calloc(1, sizeof(ModuleData)));
    jobject global = env->NewGlobalRef(wrapper);
    putModuleEntry(env, global, data);
    EXPECT_NE(TakeException().find("not initialised"), std::string::npos);
    removeAllModuleEntries(env);
    EXPECT_NE(TakeException().find("not initialised"), std::string::npos);

    Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_initializeLibrary(env, nullptr);
    putModuleEntry(env, global, data);
    EXPECT_EQ(isModulePresent(env, wrapper), 1);
    EXPECT_EQ(removeModuleEntry(env, wrapper), data);
    EXPECT_EQ(isModulePresent(env, wrapper), 0);
    EXPECT_EQ(equals(env, nullptr, nullptr), 1);
    EXPECT_EQ(equals(env, wrapper, nullptr), 0);
    ReleaseModuleData(data);
}

TEST_F(JniConvert, GetAttributeValueReadsNoFurtherThanItsBuffers) {
    CK_FUNCTION_LIST list{};
    list.C_GetAttributeValue = &FakeGetAttributeValue;
    ConnectFake(list);
    jclass attributeClass = env->FindClass((kPkg + "CK_ATTRIBUTE").c_str());
    jobjectArray tmpl = env->NewObjectArray(2, attributeClass, nullptr);
    const CK_ATTRIBUTE_TYPE types[] = {CKA_VALUE, CKA_WRAP_TEMPLATE};
    for (jsize i = 0; i < 2; ++i) {
        jobject a = New("CK_ATTRIBUTE");
        SetLong(a, "type", static_cast<jlong>(types[i]));
        env->SetObjectArrayElement(tmpl, i, a);
    }
    g_fake.attributeLength = 48;
    Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1GetAttributeValue(env, wrapper, 1, 2, tmpl);
    ASSERT_EQ(TakeException(), "");
    EXPECT_EQ(g_fake.calls, 3);
    jobject value = GetObject(env->GetObjectArrayElement(tmpl, 0), "pValue", "Ljava/lang/Object;");
    EXPECT_EQ(ToHex(Of(static_cast<jbyteArray>(value))), ToHex(Bytes(48, 0xAB)));
    auto nested =
        static_cast<jobjectArray>(GetObject(env->GetObjectArrayElement(tmpl, 1), "pValue", "Ljava/lang/Object;"));
    ASSERT_NE(nested, nullptr);
    ASSERT_EQ(env->GetArrayLength(nested), 2);
    for (jsize j = 0; j < 2; ++j) {
        jobject entry = env->GetObjectArrayElement(nested, j);
        EXPECT_EQ(env->GetLongField(entry, env->GetFieldID(attributeClass, "type", "J")),
                  static_cast<jlong>(CKA_LABEL));
        auto label = static_cast<jcharArray>(GetObject(entry, "pValue", "Ljava/lang/Object;"));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(env->GetArrayLength(label), 4);
    }
    ReleaseModuleData(removeModuleEntry(env, wrapper));
}

TEST_F(JniConvert, ListAndOutputLengthsStayInsideTheirBuffers) {
    CK_FUNCTION_LIST list{};
    list.C_GetSlotList = &FakeGetSlotList;
    list.C_Encrypt = &FakeEncrypt;
    list.C_InitToken = &FakeInitToken;
    list.C_FindObjects = &FakeFindObjects;
    list.C_Sign = &FakeSign;
    list.C_VerifyRecover = &FakeVerifyRecover;
    ConnectFake(list);

    // The module claims more slots the second time than it had room for.
    g_fake.slotCounts[0] = 2;
    g_fake.slotCounts[1] = 50;
    jlongArray slots = Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1GetSlotList(env, wrapper, JNI_TRUE);
    ASSERT_EQ(TakeException(), "");
    ASSERT_EQ(env->GetArrayLength(slots), 2);

    // No slot at all: an empty array after one call.
    g_fake = FakeModule{};
    slots = Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1GetSlotList(env, wrapper, JNI_TRUE);
    EXPECT_EQ(env->GetArrayLength(slots), 0);
    EXPECT_EQ(g_fake.calls, 1);

    // The second C_Encrypt claims 4000 bytes in a 16-byte buffer.
    g_fake = FakeModule{};
    g_fake.encryptLengths[0] = 16;
    g_fake.encryptLengths[1] = 4000;
    jbyteArray out =
        Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1Encrypt(env, wrapper, 1, ByteArray(Hex("00")));
    ASSERT_EQ(TakeException(), "");
    EXPECT_EQ(ToHex(Of(out)), ToHex(Bytes(16, 0x5A)));

    // C_FindObjects: no more handles than asked for.
    jlongArray handles = Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1FindObjects(env, wrapper, 1, 3);
    ASSERT_EQ(TakeException(), "");
    EXPECT_EQ(env->GetArrayLength(handles), 3);

    // C_Sign: 512 bytes first, the reported length on the second call.
    g_fake = FakeModule{};
    jbyteArray signature =
        Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1Sign(env, wrapper, 1, ByteArray(Hex("00")));
    ASSERT_EQ(TakeException(), "");
    EXPECT_EQ(env->GetArrayLength(signature), 600);
    EXPECT_EQ(g_fake.calls, 2);

    // C_VerifyRecover: a CKR_OK length answer still gives the data.
    g_fake = FakeModule{};
    jbyteArray recovered =
        Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1VerifyRecover(env, wrapper, 1, ByteArray(Hex("00")));
    ASSERT_EQ(TakeException(), "");
    ASSERT_NE(recovered, nullptr);
    EXPECT_EQ(ToHex(Of(recovered)), "0102");

    // C_InitToken: a long label is cut to 32 characters, a short one padded.
    Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1InitToken(env, wrapper, 1, CharArray(u"87654321"),
                                                                    CharArray(u"Token"));
    ASSERT_EQ(TakeException(), "");
    EXPECT_EQ(std::string(g_fake.label.begin(), g_fake.label.end()), "Token" + std::string(27, ' '));
    Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1InitToken(env, wrapper, 1, CharArray(u"87654321"),
                                                                    CharArray(std::u16string(40, u'L')));
    EXPECT_EQ(std::string(g_fake.label.begin(), g_fake.label.end()), std::string(32, 'L'));
    g_fake.calls = 0;
    Java_iaik_pkcs_pkcs11_wrapper_PKCS11Implementation_C_1InitToken(env, wrapper, 1, CharArray(u"8765432\u0100"),
                                                                    CharArray(u"Token"));
    EXPECT_EQ(TakeException(), "iaik.pkcs.pkcs11.wrapper.PKCS11Exception: 0x000000A1");
    EXPECT_EQ(g_fake.calls, 0);
    ReleaseModuleData(removeModuleEntry(env, wrapper));
}

}  // namespace
