// Attribute lists the way an application passes them: for the PKCS#11
// calls, and for key objects made directly; and the numbers of OpenSSL's
// keys.
#ifndef KV_TESTS_KEY_TEMPLATE_H
#define KV_TESTS_KEY_TEMPLATE_H

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "obj_factory.h"
#include "test_vectors.h"

namespace testing_kv {

class KeyTemplate {
public:
    KeyTemplate& ULong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        Bytes b(sizeof value);
        std::memcpy(b.data(), &value, sizeof value);
        return Raw(type, std::move(b));
    }
    KeyTemplate& Flag(CK_ATTRIBUTE_TYPE type, bool value) { return Raw(type, Bytes{static_cast<uint8_t>(value)}); }
    KeyTemplate& Raw(CK_ATTRIBUTE_TYPE type, Bytes value) {
        types_.push_back(type);
        values_.push_back(std::move(value));
        return *this;
    }
    KeyTemplate& Raw(CK_ATTRIBUTE_TYPE type, const void* p, size_t n) {
        return Raw(type, Bytes(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n));
    }
    KeyTemplate& Text(CK_ATTRIBUTE_TYPE type, const std::string& text) { return Raw(type, text.data(), text.size()); }
    // For a call: the entries, valid until the template changes.
    CK_ATTRIBUTE* data() {
        call_ = Attributes();
        return call_.data();
    }
    CK_ULONG size() const { return types_.size(); }
    // The entries as CK_ATTRIBUTEs pointing into this object.
    std::vector<CK_ATTRIBUTE> Attributes() const {
        std::vector<CK_ATTRIBUTE> attrs;
        for (size_t i = 0; i < types_.size(); ++i) {
            auto* value = const_cast<uint8_t*>(values_[i].empty() ? nullptr : values_[i].data());
            attrs.push_back({types_[i], value, values_[i].size()});
        }
        return attrs;
    }
    // A template attribute (CKA_WRAP_TEMPLATE and the like) as a caller
    // gives it: the CK_ATTRIBUTE array of the inner template, which must
    // outlive the object made.
    KeyTemplate& Nested(CK_ATTRIBUTE_TYPE type, const std::vector<CK_ATTRIBUTE>& inner) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(inner.data());
        return Raw(type, Bytes(bytes, bytes + inner.size() * sizeof(CK_ATTRIBUTE)));
    }
    ObjPtr Make() const {
        const std::vector<CK_ATTRIBUTE> attrs = Attributes();
        return ObjFactory::CreateObject(attrs.data(), attrs.size());
    }

private:
    std::vector<CK_ATTRIBUTE_TYPE> types_;
    std::vector<Bytes> values_;
    std::vector<CK_ATTRIBUTE> call_;
};

inline KeyTemplate SecretKey(CK_KEY_TYPE type) {
    return KeyTemplate().ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, type);
}

// An object holding exactly the given values, past the checks of the
// object classes: what a damaged or foreign object could hold. CK_ULONG
// values go in as 4 bytes (ULong4).
class RawObject : public IObj {
public:
    void Put(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
        Default(static_cast<uint32_t>(type), value.data(), static_cast<uint32_t>(value.size()));
    }
};

inline Bytes ULong4(uint32_t value) {
    Bytes b(4);
    std::memcpy(b.data(), &value, 4);
    return b;
}

inline ObjPtr MakeRaw(const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& values) {
    auto* raw = new RawObject;
    ObjPtr obj(raw);
    for (const auto& v : values) raw->Put(v.first, v.second);
    return obj;
}

// The attribute's value; empty when it is absent or empty.
inline Bytes AttrOf(const ObjPtr& obj, CK_ATTRIBUTE_TYPE type) {
    const ByteVec* v = obj->Value(static_cast<uint32_t>(type));
    return v ? *v : Bytes();
}

// A number of OpenSSL's, big-endian without leading zeros.
inline Bytes FromBn(const BIGNUM* bn) {
    Bytes b(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, b.data());
    return b;
}

inline Bytes BnParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1);
    const Bytes b = FromBn(bn);
    BN_free(bn);
    return b;
}

}  // namespace testing_kv

#endif
