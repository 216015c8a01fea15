// Small JNI helpers shared by the natives and conversions: local references
// released with their scope, native buffers owned and wiped together, and
// field access through an object's own class.
#ifndef KV_JNI_SUPPORT_H
#define KV_JNI_SUPPORT_H

#include <jni.h>

#include <cstddef>
#include <utility>
#include <vector>

// Deletes a local reference when it leaves scope.
template <typename T>
class LocalRef {
public:
    LocalRef(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
    ~LocalRef() {
        if (ref_) env_->DeleteLocalRef(ref_);
    }
    LocalRef(LocalRef&& other) noexcept : env_(other.env_), ref_(other.ref_) { other.ref_ = nullptr; }
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;
    LocalRef& operator=(LocalRef&&) = delete;

    T get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    // Hands the reference to the caller (a native's result).
    T release() { return std::exchange(ref_, nullptr); }

private:
    JNIEnv* env_;
    T ref_;
};

inline bool Pending(JNIEnv* env) { return env->ExceptionCheck() == JNI_TRUE; }

// Native buffers made by one conversion. They live until the arena dies,
// which wipes and frees them all: values may be PINs or key material.
class NativeArena {
public:
    NativeArena() = default;
    ~NativeArena();
    NativeArena(const NativeArena&) = delete;
    NativeArena& operator=(const NativeArena&) = delete;

    // A zeroed buffer of n bytes (never null for n = 0); null after throwing
    // OutOfMemoryError.
    void* Alloc(JNIEnv* env, size_t n);
    template <typename T>
    T* New(JNIEnv* env, size_t count = 1) {
        if (count > static_cast<size_t>(-1) / sizeof(T)) return static_cast<T*>(Alloc(env, static_cast<size_t>(-1)));
        return static_cast<T*>(Alloc(env, count * sizeof(T)));
    }

private:
    std::vector<std::pair<void*, size_t>> blocks_;
};

// Reads the fields of one Java object, looked up through the object's own
// class by name and JNI signature. Each call returns false with a Java
// exception pending when the field is missing.
class FieldReader {
public:
    FieldReader(JNIEnv* env, jobject obj) : env_(env), obj_(obj), cls_(env, env->GetObjectClass(obj)) {}
    bool Long(const char* name, jlong& out);
    bool Byte(const char* name, jbyte& out);
    bool Boolean(const char* name, jboolean& out);
    // The field's value as a new local reference (null for a null field).
    bool Object(const char* name, const char* sig, jobject& out);

private:
    jfieldID Field(const char* name, const char* sig);
    JNIEnv* env_;
    jobject obj_;
    LocalRef<jclass> cls_;
};

// Reads the long field `typeName`, then the Object field `valueName`, of
// `obj`: a value and what it is (an attribute, a mechanism, the initialize
// arguments). `value` becomes a new local reference, null when not read.
bool ReadTypeAndValue(JNIEnv* env, jobject obj, const char* typeName, jlong& type, const char* valueName,
                      jobject& value);

// Sets the fields of one Java object; the same contract as FieldReader.
// Made for a null object it holds no class and must not be used.
class FieldWriter {
public:
    FieldWriter(JNIEnv* env, jobject obj)
        : env_(env), obj_(obj), cls_(env, obj ? env->GetObjectClass(obj) : nullptr) {}
    bool Long(const char* name, jlong value);
    bool Byte(const char* name, jbyte value);
    bool Object(const char* name, const char* sig, jobject value);

private:
    jfieldID Field(const char* name, const char* sig);
    JNIEnv* env_;
    jobject obj_;
    LocalRef<jclass> cls_;
};

// A new object of the class, made without running a constructor.
jobject AllocInstance(JNIEnv* env, const char* className);

// Runs a native's body; a C++ exception that escapes it (allocation failure
// and the like) becomes OutOfMemoryError or PKCS11RuntimeException, and the
// native returns `failed`.
template <typename R, typename F>
R Trap(JNIEnv* env, R failed, F&& body) noexcept;

void ThrowForCppException(JNIEnv* env) noexcept;

template <typename R, typename F>
R Trap(JNIEnv* env, R failed, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        ThrowForCppException(env);
        return failed;
    }
}

template <typename F>
void TrapVoid(JNIEnv* env, F&& body) noexcept {
    try {
        body();
    } catch (...) {
        ThrowForCppException(env);
    }
}

#endif
