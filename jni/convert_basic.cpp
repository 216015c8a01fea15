#include "convert_basic.h"

#include <cstring>
#include <string>
#include <vector>

#include "array_copy.h"
#include "java_exceptions.h"
#include "secure_wipe.h"

namespace {

constexpr const char* kWrapper = "iaik/pkcs/pkcs11/wrapper/";

std::string WrapperClass(const char* name) { return std::string(kWrapper) + name; }

// A whole Java primitive array into a new arena buffer of `Native`
// elements; the length out-parameter is the element count.
template <typename Native, typename JArray>
int ArrayToNative(JNIEnv* env, JArray array, NativeArena& arena, Native** out, CK_ULONG* length) {
    *out = nullptr;
    *length = 0;
    if (!array) return 0;
    const size_t n = arraycopy::Length(env, array);
    Native* buffer = arena.New<Native>(env, n);
    if (!buffer || !arraycopy::FromJava(env, array, n, buffer, n)) return 1;
    *out = buffer;
    *length = static_cast<CK_ULONG>(n);
    return 0;
}

void Clear(CK_VOID_PTR* out, CK_ULONG* length) {
    *out = nullptr;
    *length = 0;
}

template <typename T>
void ClearTyped(T** out, CK_ULONG* length) {
    *out = nullptr;
    *length = 0;
}

// Calls a no-argument method of a boxed value; false with an exception pending.
template <typename R, typename Call>
bool Unbox(JNIEnv* env, jobject value, const char* className, const char* method, const char* sig, Call call, R& out) {
    LocalRef<jclass> cls(env, env->FindClass(className));
    if (!cls) return false;
    jmethodID m = env->GetMethodID(cls.get(), method, sig);
    if (!m) return false;
    out = (env->*call)(value, m);
    return !Pending(env);
}

// Unboxes a value into a new native element of the arena, converted as an
// array element is (see array_copy.h); null with an exception pending.
template <typename Native, typename J, typename Call>
Native* UnboxToNative(JNIEnv* env, jobject value, NativeArena& arena, const char* className, const char* method,
                      const char* sig, Call call) {
    J v{};
    if (!Unbox(env, value, className, method, sig, call, v)) return nullptr;
    auto* out = arena.New<Native>(env);
    if (out) *out = static_cast<Native>(arraycopy::ToNative(v));
    return out;
}

jobject Box(JNIEnv* env, const char* className, const char* sig, jvalue arg) {
    LocalRef<jclass> cls(env, env->FindClass(className));
    if (!cls) return nullptr;
    jmethodID ctor = env->GetMethodID(cls.get(), "<init>", sig);
    if (!ctor) return nullptr;
    return env->NewObjectA(cls.get(), ctor, &arg);
}

// Sets a char[] field from native characters; false with an exception pending.
bool SetChars(JNIEnv* env, FieldWriter& writer, const char* name, const CK_CHAR* chars, CK_ULONG length) {
    LocalRef<jcharArray> array(env, ckCharArrayToJCharArray(env, chars, length));
    return array && writer.Object(name, "[C", array.get());
}

// Narrows up to `width` characters of a char[] field into a date field;
// absent or short arrays leave zero bytes.
bool ReadDateField(JNIEnv* env, FieldReader& reader, const char* name, CK_CHAR* field, size_t width) {
    jobject raw = nullptr;
    if (!reader.Object(name, "[C", raw)) return false;
    LocalRef<jcharArray> array(env, static_cast<jcharArray>(raw));
    std::memset(field, 0, width);
    size_t n = arraycopy::Length(env, array.get());
    return arraycopy::FromJava(env, array.get(), n < width ? n : width, field, width);
}

// A single converted value: its pointer and size; 1 after a failed conversion.
template <typename T>
int Single(T* value, CK_VOID_PTR* out, CK_ULONG* length) {
    if (!value) return 1;
    *out = value;
    *length = sizeof(T);
    return 0;
}

}  // namespace

int IsInstance(JNIEnv* env, jobject obj, const char* className) {
    LocalRef<jclass> cls(env, env->FindClass(className));
    if (!cls) return -1;
    return env->IsInstanceOf(obj, cls.get()) ? 1 : 0;
}

int jByteArrayToCKByteArray(JNIEnv* env, jbyteArray array, NativeArena& arena, CK_BYTE_PTR* out, CK_ULONG* length) {
    return ArrayToNative(env, array, arena, out, length);
}

int jBooleanArrayToCKBBoolArray(JNIEnv* env, jbooleanArray array, NativeArena& arena, CK_BBOOL** out,
                                CK_ULONG* length) {
    return ArrayToNative(env, array, arena, out, length);
}

int jLongArrayToCKULongArray(JNIEnv* env, jlongArray array, NativeArena& arena, CK_ULONG_PTR* out, CK_ULONG* length) {
    return ArrayToNative(env, array, arena, out, length);
}

int jIntArrayToCKULongArray(JNIEnv* env, jintArray array, NativeArena& arena, CK_ULONG_PTR* out, CK_ULONG* length) {
    return ArrayToNative(env, array, arena, out, length);
}

int jCharArrayToCKCharArray(JNIEnv* env, jcharArray array, NativeArena& arena, CK_CHAR_PTR* out, CK_ULONG* length) {
    return ArrayToNative(env, array, arena, out, length);
}

int jCharArrayToCKUTF8CharArray(JNIEnv* env, jcharArray array, NativeArena& arena, CK_UTF8CHAR_PTR* out,
                                CK_ULONG* length) {
    return jCharArrayToCKCharArray(env, array, arena, out, length);
}

int jCharArrayToCKLatin1Array(JNIEnv* env, jcharArray array, NativeArena& arena, CK_UTF8CHAR_PTR* out, CK_ULONG* length,
                              CK_RV refusal) {
    *out = nullptr;
    *length = 0;
    if (!array) return 0;
    const size_t n = arraycopy::Length(env, array);
    auto* buffer = arena.New<CK_UTF8CHAR>(env, n);
    bool fits = true;
    if (!buffer || !arraycopy::FromJava(env, array, n, buffer, n, [&fits](jchar c) {
            fits = fits && c <= 0xFF;
            return static_cast<CK_UTF8CHAR>(c);
        }))
        return 1;
    if (!fits) {
        ckAssertReturnValueOK(env, refusal);
        return 1;
    }
    *out = buffer;
    *length = static_cast<CK_ULONG>(n);
    return 0;
}

int jStringToCKUTF8CharArray(JNIEnv* env, jstring text, NativeArena& arena, CK_UTF8CHAR_PTR* out, CK_ULONG* length) {
    ClearTyped(out, length);
    if (!text) return 0;
    const char* utf = env->GetStringUTFChars(text, nullptr);
    if (!utf) {
        if (!Pending(env)) throwOutOfMemoryError(env);
        return 1;
    }
    jsize n = env->GetStringUTFLength(text);
    auto* buffer = arena.New<CK_UTF8CHAR>(env, static_cast<size_t>(n) + 1);
    if (buffer) std::memcpy(buffer, utf, static_cast<size_t>(n));  // the arena zeroed the terminator
    env->ReleaseStringUTFChars(text, utf);
    if (!buffer) return 1;
    *out = buffer;
    *length = static_cast<CK_ULONG>(n);
    return 0;
}

jbyteArray ckByteArrayToJByteArray(JNIEnv* env, const CK_BYTE* bytes, CK_ULONG length) {
    if (!bytes) return nullptr;
    return arraycopy::NewJava<jbyteArray>(env, bytes, length, length);
}

jlongArray ckULongArrayToJLongArray(JNIEnv* env, const CK_ULONG* values, CK_ULONG count) {
    if (!values) return nullptr;
    return arraycopy::NewJava<jlongArray>(env, values, count, count);
}

jcharArray ckCharArrayToJCharArray(JNIEnv* env, const CK_CHAR* chars, CK_ULONG length) {
    if (!chars) return nullptr;
    return arraycopy::NewJava<jcharArray>(env, chars, length, length);
}

jcharArray ckUTF8CharArrayToJCharArray(JNIEnv* env, const CK_UTF8CHAR* chars, CK_ULONG length) {
    return ckCharArrayToJCharArray(env, chars, length);
}

jobject ckBBoolPtrToJBooleanObject(JNIEnv* env, const CK_BBOOL* value) {
    if (!value) return nullptr;
    jvalue arg;
    arg.z = *value == CK_TRUE ? JNI_TRUE : JNI_FALSE;
    return Box(env, "java/lang/Boolean", "(Z)V", arg);
}

jobject ckULongPtrToJLongObject(JNIEnv* env, const CK_ULONG* value) {
    if (!value) return nullptr;
    jvalue arg;
    arg.j = static_cast<jlong>(*value);
    return Box(env, "java/lang/Long", "(J)V", arg);
}

jobject ckVersionPtrToJVersion(JNIEnv* env, const CK_VERSION* version) {
    if (!version) return nullptr;
    LocalRef<jobject> obj(env, AllocInstance(env, WrapperClass("CK_VERSION").c_str()));
    if (!obj) return nullptr;
    FieldWriter writer(env, obj.get());
    if (!writer.Byte("major", static_cast<jbyte>(version->major)) ||
        !writer.Byte("minor", static_cast<jbyte>(version->minor)))
        return nullptr;
    return obj.release();
}

jobject ckDatePtrToJDateObject(JNIEnv* env, const CK_DATE* date) {
    if (!date) return nullptr;
    LocalRef<jobject> obj(env, AllocInstance(env, WrapperClass("CK_DATE").c_str()));
    if (!obj) return nullptr;
    FieldWriter writer(env, obj.get());
    if (!SetChars(env, writer, "year", date->year, 4) || !SetChars(env, writer, "month", date->month, 2) ||
        !SetChars(env, writer, "day", date->day, 2))
        return nullptr;
    return obj.release();
}

// The boxed-value conversions differ only in the box they name; the work
// is UnboxToNative's.
CK_BBOOL* jBooleanObjectToCKBBoolPtr(JNIEnv* env, jobject value, NativeArena& arena) {
    return UnboxToNative<CK_BBOOL, jboolean>(env, value, arena, "java/lang/Boolean", "booleanValue", "()Z",
                                             &JNIEnv::CallBooleanMethod);
}

CK_BYTE* jByteObjectToCKBytePtr(JNIEnv* env, jobject value, NativeArena& arena) {
    return UnboxToNative<CK_BYTE, jbyte>(env, value, arena, "java/lang/Byte", "byteValue", "()B",
                                         &JNIEnv::CallByteMethod);
}

CK_CHAR* jCharObjectToCKCharPtr(JNIEnv* env, jobject value, NativeArena& arena) {
    return UnboxToNative<CK_CHAR, jchar>(env, value, arena, "java/lang/Character", "charValue", "()C",
                                         &JNIEnv::CallCharMethod);
}

CK_ULONG* jIntegerObjectToCKULongPtr(JNIEnv* env, jobject value, NativeArena& arena) {
    return UnboxToNative<CK_ULONG, jint>(env, value, arena, "java/lang/Integer", "intValue", "()I",
                                         &JNIEnv::CallIntMethod);
}

CK_ULONG* jLongObjectToCKULongPtr(JNIEnv* env, jobject value, NativeArena& arena) {
    return UnboxToNative<CK_ULONG, jlong>(env, value, arena, "java/lang/Long", "longValue", "()J",
                                          &JNIEnv::CallLongMethod);
}

CK_VERSION* jVersionToCKVersionPtr(JNIEnv* env, jobject version, NativeArena& arena) {
    if (!version) return nullptr;
    FieldReader reader(env, version);
    jbyte major = 0, minor = 0;
    if (!reader.Byte("major", major) || !reader.Byte("minor", minor)) return nullptr;
    auto* out = arena.New<CK_VERSION>(env);
    if (!out) return nullptr;
    out->major = static_cast<CK_BYTE>(major);
    out->minor = static_cast<CK_BYTE>(minor);
    return out;
}

CK_DATE* jDateObjectPtrToCKDatePtr(JNIEnv* env, jobject date, NativeArena& arena) {
    if (!date) return nullptr;
    auto* out = arena.New<CK_DATE>(env);
    if (!out) return nullptr;
    FieldReader reader(env, date);
    if (!ReadDateField(env, reader, "year", out->year, 4) || !ReadDateField(env, reader, "month", out->month, 2) ||
        !ReadDateField(env, reader, "day", out->day, 2))
        return nullptr;
    return out;
}

int jObjectToPrimitiveCKObjectPtrPtr(JNIEnv* env, jobject value, NativeArena& arena, CK_VOID_PTR* out,
                                     CK_ULONG* length) {
    Clear(out, length);
    if (!value) return 0;
    // The Java classes with a native form, in the order they are tried.
    using Convert = int (*)(JNIEnv*, jobject, NativeArena&, CK_VOID_PTR*, CK_ULONG*);
    struct Form {
        const char* cls;
        Convert convert;
    };
    static const Form kForms[] = {
        {"java/lang/Long", [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o,
                              CK_ULONG* l) { return Single(jLongObjectToCKULongPtr(e, v, a), o, l); }},
        {"java/lang/Boolean", [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o,
                                 CK_ULONG* l) { return Single(jBooleanObjectToCKBBoolPtr(e, v, a), o, l); }},
        {"[B",
         [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o, CK_ULONG* l) {
             return jByteArrayToCKByteArray(e, static_cast<jbyteArray>(v), a, reinterpret_cast<CK_BYTE_PTR*>(o), l);
         }},
        {"[C",
         [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o, CK_ULONG* l) {
             return jCharArrayToCKCharArray(e, static_cast<jcharArray>(v), a, reinterpret_cast<CK_CHAR_PTR*>(o), l);
         }},
        {"java/lang/Byte", [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o,
                              CK_ULONG* l) { return Single(jByteObjectToCKBytePtr(e, v, a), o, l); }},
        {"iaik/pkcs/pkcs11/wrapper/CK_DATE",
         [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o, CK_ULONG* l) {
             return Single(jDateObjectPtrToCKDatePtr(e, v, a), o, l);
         }},
        {"java/lang/Character", [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o,
                                   CK_ULONG* l) { return Single(jCharObjectToCKCharPtr(e, v, a), o, l); }},
        {"java/lang/Integer", [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o,
                                 CK_ULONG* l) { return Single(jIntegerObjectToCKULongPtr(e, v, a), o, l); }},
        {"[Z",
         [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o, CK_ULONG* l) {
             return jBooleanArrayToCKBBoolArray(e, static_cast<jbooleanArray>(v), a, reinterpret_cast<CK_BBOOL**>(o),
                                                l);
         }},
        {"[I",
         [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o, CK_ULONG* l) {
             int rc = jIntArrayToCKULongArray(e, static_cast<jintArray>(v), a, reinterpret_cast<CK_ULONG_PTR*>(o), l);
             *l *= sizeof(CK_ULONG);
             return rc;
         }},
        {"[J",
         [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o, CK_ULONG* l) {
             int rc = jLongArrayToCKULongArray(e, static_cast<jlongArray>(v), a, reinterpret_cast<CK_ULONG_PTR*>(o), l);
             *l *= sizeof(CK_ULONG);
             return rc;
         }},
        {"java/lang/String",
         [](JNIEnv* e, jobject v, NativeArena& a, CK_VOID_PTR* o, CK_ULONG* l) {
             return jStringToCKUTF8CharArray(e, static_cast<jstring>(v), a, reinterpret_cast<CK_UTF8CHAR_PTR*>(o), l);
         }},
    };
    for (const Form& form : kForms) {
        int is = IsInstance(env, value, form.cls);
        if (is < 0) return 1;
        if (is == 0) continue;
        if (form.convert(env, value, arena, out, length) == 0) return 0;
        Clear(out, length);
        return 1;
    }

    // No native form: name the class in the runtime exception.
    std::string message = "Java object of this class cannot be converted to native PKCS#11 type: ";
    LocalRef<jclass> cls(env, env->GetObjectClass(value));
    jmethodID getClass = env->GetMethodID(cls.get(), "getClass", "()Ljava/lang/Class;");
    if (!getClass) return 1;
    LocalRef<jobject> classObject(env, env->CallObjectMethod(value, getClass));
    if (Pending(env) || !classObject) return 1;
    LocalRef<jclass> classClass(env, env->GetObjectClass(classObject.get()));
    jmethodID getName = env->GetMethodID(classClass.get(), "getName", "()Ljava/lang/String;");
    if (!getName) return 1;
    LocalRef<jstring> name(env, static_cast<jstring>(env->CallObjectMethod(classObject.get(), getName)));
    if (Pending(env) || !name) return 1;
    const char* utf = env->GetStringUTFChars(name.get(), nullptr);
    if (!utf) return 1;
    message += utf;
    env->ReleaseStringUTFChars(name.get(), utf);
    ThrowRuntime(env, message.c_str());
    return 1;
}
