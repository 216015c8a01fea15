// The array arguments of one native call in native memory: converted in the
// order asked, held by one arena that wipes them when the call is over.
#ifndef KV_JNI_NATIVE_INPUTS_H
#define KV_JNI_NATIVE_INPUTS_H

#include <jni.h>

#include "convert_basic.h"
#include "jni_support.h"
#include "pkcs11.h"

// One converted array: its bytes (null for a null array) and their count.
struct NativeBytes {
    CK_BYTE_PTR data = nullptr;
    CK_ULONG length = 0;
};

// After the first failed conversion (a Java exception is then pending) the
// later ones touch nothing and ok() stays false.
class NativeInputs {
public:
    explicit NativeInputs(JNIEnv* env) : env_(env) {}
    NativeInputs(const NativeInputs&) = delete;
    NativeInputs& operator=(const NativeInputs&) = delete;

    bool ok() const { return ok_; }

    // A byte[] as it is.
    NativeBytes Bytes(jbyteArray array) {
        NativeBytes out;
        ok_ = ok_ && jByteArrayToCKByteArray(env_, array, arena_, &out.data, &out.length) == 0;
        return out;
    }
    // A char[] as Latin-1 bytes: a character above U+00FF is refused with
    // PKCS11Exception(`refusal`), not narrowed.
    NativeBytes Latin1(jcharArray array, CK_RV refusal) {
        NativeBytes out;
        ok_ = ok_ && jCharArrayToCKLatin1Array(env_, array, arena_, &out.data, &out.length, refusal) == 0;
        return out;
    }
    NativeBytes Pin(jcharArray pin) { return Latin1(pin, CKR_PIN_INVALID); }

private:
    JNIEnv* env_;
    NativeArena arena_;
    bool ok_ = true;
};

#endif
