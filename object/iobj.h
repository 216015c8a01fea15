// A PKCS#11 object: its attributes and handle, and the class rule check.
#ifndef KV_OBJECT_IOBJ_H
#define KV_OBJECT_IOBJ_H

#include <cstdint>
#include <map>
#include <vector>

#include "attr_value.h"
#include "kv_types.h"
#include "shared_ptr.h"

class IObj {
public:
    explicit IObj(uint32_t handle = 0) : handle_(handle) {}
    virtual ~IObj();
    IObj(const IObj&) = delete;
    IObj& operator=(const IObj&) = delete;

    // Removes all attributes; the handle stays.
    virtual void Destroy();
    // Validates and completes the attributes; here only CKA_CLASS is required.
    virtual CK_RV CheckAttributes();

    // length in: the buffer's size; out: the value's size.
    CK_RV GetAttr(uint32_t type, void* buffer, uint32_t* length) const;
    // Creates or replaces with the kept form of the value (see attr_value.h);
    // a malformed value is CKR_ATTRIBUTE_VALUE_INVALID.
    CK_RV SetAttr(uint32_t type, const void* data, uint32_t length, AttrForm form = AttrForm::Caller);
    // Sets every entry in order, then checks the class rules; a type given
    // twice is CKR_TEMPLATE_INCONSISTENT.
    CK_RV Init(const CK_ATTRIBUTE* tmpl, CK_ULONG count, AttrForm form = AttrForm::Caller);
    void GetAllTags(std::vector<uint32_t>& tags) const;
    bool HasAttr(uint32_t type) const { return attributes_.count(type) != 0; }
    // The value bytes, or null when absent.
    const ByteVec* Value(uint32_t type) const;

    uint32_t GetHandle() const { return handle_; }
    void SetHandle(uint32_t handle) { handle_ = handle; }

protected:
    // Adds the attribute with the given value, already in kept form, when it is absent.
    void Default(uint32_t type, const void* data, uint32_t length);
    void DefaultBool(uint32_t type, bool value);
    void DefaultEmpty(uint32_t type) { Default(type, nullptr, 0); }
    void DefaultULong(uint32_t type, uint32_t value) { Default(type, &value, 4); }
    // Reads a 4-byte value: absent or of another size -> CKR_TEMPLATE_INCOMPLETE,
    // another value -> CKR_TEMPLATE_INCONSISTENT.
    CK_RV Expect(uint32_t type, uint32_t value) const;
    CK_RV Require(uint32_t type) const { return HasAttr(type) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE; }

private:
    uint32_t handle_;
    std::map<CK_ATTRIBUTE_TYPE, ByteVec> attributes_;
};

using ObjPtr = kv::shared_ptr<IObj>;

// First entry of the given type, or null.
const CK_ATTRIBUTE* FindAttr(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type);

#endif
