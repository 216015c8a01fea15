#include "convert_info.h"

#include <initializer_list>
#include <utility>

#include "convert_basic.h"
#include "jni_support.h"

namespace {

constexpr const char* kVersionSig = "Liaik/pkcs/pkcs11/wrapper/CK_VERSION;";

// Fills one object of a wrapper class; the first failure sticks and the
// result is then null.
class InfoBuilder {
public:
    InfoBuilder(JNIEnv* env, const char* className)
        : env_(env), obj_(env, AllocInstance(env, className)), writer_(env, obj_.get()), ok_(obj_.get() != nullptr) {}
    InfoBuilder(const InfoBuilder&) = delete;
    InfoBuilder& operator=(const InfoBuilder&) = delete;

    InfoBuilder& Chars(const char* name, const CK_CHAR* chars, CK_ULONG length) {
        if (ok()) {
            LocalRef<jcharArray> array(env_, ckUTF8CharArrayToJCharArray(env_, chars, length));
            ok_ = array && writer_.Object(name, "[C", array.get());
        }
        return *this;
    }
    InfoBuilder& Long(const char* name, CK_ULONG value) {
        if (ok()) ok_ = writer_.Long(name, static_cast<jlong>(value));
        return *this;
    }
    InfoBuilder& Longs(std::initializer_list<std::pair<const char*, CK_ULONG>> fields) {
        for (const auto& field : fields) Long(field.first, field.second);
        return *this;
    }
    InfoBuilder& Version(const char* name, const CK_VERSION& version) {
        if (ok()) {
            LocalRef<jobject> v(env_, ckVersionPtrToJVersion(env_, &version));
            ok_ = v && writer_.Object(name, kVersionSig, v.get());
        }
        return *this;
    }
    jobject Result() { return ok() ? obj_.release() : nullptr; }

private:
    bool ok() const { return ok_; }
    JNIEnv* env_;
    LocalRef<jobject> obj_;
    FieldWriter writer_;
    bool ok_;
};

}  // namespace

// Each builder below follows its own structure field by field; alike lines
// set fields of different structures.
jobject ckInfoPtrToJInfo(JNIEnv* env, const CK_INFO* info) {
    return InfoBuilder(env, "iaik/pkcs/pkcs11/wrapper/CK_INFO")
        .Version("cryptokiVersion", info->cryptokiVersion)
        .Chars("manufacturerID", info->manufacturerID, sizeof info->manufacturerID)
        .Long("flags", info->flags)
        .Chars("libraryDescription", info->libraryDescription, sizeof info->libraryDescription)
        .Version("libraryVersion", info->libraryVersion)
        .Result();
}

jobject ckSlotInfoPtrToJSlotInfo(JNIEnv* env, const CK_SLOT_INFO* info) {
    return InfoBuilder(env, "iaik/pkcs/pkcs11/wrapper/CK_SLOT_INFO")
        .Chars("slotDescription", info->slotDescription, sizeof info->slotDescription)
        .Chars("manufacturerID", info->manufacturerID, sizeof info->manufacturerID)
        .Long("flags", info->flags)
        .Version("hardwareVersion", info->hardwareVersion)
        .Version("firmwareVersion", info->firmwareVersion)
        .Result();
}

jobject ckTokenInfoPtrToJTokenInfo(JNIEnv* env, const CK_TOKEN_INFO* info) {
    return InfoBuilder(env, "iaik/pkcs/pkcs11/wrapper/CK_TOKEN_INFO")
        .Chars("label", info->label, sizeof info->label)
        .Chars("manufacturerID", info->manufacturerID, sizeof info->manufacturerID)
        .Chars("model", info->model, sizeof info->model)
        .Chars("serialNumber", info->serialNumber, sizeof info->serialNumber)
        .Longs({{"flags", info->flags},
                {"ulMaxSessionCount", info->ulMaxSessionCount},
                {"ulSessionCount", info->ulSessionCount},
                {"ulMaxRwSessionCount", info->ulMaxRwSessionCount},
                {"ulRwSessionCount", info->ulRwSessionCount},
                {"ulMaxPinLen", info->ulMaxPinLen},
                {"ulMinPinLen", info->ulMinPinLen},
                {"ulTotalPublicMemory", info->ulTotalPublicMemory},
                {"ulFreePublicMemory", info->ulFreePublicMemory},
                {"ulTotalPrivateMemory", info->ulTotalPrivateMemory},
                {"ulFreePrivateMemory", info->ulFreePrivateMemory}})
        .Version("hardwareVersion", info->hardwareVersion)
        .Version("firmwareVersion", info->firmwareVersion)
        .Chars("utcTime", info->utcTime, sizeof info->utcTime)
        .Result();
}

jobject ckSessionInfoPtrToJSessionInfo(JNIEnv* env, const CK_SESSION_INFO* info) {
    return InfoBuilder(env, "iaik/pkcs/pkcs11/wrapper/CK_SESSION_INFO")
        .Longs({{"slotID", info->slotID},
                {"state", info->state},
                {"flags", info->flags},
                {"ulDeviceError", info->ulDeviceError}})
        .Result();
}

jobject ckMechanismInfoPtrToJMechanismInfo(JNIEnv* env, const CK_MECHANISM_INFO* info) {
    return InfoBuilder(env, "iaik/pkcs/pkcs11/wrapper/CK_MECHANISM_INFO")
        .Longs({{"ulMinKeySize", info->ulMinKeySize}, {"ulMaxKeySize", info->ulMaxKeySize}, {"flags", info->flags}})
        .Result();
}
