// Natives of the object calls: creating, copying, destroying, reading and
// writing attributes, and searching.
#include <algorithm>
#include <vector>

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
    return Trap(env, jlong{0}, [&]() -> jlong {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return 0;
        CkTemplate tmpl;
        if (!ConvertTemplate(env, jTemplate, tmpl)) return 0;
        CK_OBJECT_HANDLE handle = 0;
        return StatusOk(env, call(module, tmpl, &handle)) ? static_cast<jlong>(handle) : 0;
    });
}

// The buffers of one attribute between the passes of C_GetAttributeValue:
// the type asked for and the room given to the module, and for a template
// attribute the same for each nested entry.
struct ValueRoom {
    CK_ATTRIBUTE_TYPE type = 0;
    void* buffer = nullptr;
    CK_ULONG capacity = 0;
    std::vector<ValueRoom> nested;
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
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (module)
            StatusOk(env, module->C_DestroyObject(static_cast<CK_SESSION_HANDLE>(session),
                                                  static_cast<CK_OBJECT_HANDLE>(object)));
    });
}

KV_NATIVE(jlong, C_1GetObjectSize)(JNIEnv* env, jobject self, jlong session, jlong object) {
    return Trap(env, jlong{0}, [&]() -> jlong {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return 0;
        CK_ULONG size = 0;
        CK_RV rv = module->C_GetObjectSize(static_cast<CK_SESSION_HANDLE>(session),
                                           static_cast<CK_OBJECT_HANDLE>(object), &size);
        return StatusOk(env, rv) ? static_cast<jlong>(size) : 0;
    });
}

KV_NATIVE(jlongArray, C_1FindObjects)(JNIEnv* env, jobject self, jlong session, jlong maxCount) {
    return Trap(env, jlongArray{}, [&]() -> jlongArray {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return nullptr;
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
        std::vector<jlong> values(handles.begin(), handles.begin() + static_cast<std::ptrdiff_t>(found));
        jlongArray result = env->NewLongArray(static_cast<jsize>(found));
        if (result && found) env->SetLongArrayRegion(result, 0, static_cast<jsize>(found), values.data());
        return result;
    });
}

KV_NATIVE(void, C_1GetAttributeValue)(JNIEnv* env, jobject self, jlong session, jlong object, jobjectArray jTemplate) {
    TrapVoid(env, [&] {
        CK_FUNCTION_LIST_PTR module = ConnectedFunctions(env, self);
        if (!module) return;
        auto hSession = static_cast<CK_SESSION_HANDLE>(session);
        auto hObject = static_cast<CK_OBJECT_HANDLE>(object);
        jsize n = jTemplate ? env->GetArrayLength(jTemplate) : 0;
        std::vector<CK_ATTRIBUTE_TYPE> types(static_cast<size_t>(n));
        if (jTemplate && jAttributeArrayTypes(env, jTemplate, types.data(), n) != 0) return;
        std::vector<CK_ATTRIBUTE> attributes(static_cast<size_t>(n) + 1);
        std::vector<ValueRoom> rooms(static_cast<size_t>(n));
        CK_ATTRIBUTE_PTR tmpl = jTemplate ? attributes.data() : nullptr;
        auto count = static_cast<CK_ULONG>(n);

        // Pass 1: the lengths.
        for (jsize i = 0; i < n; ++i) {
            attributes[i] = CK_ATTRIBUTE{types[i], nullptr, 0};
            rooms[i].type = types[i];
        }
        if (!StatusOk(env, module->C_GetAttributeValue(hSession, hObject, tmpl, count))) return;

        // Pass 2: the values; a template attribute learns its entries' lengths.
        NativeArena arena;
        for (jsize i = 0; i < n; ++i) {
            if (!MakeRoom(env, arena, rooms[i], attributes[i].ulValueLen)) return;
            attributes[i] = CK_ATTRIBUTE{types[i], rooms[i].buffer, rooms[i].capacity};
        }
        if (!StatusOk(env, module->C_GetAttributeValue(hSession, hObject, tmpl, count))) return;

        // Pass 3: the entries of template attributes get their own buffers.
        for (jsize i = 0; i < n; ++i) {
            attributes[i] = CK_ATTRIBUTE{types[i], rooms[i].buffer, rooms[i].capacity};
            if (!IsTemplateAttribute(types[i]) || !rooms[i].buffer) continue;
            auto* entries = static_cast<CK_ATTRIBUTE*>(rooms[i].buffer);
            rooms[i].nested.resize(rooms[i].capacity / sizeof(CK_ATTRIBUTE));
            for (size_t j = 0; j < rooms[i].nested.size(); ++j) {
                ValueRoom& inner = rooms[i].nested[j];
                inner.type = entries[j].type;
                if (!MakeRoom(env, arena, inner, entries[j].ulValueLen)) return;
                entries[j] = CK_ATTRIBUTE{inner.type, inner.buffer, inner.capacity};
            }
        }
        CK_RV rv = module->C_GetAttributeValue(hSession, hObject, tmpl, count);

        for (jsize i = 0; i < n; ++i) {
            const ValueRoom& room = rooms[i];
            CK_ATTRIBUTE view{room.type, room.buffer, Returned(room, attributes[i].ulValueLen)};
            std::vector<CK_ATTRIBUTE> entries;
            if (IsTemplateAttribute(room.type) && room.buffer) {
                const auto* returned = static_cast<const CK_ATTRIBUTE*>(room.buffer);
                size_t used = std::min<size_t>(view.ulValueLen / sizeof(CK_ATTRIBUTE), room.nested.size());
                for (size_t j = 0; j < used; ++j) {
                    const ValueRoom& inner = room.nested[j];
                    entries.push_back(CK_ATTRIBUTE{inner.type, inner.buffer, Returned(inner, returned[j].ulValueLen)});
                }
                view.pValue = entries.empty() ? nullptr : entries.data();
                view.ulValueLen = entries.size() * sizeof(CK_ATTRIBUTE);
            }
            LocalRef<jobject> element(env, ckAttributePtrToJAttribute(env, &view));
            if (!element) return;
            env->SetObjectArrayElement(jTemplate, i, element.get());
            if (Pending(env)) return;
        }
        StatusOk(env, rv);
    });
}
