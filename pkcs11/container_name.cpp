#include "container_name.h"

#include <cstdio>

#include "random_backend.h"

namespace {

constexpr size_t kGuidBytes = 16;
constexpr int kNameDraws = 16;

}  // namespace

std::string GuidText(const uint8_t* bytes, size_t length) {
    uint8_t b[kGuidBytes] = {};
    for (size_t i = 0; i < kGuidBytes && i < length; ++i) b[i] = bytes[i];
    char text[40];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

CK_RV ObjectContainerName(IContainerManager& containers, const ObjPtr& obj, std::string& name) {
    uint32_t index = 0;
    const RV found = containers.GetObjContainer(obj, &index, nullptr, nullptr);
    if (found == 0) return containers.GetContainerName(index, name) == 0 ? CKR_OK : CKR_GENERAL_ERROR;
    if (found != SCARD_E_NO_KEY_CONTAINER) return CKR_GENERAL_ERROR;
    uint32_t cls = 0, len = sizeof cls;
    if (obj->GetAttr(CKA_CLASS, &cls, &len) != CKR_OK || cls != CKO_CERTIFICATE) return RV_NOT_FOUND;
    ByteVec material;
    if (GetCheckValue(*obj, KV_OBJ_CERTIFICATE, material) != 0 || material.empty()) {
        const ByteVec* value = obj->Value(CKA_VALUE);
        if (!value || value->empty()) return RV_NOT_FOUND;
        material = *value;
    }
    name = GuidText(material.data(), material.size());
    return CKR_OK;
}

CK_RV CreateFreshContainer(IContainerManager& containers, uint32_t* index) {
    for (int draw = 0; draw < kNameDraws; ++draw) {
        uint8_t random[kGuidBytes];
        if (genrate_random_bytes(random, sizeof random) != sizeof random) return CKR_GENERAL_ERROR;
        const std::string name = GuidText(random, sizeof random);
        if (containers.GetContainerIndex(name, nullptr) == 0) continue;
        const RV rv = containers.CreateContainer(name, index);
        if (rv != RV_ALREADY_EXISTS) return rv;
    }
    return CKR_GENERAL_ERROR;
}
