#include "jni_support.h"

#include <cstdlib>
#include <new>

#include "java_exceptions.h"
#include "secure_wipe.h"

NativeArena::~NativeArena() {
    for (auto& block : blocks_) {
        SecureWipe(block.first, block.second);
        std::free(block.first);
    }
}

void* NativeArena::Alloc(JNIEnv* env, size_t n) {
    // Room for the entry first: a failure then leaves nothing unowned.
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(blocks_.size() * 2 + 8);
    void* p = std::calloc(n ? n : 1, 1);
    if (!p) {
        throwOutOfMemoryError(env);
        return nullptr;
    }
    blocks_.emplace_back(p, n);
    return p;
}

jfieldID FieldReader::Field(const char* name, const char* sig) {
    if (!cls_) return nullptr;
    return env_->GetFieldID(cls_.get(), name, sig);
}

bool FieldReader::Long(const char* name, jlong& out) {
    jfieldID f = Field(name, "J");
    if (!f) return false;
    out = env_->GetLongField(obj_, f);
    return true;
}

bool FieldReader::Byte(const char* name, jbyte& out) {
    jfieldID f = Field(name, "B");
    if (!f) return false;
    out = env_->GetByteField(obj_, f);
    return true;
}

bool FieldReader::Boolean(const char* name, jboolean& out) {
    jfieldID f = Field(name, "Z");
    if (!f) return false;
    out = env_->GetBooleanField(obj_, f);
    return true;
}

bool FieldReader::Object(const char* name, const char* sig, jobject& out) {
    jfieldID f = Field(name, sig);
    if (!f) return false;
    out = env_->GetObjectField(obj_, f);
    return true;
}

bool ReadTypeAndValue(JNIEnv* env, jobject obj, const char* typeName, jlong& type, const char* valueName,
                      jobject& value) {
    FieldReader reader(env, obj);
    return reader.Long(typeName, type) && reader.Object(valueName, "Ljava/lang/Object;", value);
}

jfieldID FieldWriter::Field(const char* name, const char* sig) {
    if (!cls_) return nullptr;
    return env_->GetFieldID(cls_.get(), name, sig);
}

bool FieldWriter::Long(const char* name, jlong value) {
    jfieldID f = Field(name, "J");
    if (!f) return false;
    env_->SetLongField(obj_, f, value);
    return true;
}

bool FieldWriter::Byte(const char* name, jbyte value) {
    jfieldID f = Field(name, "B");
    if (!f) return false;
    env_->SetByteField(obj_, f, value);
    return true;
}

bool FieldWriter::Object(const char* name, const char* sig, jobject value) {
    jfieldID f = Field(name, sig);
    if (!f) return false;
    env_->SetObjectField(obj_, f, value);
    return true;
}

jobject AllocInstance(JNIEnv* env, const char* className) {
    LocalRef<jclass> cls(env, env->FindClass(className));
    if (!cls) return nullptr;
    jobject obj = env->AllocObject(cls.get());
    return Pending(env) ? nullptr : obj;
}

void ThrowForCppException(JNIEnv* env) noexcept {
    if (Pending(env)) return;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        throwOutOfMemoryError(env);
    } catch (...) {
        ThrowRuntime(env, "Internal failure of the PKCS#11 wrapper.");
    }
}
