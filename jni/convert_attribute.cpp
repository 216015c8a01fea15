#include "convert_attribute.h"

#include "convert_basic.h"
#include "java_exceptions.h"

namespace {

constexpr const char* kAttributeClass = "iaik/pkcs/pkcs11/wrapper/CK_ATTRIBUTE";
constexpr const char* kAttributeArraySig = "[Liaik/pkcs/pkcs11/wrapper/CK_ATTRIBUTE;";

enum class ValueForm { Bytes, ULong, Bool, Chars, Date, Template, Mechanisms };

ValueForm FormOf(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_CLASS:
        case CKA_CERTIFICATE_TYPE:
        case CKA_CERTIFICATE_CATEGORY:
        case CKA_JAVA_MIDP_SECURITY_DOMAIN:
        case CKA_KEY_TYPE:
        case CKA_MODULUS_BITS:
        case 0x133:  // prime and subprime bits, value bits and length: the
        case 0x134:  // numbers 0x133, 0x134, 0x160 and 0x161
        case 0x160:
        case 0x161:
        case CKA_KEY_GEN_MECHANISM:
        case CKA_AUTH_PIN_FLAGS:
        case CKA_HW_FEATURE_TYPE:
            return ValueForm::ULong;
        case CKA_TOKEN:
        case CKA_PRIVATE:
        case CKA_TRUSTED:
        case CKA_EXTRACTABLE:
        case CKA_LOCAL:
        case CKA_NEVER_EXTRACTABLE:
        case CKA_ALWAYS_SENSITIVE:
        case CKA_MODIFIABLE:
        case CKA_SECONDARY_AUTH:
        case CKA_ALWAYS_AUTHENTICATE:
        case CKA_WRAP_WITH_TRUSTED:
        case CKA_RESET_ON_INIT:
        case CKA_HAS_RESET:
            return ValueForm::Bool;
        case CKA_LABEL:
        case CKA_APPLICATION:
        case CKA_URL:
            return ValueForm::Chars;
        case CKA_START_DATE:
        case CKA_END_DATE:
            return ValueForm::Date;
        case CKA_ALLOWED_MECHANISMS:
            return ValueForm::Mechanisms;
        default:
            if (IsTemplateAttribute(type)) return ValueForm::Template;
            return type >= CKA_SENSITIVE && type <= CKA_DERIVE ? ValueForm::Bool : ValueForm::Bytes;
    }
}

// What one conversion of a Java template has spent on nested templates.
struct Nesting {
    int depth = 0;            // of the template being converted; 0 at the top
    CK_ULONG attributes = 0;  // converted in nested templates so far
};

// An array attribute whose Java value cannot become a template.
int RefuseValue(JNIEnv* env) {
    ckAssertReturnValueOK(env, CKR_ATTRIBUTE_VALUE_INVALID);
    return 1;
}

int ToNative(JNIEnv* env, jobject jAttribute, NativeArena& arena, CK_ATTRIBUTE* out, Nesting& nesting);

int ArrayToNative(JNIEnv* env, jobjectArray jTemplate, NativeArena& arena, CK_ATTRIBUTE_PTR* out, CK_ULONG* count,
                  Nesting& nesting) {
    *out = nullptr;
    *count = 0;
    if (!jTemplate) return 0;
    const auto n = static_cast<size_t>(env->GetArrayLength(jTemplate));
    auto* attributes = arena.New<CK_ATTRIBUTE>(env, n);
    if (!attributes) return 1;
    for (size_t i = 0; i < n; ++i) {
        LocalRef<jobject> element(env, env->GetObjectArrayElement(jTemplate, static_cast<jsize>(i)));
        if (Pending(env)) return 1;
        if (!element) {
            ThrowRuntime(env, "A template holds a null attribute.");
            return 1;
        }
        if (ToNative(env, element.get(), arena, &attributes[i], nesting) != 0) return 1;
    }
    *out = attributes;
    *count = static_cast<CK_ULONG>(n);
    return 0;
}

// Every array attribute but CKA_ALLOWED_MECHANISMS is read by a module as
// an array of CK_ATTRIBUTE whose pointers it follows: its value is either
// a real template converted here or refused, never raw bytes from Java.
int ToNative(JNIEnv* env, jobject jAttribute, NativeArena& arena, CK_ATTRIBUTE* out, Nesting& nesting) {
    *out = CK_ATTRIBUTE{};
    jlong type = 0;
    jobject raw = nullptr;
    if (!ReadTypeAndValue(env, jAttribute, "type", type, "pValue", raw)) return 1;
    LocalRef<jobject> value(env, raw);
    out->type = static_cast<CK_ATTRIBUTE_TYPE>(type);
    if (!IsTemplateAttribute(out->type))
        return jObjectToPrimitiveCKObjectPtrPtr(env, value.get(), arena, &out->pValue, &out->ulValueLen);
    if (!value) return 0;
    int isTemplate = IsInstance(env, value.get(), kAttributeArraySig);
    if (isTemplate < 0) return 1;
    if (isTemplate == 0 || nesting.depth >= kMaxTemplateDepth) return RefuseValue(env);
    auto inner = static_cast<jobjectArray>(value.get());
    const auto n = static_cast<CK_ULONG>(env->GetArrayLength(inner));
    if (n > kMaxNestedAttributes - nesting.attributes) return RefuseValue(env);
    nesting.attributes += n;
    CK_ATTRIBUTE_PTR entries = nullptr;
    CK_ULONG count = 0;
    ++nesting.depth;
    int rc = ArrayToNative(env, inner, arena, &entries, &count, nesting);
    --nesting.depth;
    if (rc != 0) return 1;
    out->pValue = entries;
    out->ulValueLen = count * sizeof(CK_ATTRIBUTE);
    return 0;
}

jobject ValueToJava(JNIEnv* env, const CK_ATTRIBUTE* attribute, bool nested);

jobject AttributeToJava(JNIEnv* env, const CK_ATTRIBUTE* attribute, bool nested) {
    LocalRef<jobject> element(env, AllocInstance(env, kAttributeClass));
    if (!element) return nullptr;
    FieldWriter writer(env, element.get());
    LocalRef<jobject> value(env, ValueToJava(env, attribute, nested));
    if (Pending(env)) return nullptr;
    if (!writer.Long("type", static_cast<jlong>(attribute->type)) ||
        !writer.Object("pValue", "Ljava/lang/Object;", value.get()))
        return nullptr;
    return element.release();
}

jobjectArray ArrayToJava(JNIEnv* env, const CK_ATTRIBUTE* attributes, CK_ULONG byteLength, bool nested) {
    if (!attributes) return nullptr;
    CK_ULONG count = byteLength / sizeof(CK_ATTRIBUTE);
    if (count > 0x7FFFFFFF) {
        throwOutOfMemoryError(env);
        return nullptr;
    }
    LocalRef<jclass> cls(env, env->FindClass(kAttributeClass));
    if (!cls) return nullptr;
    LocalRef<jobjectArray> array(env, env->NewObjectArray(static_cast<jsize>(count), cls.get(), nullptr));
    if (!array) return nullptr;
    for (CK_ULONG i = 0; i < count; ++i) {
        LocalRef<jobject> element(env, AttributeToJava(env, &attributes[i], nested));
        if (!element) return nullptr;
        env->SetObjectArrayElement(array.get(), static_cast<jsize>(i), element.get());
        if (Pending(env)) return nullptr;
    }
    return array.release();
}

jobject ValueToJava(JNIEnv* env, const CK_ATTRIBUTE* attribute, bool nested) {
    const auto* bytes = static_cast<const CK_BYTE*>(attribute->pValue);
    CK_ULONG length = attribute->ulValueLen;
    if (!bytes || length == 0 || length == CK_UNAVAILABLE_INFORMATION) return nullptr;
    switch (FormOf(attribute->type)) {
        case ValueForm::ULong:
            if (length < sizeof(CK_ULONG)) break;
            return ckULongPtrToJLongObject(env, static_cast<const CK_ULONG*>(attribute->pValue));
        case ValueForm::Bool:
            return ckBBoolPtrToJBooleanObject(env, bytes);
        case ValueForm::Chars:
            return ckUTF8CharArrayToJCharArray(env, bytes, length);
        case ValueForm::Date:
            if (length < sizeof(CK_DATE)) break;
            return ckDatePtrToJDateObject(env, static_cast<const CK_DATE*>(attribute->pValue));
        case ValueForm::Template:
            // One level only: a module is asked for the entries of a template
            // but never for a template inside one, so such a value holds no
            // pointers of ours.
            if (nested) return nullptr;
            return ArrayToJava(env, static_cast<const CK_ATTRIBUTE*>(attribute->pValue), length, true);
        case ValueForm::Mechanisms:
            return ckULongArrayToJLongArray(env, static_cast<const CK_ULONG*>(attribute->pValue),
                                            length / sizeof(CK_ULONG));
        case ValueForm::Bytes:
            break;
    }
    return ckByteArrayToJByteArray(env, bytes, length);
}

}  // namespace

bool IsTemplateAttribute(CK_ATTRIBUTE_TYPE type) {
    return (type & CKF_ARRAY_ATTRIBUTE) != 0 && type != CKA_ALLOWED_MECHANISMS;
}

int jAttributeToCKAttribute(JNIEnv* env, jobject jAttribute, NativeArena& arena, CK_ATTRIBUTE* out) {
    Nesting nesting;
    return ToNative(env, jAttribute, arena, out, nesting);
}

int jAttributeArrayToCKAttributeArray(JNIEnv* env, jobjectArray jTemplate, NativeArena& arena, CK_ATTRIBUTE_PTR* out,
                                      CK_ULONG* count) {
    Nesting nesting;
    return ArrayToNative(env, jTemplate, arena, out, count, nesting);
}

jobject ckAttributeValueToJObject(JNIEnv* env, const CK_ATTRIBUTE* attribute) {
    return ValueToJava(env, attribute, false);
}

jobject ckAttributePtrToJAttribute(JNIEnv* env, const CK_ATTRIBUTE* attribute) {
    return AttributeToJava(env, attribute, false);
}

jobjectArray ckAttributeArrayToJAttributeArray(JNIEnv* env, const CK_ATTRIBUTE* attributes, CK_ULONG byteLength) {
    return ArrayToJava(env, attributes, byteLength, false);
}

int jAttributeArrayTypes(JNIEnv* env, jobjectArray jTemplate, CK_ATTRIBUTE_TYPE* types, jsize count) {
    for (jsize i = 0; i < count; ++i) {
        LocalRef<jobject> element(env, env->GetObjectArrayElement(jTemplate, i));
        if (Pending(env)) return 1;
        if (!element) {
            ThrowRuntime(env, "A template holds a null attribute.");
            return 1;
        }
        FieldReader reader(env, element.get());
        jlong type = 0;
        if (!reader.Long("type", type)) return 1;
        types[i] = static_cast<CK_ATTRIBUTE_TYPE>(type);
    }
    return 0;
}
