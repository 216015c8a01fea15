// Natives of the object calls: creating, copying, destroying, reading and
// writing attributes, and searching.
#include <algorithm>
#include <vector>

#include "array_copy.h"
#include "convert_attribute.h"
#include "native_call.h"

namespace {

// A converted Java template.
struct CkTemplate {
    NativeArena arena;
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
};

bool ConvertTemplate(JNIEnv* env, jobjectArray jTemplate, CkTemplate& out) {
    return jAttributeArrayToCKAttributeArray(env, jTemplate, out.arena, &out.attributes, &out.count) == 0;
}

// The natives that pass a template and get back one handle.
template <typename Call>
jlong TemplateCall(JNIEnv* env, jobject self, jobjectArray jTemplate, Call call) {
    return ModuleCall(env, self, jlong{0}, [&](CK_FUNCTION_LIST_PTR module) -> jlong {
        CkTemplate tmpl;
        if (!ConvertTemplate(env, jTemplate, tmpl)) return 0;
        CK_OBJECT_HANDLE handle = 0;
        return StatusOk(env, call(module, tmpl, &handle)) ? static_cast<jlong>(handle) : 0;
    });
}

// The buffers of one attribute between the passes of C_GetAttributeValue:
// the room given to the module, and for a template attribute the type and
// room of each entry.
struct ValueRoom {
    CK_ATTRIBUTE_TYPE type = 0;
    void* buffer = nullptr;
    CK_ULONG capacity = 0;
    std::vector<ValueRoom> entries;
};

// A buffer of the length the module reported; false after throwing.
bool MakeRoom(JNIEnv* env, NativeArena& arena, ValueRoom& room, CK_ULONG length) {
    if (length == CK_UNAVAILABLE_INFORMATION || length == 0) return true;
    if (length > 0x7FFFFFFF) {
        throwOutOfMemoryError(env);
        return false;
    }
    room.buffer = arena.Alloc(env, length);
    room.capacity = length;
    return room.buffer != nullptr;
}

// What the module returned for one attribute, seen through our own buffers
// and never longer than them.
CK_ULONG Returned(const ValueRoom& room, CK_ULONG length) {
    return length == CK_UNAVAILABLE_INFORMATION ? 0 : std::min(length, room.capacity);
}

// Whole CK_ATTRIBUTE entries in a template length.
CK_ULONG Entries(CK_ULONG length) {
    return length == CK_UNAVAILABLE_INFORMATION ? 0 : length / sizeof(CK_ATTRIBUTE);
}

}  // namespace

KV_NATIVE(jlong, C_1CreateObject)(JNIEnv* env, jobject self, jlong session, jobjectArray jTemplate) {
    return TemplateCall(env, self, jTemplate, [&](CK_FUNCTION_LIST_PTR m, CkTemplate& t, CK_OBJECT_HANDLE_PTR h) {
        return m->C_CreateObject(static_cast<CK_SESSION_HANDLE>(session), t.attributes, t.count, h);
    });
}

KV_NATIVE(jlong, C_1CopyObject)(JNIEnv* env, jobject self, jlong session, jlong object, jobjectArray jTemplate) {
    return TemplateCall(env, self, jTemplate, [&](CK_FUNCTION_LIST_PTR m, CkTemplate& t, CK_OBJECT_HANDLE_PTR h) {
        return m->C_CopyObject(static_cast<CK_SESSION_HANDLE>(session), static_cast<CK_OBJECT_HANDLE>(object),
                               t.attributes, t.count, h);
    });
}

KV_NATIVE(void, C_1SetAttributeValue)(JNIEnv* env, jobject self, jlong session, jlong object, jobjectArray jTemplate) {
    TemplateCall(env, self, jTemplate, [&](CK_FUNCTION_LIST_PTR m, CkTemplate& t, CK_OBJECT_HANDLE_PTR) {
        return m->C_SetAttributeValue(static_cast<CK_SESSION_HANDLE>(session), static_cast<CK_OBJECT_HANDLE>(object),
                                      t.attributes, t.count);
    });
}

KV_NATIVE(void, C_1FindObjectsInit)(JNIEnv* env, jobject self, jlong session, jobjectArray jTemplate) {
    TemplateCall(env, self, jTemplate, [&](CK_FUNCTION_LIST_PTR m, CkTemplate& t, CK_OBJECT_HANDLE_PTR) {
        return m->C_FindObjectsInit(static_cast<CK_SESSION_HANDLE>(session), t.attributes, t.count);
    });
}

KV_NATIVE(void, C_1DestroyObject)(JNIEnv* env, jobject self, jlong session, jlong object) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        StatusOk(env, module->C_DestroyObject(static_cast<CK_SESSION_HANDLE>(session),
                                              static_cast<CK_OBJECT_HANDLE>(object)));
    });
}

KV_NATIVE(jlong, C_1GetObjectSize)(JNIEnv* env, jobject self, jlong session, jlong object) {
    return ModuleCall(env, self, jlong{0}, [&](CK_FUNCTION_LIST_PTR module) -> jlong {
        CK_ULONG size = 0;
        CK_RV rv = module->C_GetObjectSize(static_cast<CK_SESSION_HANDLE>(session),
                                           static_cast<CK_OBJECT_HANDLE>(object), &size);
        return StatusOk(env, rv) ? static_cast<jlong>(size) : 0;
    });
}

KV_NATIVE(jlongArray, C_1FindObjects)(JNIEnv* env, jobject self, jlong session, jlong maxCount) {
    return ModuleCall(env, self, jlongArray{}, [&](CK_FUNCTION_LIST_PTR module) -> jlongArray {
        if (maxCount < 0 || maxCount > 0x7FFFFFFF / static_cast<jlong>(sizeof(CK_ULONG))) {
            ckAssertReturnValueOK(env, CKR_ARGUMENTS_BAD);
            return nullptr;
        }
        std::vector<CK_OBJECT_HANDLE> handles(static_cast<size_t>(maxCount) + 1);
        CK_ULONG found = 0;
        CK_RV rv = module->C_FindObjects(static_cast<CK_SESSION_HANDLE>(session), handles.data(),
                                         static_cast<CK_ULONG>(maxCount), &found);
        if (!StatusOk(env, rv)) return nullptr;
        found = std::min(found, static_cast<CK_ULONG>(maxCount));
        return arraycopy::NewJava<jlongArray>(env, handles.data(), handles.size(), found);
    });
}

// Three passes, as PKCS#11 reads array attributes: the lengths (a
// template's is its entry count times the size of CK_ATTRIBUTE); the values,
// a template getting an array of entries whose pValue is null, for which
// the module tells each entry's type and length; and, with a buffer for
// every entry, the entries' values. Every length the module reports is read
// through the buffers it was given, never beyond.
KV_NATIVE(void, C_1GetAttributeValue)(JNIEnv* env, jobject self, jlong session, jlong object, jobjectArray jTemplate) {
    ModuleCallVoid(env, self, [&](CK_FUNCTION_LIST_PTR module) {
        auto hSession = static_cast<CK_SESSION_HANDLE>(session);
        auto hObject = static_cast<CK_OBJECT_HANDLE>(object);
        jsize n = jTemplate ? env->GetArrayLength(jTemplate) : 0;
        std::vector<CK_ATTRIBUTE_TYPE> types(static_cast<size_t>(n));
        if (jTemplate && jAttributeArrayTypes(env, jTemplate, types.data(), n) != 0) return;
        std::vector<CK_ATTRIBUTE> attributes(static_cast<size_t>(n) + 1);
        std::vector<ValueRoom> rooms(static_cast<size_t>(n));
        CK_ATTRIBUTE_PTR tmpl = jTemplate ? attributes.data() : nullptr;
        auto count = static_cast<CK_ULONG>(n);
        auto call = [&] { return module->C_GetAttributeValue(hSession, hObject, tmpl, count); };
        // Each attribute with its own buffer, a template with its entries.
        auto give = [&] {
            for (jsize i = 0; i < n; ++i) {
                ValueRoom& room = rooms[i];
                attributes[i] = CK_ATTRIBUTE{room.type, room.buffer, room.capacity};
                if (!IsTemplateAttribute(room.type) || !room.buffer) continue;
                auto* entries = static_cast<CK_ATTRIBUTE*>(room.buffer);
                for (size_t j = 0; j < room.entries.size(); ++j)
                    entries[j] = CK_ATTRIBUTE{room.entries[j].type, room.entries[j].buffer, room.entries[j].capacity};
            }
        };

        // Pass 1: the lengths.
        for (jsize i = 0; i < n; ++i) {
            attributes[i] = CK_ATTRIBUTE{types[i], nullptr, 0};
            rooms[i].type = types[i];
        }
        if (!StatusOk(env, call())) return;

        // Pass 2: the values; a template's entries, their pValue null, learn
        // their types and lengths. Whole entries only, and no more than a
        // Java template may nest.
        NativeArena arena;
        for (jsize i = 0; i < n; ++i) {
            CK_ULONG length = attributes[i].ulValueLen;
            if (IsTemplateAttribute(types[i]))
                length = std::min(Entries(length), kMaxNestedAttributes) * sizeof(CK_ATTRIBUTE);
            if (!MakeRoom(env, arena, rooms[i], length)) return;
        }
        give();
        if (!StatusOk(env, call())) return;

        // Pass 3: every entry the module described gets a buffer of its length.
        for (jsize i = 0; i < n; ++i) {
            ValueRoom& room = rooms[i];
            if (!IsTemplateAttribute(room.type) || !room.buffer) continue;
            const auto* described = static_cast<const CK_ATTRIBUTE*>(room.buffer);
            room.entries.resize(Entries(Returned(room, attributes[i].ulValueLen)));
            for (size_t j = 0; j < room.entries.size(); ++j) {
                room.entries[j].type = described[j].type;
                if (!MakeRoom(env, arena, room.entries[j], described[j].ulValueLen)) return;
            }
            room.capacity = room.entries.size() * sizeof(CK_ATTRIBUTE);
        }
        give();
        CK_RV rv = call();

        for (jsize i = 0; i < n; ++i) {
            const ValueRoom& room = rooms[i];
            CK_ATTRIBUTE view{room.type, room.buffer, Returned(room, attributes[i].ulValueLen)};
            std::vector<CK_ATTRIBUTE> entries;
            if (IsTemplateAttribute(room.type) && room.buffer) {
                // Our own entry buffers, with the lengths the module wrote
                // into the entry array, each cut to its buffer.
                const auto* returned = static_cast<const CK_ATTRIBUTE*>(room.buffer);
                const size_t got = std::min<size_t>(Entries(view.ulValueLen), room.entries.size());
                for (size_t j = 0; j < got; ++j) {
                    const ValueRoom& entry = room.entries[j];
                    entries.push_back(CK_ATTRIBUTE{entry.type, entry.buffer, Returned(entry, returned[j].ulValueLen)});
                }
                view.pValue = entries.empty() ? nullptr : entries.data();
                view.ulValueLen = entries.size() * sizeof(CK_ATTRIBUTE);
            }
            LocalRef<jobject> element(env, ckAttributePtrToJAttribute(env, &view));
            if (Pending(env)) return;
            env->SetObjectArrayElement(jTemplate, i, element.get());
            if (Pending(env)) return;
        }
        StatusOk(env, rv);
    });
}
