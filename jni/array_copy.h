// The one road between Java primitive arrays and native memory. Every copy
// names how many elements it moves and how much room both sides have; a
// copy that does not fit either side moves nothing and fails with a Java
// exception pending, so no length from Java or from a module is ever
// trusted by a copy. Elements are converted one by one (bytes as they are,
// chars narrowed to their low 8 bits or bytes zero-extended, longs and ints
// to CK_ULONG, booleans to CK_BBOOL); the temporary copies are wiped.
#ifndef KV_JNI_ARRAY_COPY_H
#define KV_JNI_ARRAY_COPY_H

#include <jni.h>

#include <cstddef>
#include <type_traits>
#include <vector>

#include "java_exceptions.h"
#include "jni_support.h"
#include "pkcs11.h"
#include "secure_wipe.h"

namespace arraycopy {

// The largest element count a Java array can hold.
constexpr size_t kMaxJavaLength = 0x7FFFFFFF;

// The JNI calls of each primitive array type.
template <typename JArray>
struct Java;

#define KV_JAVA_ARRAY(JArray, JElem, Name)                           \
    template <>                                                      \
    struct Java<JArray> {                                            \
        using Elem = JElem;                                          \
        static constexpr auto Get = &JNIEnv::Get##Name##ArrayRegion; \
        static constexpr auto Set = &JNIEnv::Set##Name##ArrayRegion; \
        static constexpr auto Make = &JNIEnv::New##Name##Array;      \
    };

KV_JAVA_ARRAY(jbyteArray, jbyte, Byte)
KV_JAVA_ARRAY(jcharArray, jchar, Char)
KV_JAVA_ARRAY(jlongArray, jlong, Long)
KV_JAVA_ARRAY(jintArray, jint, Int)
KV_JAVA_ARRAY(jbooleanArray, jboolean, Boolean)

#undef KV_JAVA_ARRAY

// How one element changes between the Java and the native form.
inline CK_BYTE ToNative(jbyte b) { return static_cast<CK_BYTE>(b); }
inline CK_CHAR ToNative(jchar c) { return static_cast<CK_CHAR>(c & 0xFF); }
inline CK_ULONG ToNative(jlong v) { return static_cast<CK_ULONG>(v); }
inline CK_ULONG ToNative(jint v) { return static_cast<CK_ULONG>(static_cast<CK_LONG>(v)); }
inline CK_BBOOL ToNative(jboolean b) { return b == 1 ? CK_TRUE : CK_FALSE; }

// Native to Java: bytes keep their bits, a byte becomes the char of the
// same value, a CK_ULONG the long of the same bits.
template <typename JElem, typename Native>
JElem ToJava(Native v) {
    static_assert((std::is_same<Native, CK_BYTE>::value &&
                   (std::is_same<JElem, jbyte>::value || std::is_same<JElem, jchar>::value)) ||
                      (std::is_same<Native, CK_ULONG>::value && std::is_same<JElem, jlong>::value),
                  "no such element conversion");
    return static_cast<JElem>(v);
}

// Throws the exception of a copy that does not fit (a fault of ours or of a
// length we were given): PKCS11RuntimeException.
void ThrowOutOfBounds(JNIEnv* env);

// The element count of a Java array; 0 for null.
inline size_t Length(JNIEnv* env, jarray array) {
    return array ? static_cast<size_t>(env->GetArrayLength(array)) : 0;
}

// True when `count` elements fit both the Java array and the native buffer
// of `room` elements; otherwise false with the exception of ThrowOutOfBounds.
inline bool Fits(JNIEnv* env, jarray array, const void* native, size_t room, size_t count) {
    if (array && native && count <= room && count <= Length(env, array)) return true;
    ThrowOutOfBounds(env);
    return false;
}

// Copies `count` elements from the start of the Java array into `to`, which
// has room for `capacity` elements, each through `convert`. False with an
// exception pending when the count exceeds either side (nothing is then
// copied) or the VM fails.
template <typename JArray, typename Native, typename Convert>
bool FromJava(JNIEnv* env, JArray from, size_t count, Native* to, size_t capacity, Convert convert) {
    using Elem = typename Java<JArray>::Elem;
    if (count == 0) return true;
    if (!Fits(env, from, to, capacity, count)) return false;
    std::vector<Elem> elements(count);
    (env->*Java<JArray>::Get)(from, 0, static_cast<jsize>(count), elements.data());
    bool ok = !Pending(env);
    if (ok)
        for (size_t i = 0; i < count; ++i) to[i] = convert(elements[i]);
    SecureWipe(elements.data(), elements.size() * sizeof(Elem));
    return ok;
}

template <typename JArray, typename Native>
bool FromJava(JNIEnv* env, JArray from, size_t count, Native* to, size_t capacity) {
    return FromJava(env, from, count, to, capacity,
                    [](typename Java<JArray>::Elem e) { return static_cast<Native>(ToNative(e)); });
}

// Copies `count` elements of `from`, which holds `available`, into the start
// of the Java array. False with an exception pending when the count exceeds
// either side (nothing is then copied).
template <typename JArray, typename Native>
bool IntoJava(JNIEnv* env, const Native* from, size_t available, size_t count, JArray to) {
    using Elem = typename Java<JArray>::Elem;
    if (count == 0) return true;
    if (!Fits(env, to, from, available, count)) return false;
    std::vector<Elem> elements(count);
    for (size_t i = 0; i < count; ++i) elements[i] = ToJava<Elem>(from[i]);
    (env->*Java<JArray>::Set)(to, 0, static_cast<jsize>(count), elements.data());
    SecureWipe(elements.data(), elements.size() * sizeof(Elem));
    return !Pending(env);
}

// A new Java array of `count` elements of `from`, which holds `available`.
// Null with an exception pending when the count exceeds `available`
// (PKCS11RuntimeException) or a Java array (OutOfMemoryError).
template <typename JArray, typename Native>
JArray NewJava(JNIEnv* env, const Native* from, size_t available, size_t count) {
    if (count > available || (count && !from)) {
        ThrowOutOfBounds(env);
        return nullptr;
    }
    if (count > kMaxJavaLength) {
        throwOutOfMemoryError(env);
        return nullptr;
    }
    LocalRef<JArray> array(env, static_cast<JArray>((env->*Java<JArray>::Make)(static_cast<jsize>(count))));
    if (!array) return nullptr;
    if (!IntoJava(env, from, available, count, array.get())) return nullptr;
    return array.release();
}

}  // namespace arraycopy

#endif
