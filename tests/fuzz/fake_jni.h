// A JNI environment without a Java VM, for fuzzing the wrapper's
// conversions in process: a small heap of Java objects (instances with
// typed fields, primitive and object arrays, strings, classes), the JNI
// functions the wrapper calls, and nothing else.
//
// It is stricter than a VM where a VM would only throw: an array region or
// element outside its array, a field of another class or type, a value of
// the wrong class stored into a typed field or array, a null where JNI wants
// an object, or any JNI call but the exception-safe ones while an exception
// is pending ends the run as a crash. Every JNI function it does not
// implement ends the run too.
#ifndef KV_TESTS_FUZZ_FAKE_JNI_H
#define KV_TESTS_FUZZ_FAKE_JNI_H

#include <jni.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fakejni {

[[noreturn]] inline void Fault(const char* what) {
    std::fprintf(stderr, "JNI misuse: %s\n", what);
    std::abort();
}

enum class Kind { Class, Instance, PrimArray, ObjArray, String };

struct ClassDef {
    std::string name;                                         // "java/lang/Long", "[B", "[Lx/Y;"
    std::vector<std::pair<std::string, std::string>> fields;  // name, signature
};

struct Object {
    Kind kind = Kind::Instance;
    const ClassDef* cls = nullptr;   // the object's class
    const ClassDef* self = nullptr;  // for a class object: the class it stands for
    std::vector<jvalue> fields;      // instances, one per field of the class
    char elem = 0;                   // primitive arrays: 'B', 'C', 'J', 'I', 'Z', 'S'
    std::vector<uint8_t> data;       // primitive arrays: length × element size
    size_t length = 0;               // arrays
    std::vector<Object*> elements;   // object arrays
    std::string utf;                 // strings
};

struct FieldRef {
    const ClassDef* cls;
    size_t index;
};

struct MethodRef {
    std::string cls, name, sig;
};

inline size_t ElemSize(char e) {
    switch (e) {
        case 'B': case 'Z': return 1;
        case 'C': case 'S': return 2;
        case 'I': return 4;
        case 'J': return 8;
        default: Fault("unknown array element type");
    }
}

// The Java heap of one run: objects made during an input die with it; the
// few made at set-up are kept.
class Heap {
public:
    static Heap& Get() {
        static Heap heap;
        return heap;
    }

    const ClassDef* Class(const std::string& name) {
        auto it = classes_.find(name);
        if (it != classes_.end()) return it->second.get();
        auto def = std::make_unique<ClassDef>();
        def->name = name;
        const ClassDef* out = def.get();
        classes_.emplace(name, std::move(def));
        return out;
    }
    void Define(const std::string& name, std::vector<std::pair<std::string, std::string>> fields) {
        const_cast<ClassDef*>(Class(name))->fields = std::move(fields);
    }
    Object* ClassObject(const ClassDef* def) {
        auto it = classObjects_.find(def);
        if (it != classObjects_.end()) return it->second;
        Object* o = Keep(New(Kind::Class, Class("java/lang/Class")));
        o->self = def;
        classObjects_.emplace(def, o);
        return o;
    }

    Object* New(Kind kind, const ClassDef* cls) {
        objects_.push_back(std::make_unique<Object>());
        Object* o = objects_.back().get();
        o->kind = kind;
        o->cls = cls;
        if (kind == Kind::Instance) o->fields.assign(cls->fields.size(), jvalue{});
        return o;
    }
    // Keeps an object past the end of the input (global references).
    Object* Keep(Object* o) {
        for (auto it = objects_.rbegin(); it != objects_.rend(); ++it)
            if (it->get() == o) {
                kept_.push_back(std::move(*it));
                break;
            }
        return o;
    }
    // Ends an input: every object made since set-up goes.
    void Sweep() {
        objects_.clear();
        pending_ = nullptr;
    }

    // Field and method IDs: one per field or method, kept for the process.
    const FieldRef* FieldId(const ClassDef* cls, size_t index) {
        return &fieldIds_.emplace(std::make_pair(cls, index), FieldRef{cls, index}).first->second;
    }
    const MethodRef* MethodId(const std::string& cls, const std::string& name, const std::string& sig) {
        const std::string key = cls + "." + name + sig;
        return &methodIds_.emplace(key, MethodRef{cls, name, sig}).first->second;
    }

    Object* pending_ = nullptr;

private:
    std::map<std::string, std::unique_ptr<ClassDef>> classes_;
    std::map<const ClassDef*, Object*> classObjects_;
    std::vector<std::unique_ptr<Object>> objects_;
    std::vector<std::unique_ptr<Object>> kept_;
    std::map<std::pair<const ClassDef*, size_t>, FieldRef> fieldIds_;
    std::map<std::string, MethodRef> methodIds_;
};

inline Object* O(jobject o) { return reinterpret_cast<Object*>(o); }
template <typename T = jobject>
T J(Object* o) {
    return reinterpret_cast<T>(o);
}

// Whether `o` may be stored where `sig` (a field or element signature) is declared.
inline bool Fits(const Object* o, const std::string& sig) {
    if (!o || sig == "Ljava/lang/Object;") return true;
    if (sig[0] == '[') return o->cls->name == sig;
    if (sig[0] == 'L') return o->cls->name == sig.substr(1, sig.size() - 2);
    return false;
}

inline bool IsA(const Object* o, const ClassDef* cls) {
    return !o || cls->name == "java/lang/Object" || o->cls == cls;
}

inline void NoPending(const char* call) {
    if (Heap::Get().pending_) Fault(call);
}

// A Java exception of `className`, pending; its message field set when it has one.
inline void Raise(const char* className, const char* message) {
    Heap& h = Heap::Get();
    Object* ex = h.New(Kind::Instance, h.Class(className));
    for (size_t i = 0; i < ex->cls->fields.size(); ++i)
        if (ex->cls->fields[i].first == "message" && message) {
            Object* s = h.New(Kind::String, h.Class("java/lang/String"));
            s->utf = message;
            ex->fields[i].l = J(s);
        }
    h.pending_ = ex;
}

inline std::string ArrayClassOf(const std::string& element) {
    return element[0] == '[' ? "[" + element : "[L" + element + ";";
}

inline Object* NewPrimArray(char elem, jsize n) {
    NoPending("New<Type>Array");
    if (n < 0) Fault("negative array length");
    Heap& h = Heap::Get();
    if (n > (1 << 24)) {
        Raise("java/lang/OutOfMemoryError", nullptr);
        return nullptr;
    }
    Object* a = h.New(Kind::PrimArray, h.Class(std::string("[") + elem));
    a->elem = elem;
    a->length = static_cast<size_t>(n);
    a->data.assign(a->length * ElemSize(elem), 0);
    return a;
}

inline Object* PrimArray(jobject array, char elem, jsize start, jsize len) {
    Object* a = O(array);
    if (!a || a->kind != Kind::PrimArray || a->elem != elem) Fault("array region of a wrong array");
    if (start < 0 || len < 0 || static_cast<size_t>(start) + static_cast<size_t>(len) > a->length)
        Fault("array region outside its array");
    return a;
}

template <char E, typename T>
void GetRegion(JNIEnv*, jarray array, jsize start, jsize len, T* buf) {
    NoPending("Get<Type>ArrayRegion");
    Object* a = PrimArray(array, E, start, len);
    const size_t at = static_cast<size_t>(start) * sizeof(T);
    if (len) std::memcpy(buf, a->data.data() + at, static_cast<size_t>(len) * sizeof(T));
}

template <char E, typename T>
void SetRegion(JNIEnv*, jarray array, jsize start, jsize len, const T* buf) {
    NoPending("Set<Type>ArrayRegion");
    Object* a = PrimArray(array, E, start, len);
    const size_t at = static_cast<size_t>(start) * sizeof(T);
    if (len) std::memcpy(a->data.data() + at, buf, static_cast<size_t>(len) * sizeof(T));
}

template <char E>
jarray NewArray(JNIEnv*, jsize n) {
    return J<jarray>(NewPrimArray(E, n));
}

inline const FieldRef& Field(jobject obj, jfieldID id, char type) {
    const auto* f = reinterpret_cast<const FieldRef*>(id);
    Object* o = O(obj);
    if (!o || !f || o->kind != Kind::Instance || o->cls != f->cls) Fault("field of another class");
    const std::string& sig = f->cls->fields[f->index].second;
    const char declared = sig[0] == '[' ? 'L' : sig[0];
    if (declared != type) Fault("field of another type");
    return *f;
}

template <typename T, char Type, T jvalue::*Member>
T GetField(JNIEnv*, jobject obj, jfieldID id) {
    NoPending("Get<Type>Field");
    const FieldRef& f = Field(obj, id, Type);
    return O(obj)->fields[f.index].*Member;
}

template <typename T, char Type, T jvalue::*Member>
void SetField(JNIEnv*, jobject obj, jfieldID id, T value) {
    NoPending("Set<Type>Field");
    const FieldRef& f = Field(obj, id, Type);
    O(obj)->fields[f.index].*Member = value;
}

// The value of the one field of a boxed number.
inline jvalue Boxed(jobject obj) {
    Object* o = O(obj);
    if (!o || o->kind != Kind::Instance || o->fields.size() != 1) Fault("unboxing a non-box");
    return o->fields[0];
}

inline Object* NewString(const std::string& utf) {
    Heap& h = Heap::Get();
    Object* s = h.New(Kind::String, h.Class("java/lang/String"));
    s->utf = utf;
    return s;
}

// Runs a method: the few the wrapper calls.
inline jvalue Invoke(jobject obj, jmethodID id, jobject arg) {
    const auto* m = reinterpret_cast<const MethodRef*>(id);
    Object* o = O(obj);
    if (!o || !m) Fault("method call on null");
    jvalue out{};
    if (m->name == "getClass") {
        out.l = J(Heap::Get().ClassObject(o->cls));
    } else if (m->name == "getName") {
        if (o->kind != Kind::Class) Fault("getName of a non-class");
        std::string name = o->self->name;
        for (char& c : name)
            if (c == '/') c = '.';
        out.l = J(NewString(name));
    } else if (m->name == "equals") {
        out.z = o == O(arg) ? JNI_TRUE : JNI_FALSE;
    } else {
        out = Boxed(obj);  // longValue, booleanValue, intValue, byteValue, charValue
    }
    return out;
}

template <typename T, T jvalue::*Member>
T CallV(JNIEnv*, jobject obj, jmethodID id, va_list args) {
    NoPending("Call<Type>Method");
    const auto* m = reinterpret_cast<const MethodRef*>(id);
    jobject arg = m && m->sig[1] == 'L' ? va_arg(args, jobject) : nullptr;
    return Invoke(obj, id, arg).*Member;
}

inline jboolean CallNonvirtualBooleanV(JNIEnv*, jobject obj, jclass, jmethodID id, va_list args) {
    NoPending("CallNonvirtualBooleanMethod");
    jobject arg = va_arg(args, jobject);
    return Invoke(obj, id, arg).z;
}

// A constructor: "()V" makes an object with zeroed fields, "(X)V" sets its
// first field from the one argument.
inline jobject Construct(jclass cls, jmethodID id, const jvalue* arg) {
    NoPending("NewObject");
    Object* c = O(cls);
    const auto* m = reinterpret_cast<const MethodRef*>(id);
    if (!c || c->kind != Kind::Class || !m || m->name != "<init>") Fault("NewObject without a constructor");
    Object* o = Heap::Get().New(Kind::Instance, c->self);
    if (m->sig != "()V") {
        if (o->fields.empty()) Fault("constructor argument without a field");
        o->fields[0] = *arg;
    }
    return J(o);
}

inline jobject NewObjectV(JNIEnv*, jclass cls, jmethodID id, va_list args) {
    const auto* m = reinterpret_cast<const MethodRef*>(id);
    jvalue arg{};
    if (m && m->sig.size() > 3) {
        switch (m->sig[1]) {
            case 'J': arg.j = va_arg(args, jlong); break;
            case 'L': case '[': arg.l = va_arg(args, jobject); break;
            default: arg.i = va_arg(args, jint); break;  // promoted boolean, byte, char, short, int
        }
    }
    return Construct(cls, id, &arg);
}

inline jobject NewObjectA(JNIEnv*, jclass cls, jmethodID id, const jvalue* args) { return Construct(cls, id, args); }

inline JNIEnv* Env();

// The function table: every slot traps unless set below.
inline void Unimplemented() { Fault("a JNI function the fake does not provide"); }

inline JNINativeInterface_ MakeTable() {
    JNINativeInterface_ t;
    auto** slots = reinterpret_cast<void (**)()>(&t);
    for (size_t i = 0; i < sizeof t / sizeof(void (*)()); ++i) slots[i] = &Unimplemented;
    t.reserved0 = t.reserved1 = t.reserved2 = t.reserved3 = nullptr;

    t.FindClass = [](JNIEnv*, const char* name) -> jclass {
        NoPending("FindClass");
        Heap& h = Heap::Get();
        return J<jclass>(h.ClassObject(h.Class(name)));
    };
    t.GetObjectClass = [](JNIEnv*, jobject obj) -> jclass {
        NoPending("GetObjectClass");
        if (!obj) Fault("GetObjectClass(null)");
        return J<jclass>(Heap::Get().ClassObject(O(obj)->cls));
    };
    t.IsInstanceOf = [](JNIEnv*, jobject obj, jclass cls) -> jboolean {
        NoPending("IsInstanceOf");
        if (!cls || O(cls)->kind != Kind::Class) Fault("IsInstanceOf without a class");
        return IsA(O(obj), O(cls)->self) ? JNI_TRUE : JNI_FALSE;
    };
    t.GetFieldID = [](JNIEnv*, jclass cls, const char* name, const char* sig) -> jfieldID {
        NoPending("GetFieldID");
        if (!cls || O(cls)->kind != Kind::Class) Fault("GetFieldID without a class");
        const ClassDef* def = O(cls)->self;
        for (size_t i = 0; i < def->fields.size(); ++i)
            if (def->fields[i].first == name && def->fields[i].second == sig)
                return reinterpret_cast<jfieldID>(const_cast<FieldRef*>(Heap::Get().FieldId(def, i)));
        Raise("java/lang/NoSuchFieldError", name);
        return nullptr;
    };
    t.GetMethodID = [](JNIEnv*, jclass cls, const char* name, const char* sig) -> jmethodID {
        NoPending("GetMethodID");
        if (!cls || O(cls)->kind != Kind::Class) Fault("GetMethodID without a class");
        const MethodRef* m = Heap::Get().MethodId(O(cls)->self->name, name, sig);
        return reinterpret_cast<jmethodID>(const_cast<MethodRef*>(m));
    };
    t.GetObjectField = [](JNIEnv* e, jobject o, jfieldID f) { return GetField<jobject, 'L', &jvalue::l>(e, o, f); };
    t.GetLongField = [](JNIEnv* e, jobject o, jfieldID f) { return GetField<jlong, 'J', &jvalue::j>(e, o, f); };
    t.GetByteField = [](JNIEnv* e, jobject o, jfieldID f) { return GetField<jbyte, 'B', &jvalue::b>(e, o, f); };
    t.GetBooleanField = [](JNIEnv* e, jobject o, jfieldID f) { return GetField<jboolean, 'Z', &jvalue::z>(e, o, f); };
    t.SetObjectField = [](JNIEnv* e, jobject o, jfieldID f, jobject v) {
        const FieldRef& ref = Field(o, f, 'L');
        if (!Fits(O(v), ref.cls->fields[ref.index].second)) Fault("a value of the wrong class into a field");
        SetField<jobject, 'L', &jvalue::l>(e, o, f, v);
    };
    t.SetLongField = [](JNIEnv* e, jobject o, jfieldID f, jlong v) { SetField<jlong, 'J', &jvalue::j>(e, o, f, v); };
    t.SetByteField = [](JNIEnv* e, jobject o, jfieldID f, jbyte v) { SetField<jbyte, 'B', &jvalue::b>(e, o, f, v); };
    t.CallObjectMethodV = &CallV<jobject, &jvalue::l>;
    t.CallBooleanMethodV = &CallV<jboolean, &jvalue::z>;
    t.CallByteMethodV = &CallV<jbyte, &jvalue::b>;
    t.CallCharMethodV = &CallV<jchar, &jvalue::c>;
    t.CallIntMethodV = &CallV<jint, &jvalue::i>;
    t.CallLongMethodV = &CallV<jlong, &jvalue::j>;
    t.CallNonvirtualBooleanMethodV = &CallNonvirtualBooleanV;
    t.NewObjectV = &NewObjectV;
    t.NewObjectA = &NewObjectA;
    t.AllocObject = [](JNIEnv*, jclass cls) -> jobject {
        NoPending("AllocObject");
        if (!cls || O(cls)->kind != Kind::Class) Fault("AllocObject without a class");
        return J(Heap::Get().New(Kind::Instance, O(cls)->self));
    };

    t.Throw = [](JNIEnv*, jthrowable ex) -> jint {
        if (!ex) Fault("Throw(null)");
        Heap::Get().pending_ = O(ex);
        return JNI_OK;
    };
    t.ThrowNew = [](JNIEnv*, jclass cls, const char* message) -> jint {
        NoPending("ThrowNew");
        Raise(O(cls)->self->name.c_str(), message);
        return JNI_OK;
    };
    t.ExceptionCheck = [](JNIEnv*) -> jboolean { return Heap::Get().pending_ ? JNI_TRUE : JNI_FALSE; };
    t.ExceptionOccurred = [](JNIEnv*) -> jthrowable { return J<jthrowable>(Heap::Get().pending_); };
    t.ExceptionClear = [](JNIEnv*) { Heap::Get().pending_ = nullptr; };

    t.NewGlobalRef = [](JNIEnv*, jobject o) -> jobject {
        NoPending("NewGlobalRef");
        return J(Heap::Get().Keep(O(o)));
    };
    t.DeleteGlobalRef = [](JNIEnv*, jobject) {};
    t.DeleteLocalRef = [](JNIEnv*, jobject) {};
    t.MonitorEnter = [](JNIEnv*, jobject o) -> jint {
        NoPending("MonitorEnter");
        if (!o) Fault("MonitorEnter(null)");
        return JNI_OK;
    };
    t.MonitorExit = [](JNIEnv*, jobject) -> jint { return JNI_OK; };

    t.NewStringUTF = [](JNIEnv*, const char* utf) -> jstring {
        NoPending("NewStringUTF");
        return J<jstring>(NewString(utf));
    };
    t.NewString = [](JNIEnv*, const jchar* chars, jsize n) -> jstring {
        NoPending("NewString");
        std::string utf;
        for (jsize i = 0; i < n; ++i) utf += static_cast<char>(chars[i] < 0x80 ? chars[i] : '?');
        return J<jstring>(NewString(utf));
    };
    t.GetStringUTFLength = [](JNIEnv*, jstring s) -> jsize {
        NoPending("GetStringUTFLength");
        if (!s || O(s)->kind != Kind::String) Fault("GetStringUTFLength of a non-string");
        return static_cast<jsize>(O(s)->utf.size());
    };
    t.GetStringUTFChars = [](JNIEnv*, jstring s, jboolean* isCopy) -> const char* {
        NoPending("GetStringUTFChars");
        if (!s || O(s)->kind != Kind::String) Fault("GetStringUTFChars of a non-string");
        if (isCopy) *isCopy = JNI_TRUE;
        const std::string& utf = O(s)->utf;
        char* copy = static_cast<char*>(std::malloc(utf.size() + 1));
        std::memcpy(copy, utf.c_str(), utf.size() + 1);
        return copy;
    };
    t.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char* chars) { std::free(const_cast<char*>(chars)); };

    t.GetArrayLength = [](JNIEnv*, jarray a) -> jsize {
        NoPending("GetArrayLength");
        if (!a || (O(a)->kind != Kind::PrimArray && O(a)->kind != Kind::ObjArray))
            Fault("GetArrayLength of a non-array");
        return static_cast<jsize>(O(a)->length);
    };
    t.NewObjectArray = [](JNIEnv*, jsize n, jclass cls, jobject init) -> jobjectArray {
        NoPending("NewObjectArray");
        if (n < 0 || !cls || O(cls)->kind != Kind::Class) Fault("NewObjectArray");
        Heap& h = Heap::Get();
        Object* a = h.New(Kind::ObjArray, h.Class(ArrayClassOf(O(cls)->self->name)));
        a->length = static_cast<size_t>(n);
        a->elements.assign(a->length, O(init));
        return J<jobjectArray>(a);
    };
    t.GetObjectArrayElement = [](JNIEnv*, jobjectArray a, jsize i) -> jobject {
        NoPending("GetObjectArrayElement");
        if (!a || O(a)->kind != Kind::ObjArray || i < 0 || static_cast<size_t>(i) >= O(a)->length)
            Fault("array element outside its array");
        return J(O(a)->elements[static_cast<size_t>(i)]);
    };
    t.SetObjectArrayElement = [](JNIEnv*, jobjectArray a, jsize i, jobject v) {
        NoPending("SetObjectArrayElement");
        if (!a || O(a)->kind != Kind::ObjArray || i < 0 || static_cast<size_t>(i) >= O(a)->length)
            Fault("array element outside its array");
        if (!Fits(O(v), O(a)->cls->name.substr(1))) Fault("a value of the wrong class into an array");
        O(a)->elements[static_cast<size_t>(i)] = O(v);
    };
    t.NewByteArray = [](JNIEnv* e, jsize n) { return static_cast<jbyteArray>(NewArray<'B'>(e, n)); };
    t.NewCharArray = [](JNIEnv* e, jsize n) { return static_cast<jcharArray>(NewArray<'C'>(e, n)); };
    t.NewLongArray = [](JNIEnv* e, jsize n) { return static_cast<jlongArray>(NewArray<'J'>(e, n)); };
    t.NewIntArray = [](JNIEnv* e, jsize n) { return static_cast<jintArray>(NewArray<'I'>(e, n)); };
    t.NewBooleanArray = [](JNIEnv* e, jsize n) { return static_cast<jbooleanArray>(NewArray<'Z'>(e, n)); };
    t.GetByteArrayRegion = [](JNIEnv* e, jbyteArray a, jsize s, jsize n, jbyte* b) { GetRegion<'B'>(e, a, s, n, b); };
    t.GetCharArrayRegion = [](JNIEnv* e, jcharArray a, jsize s, jsize n, jchar* b) { GetRegion<'C'>(e, a, s, n, b); };
    t.GetLongArrayRegion = [](JNIEnv* e, jlongArray a, jsize s, jsize n, jlong* b) { GetRegion<'J'>(e, a, s, n, b); };
    t.GetIntArrayRegion = [](JNIEnv* e, jintArray a, jsize s, jsize n, jint* b) { GetRegion<'I'>(e, a, s, n, b); };
    t.GetBooleanArrayRegion = [](JNIEnv* e, jbooleanArray a, jsize s, jsize n, jboolean* b) {
        GetRegion<'Z'>(e, a, s, n, b);
    };
    t.SetByteArrayRegion = [](JNIEnv* e, jbyteArray a, jsize s, jsize n, const jbyte* b) {
        SetRegion<'B'>(e, a, s, n, b);
    };
    t.SetCharArrayRegion = [](JNIEnv* e, jcharArray a, jsize s, jsize n, const jchar* b) {
        SetRegion<'C'>(e, a, s, n, b);
    };
    t.SetLongArrayRegion = [](JNIEnv* e, jlongArray a, jsize s, jsize n, const jlong* b) {
        SetRegion<'J'>(e, a, s, n, b);
    };
    t.SetIntArrayRegion = [](JNIEnv* e, jintArray a, jsize s, jsize n, const jint* b) {
        SetRegion<'I'>(e, a, s, n, b);
    };
    t.SetBooleanArrayRegion = [](JNIEnv* e, jbooleanArray a, jsize s, jsize n, const jboolean* b) {
        SetRegion<'Z'>(e, a, s, n, b);
    };
    return t;
}

// The one environment, its classes declared as the wrapper's Java side
// declares them.
inline JNIEnv* Env() {
    static JNINativeInterface_ table = MakeTable();
    static JNIEnv env{&table};
    static bool declared = false;
    if (!declared) {
        declared = true;
        Heap& h = Heap::Get();
        const std::string w = "iaik/pkcs/pkcs11/wrapper/";
        h.Define("java/lang/Long", {{"value", "J"}});
        h.Define("java/lang/Boolean", {{"value", "Z"}});
        h.Define("java/lang/Integer", {{"value", "I"}});
        h.Define("java/lang/Byte", {{"value", "B"}});
        h.Define("java/lang/Character", {{"value", "C"}});
        h.Define("java/lang/Short", {{"value", "S"}});
        h.Define(w + "PKCS11Exception", {{"errorCode", "J"}});
        h.Define(w + "PKCS11RuntimeException", {{"message", "Ljava/lang/String;"}});
        h.Define("java/io/IOException", {{"message", "Ljava/lang/String;"}});
        h.Define(w + "CK_ATTRIBUTE", {{"type", "J"}, {"pValue", "Ljava/lang/Object;"}});
        h.Define(w + "CK_MECHANISM", {{"mechanism", "J"}, {"pParameter", "Ljava/lang/Object;"}});
        h.Define(w + "CK_DATE", {{"year", "[C"}, {"month", "[C"}, {"day", "[C"}});
        h.Define(w + "CK_VERSION", {{"major", "B"}, {"minor", "B"}});
        h.Define(w + "CK_SSL3_RANDOM_DATA", {{"pClientRandom", "[B"}, {"pServerRandom", "[B"}});
        h.Define(w + "CK_SSL3_KEY_MAT_OUT", {{"hClientMacSecret", "J"},
                                             {"hServerMacSecret", "J"},
                                             {"hClientKey", "J"},
                                             {"hServerKey", "J"},
                                             {"pIVClient", "[B"},
                                             {"pIVServer", "[B"}});
        h.Define(w + "CK_SSL3_KEY_MAT_PARAMS", {{"ulMacSizeInBits", "J"},
                                                {"ulKeySizeInBits", "J"},
                                                {"ulIVSizeInBits", "J"},
                                                {"bIsExport", "Z"},
                                                {"RandomInfo", "L" + w + "CK_SSL3_RANDOM_DATA;"},
                                                {"pReturnedKeyMaterial", "L" + w + "CK_SSL3_KEY_MAT_OUT;"}});
        h.Define(w + "CK_SSL3_MASTER_KEY_DERIVE_PARAMS",
                 {{"RandomInfo", "L" + w + "CK_SSL3_RANDOM_DATA;"}, {"pVersion", "L" + w + "CK_VERSION;"}});
        h.Define(w + "CK_PBE_PARAMS",
                 {{"pInitVector", "[C"}, {"pPassword", "[C"}, {"pSalt", "[C"}, {"ulIteration", "J"}});
        h.Define(w + "CK_KEY_WRAP_SET_OAEP_PARAMS", {{"bBC", "B"}, {"pX", "[B"}});
        h.Define(w + "CK_AES_CBC_ENCRYPT_DATA_PARAMS", {{"iv", "[B"}, {"pData", "[B"}});
    }
    return &env;
}

}  // namespace fakejni

#endif
