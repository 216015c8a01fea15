#include "container_name.h"

#include "guid_text.h"
#include "random.h"

namespace {

constexpr size_t kGuidBytes = 16;
constexpr int kNameDraws = 16;

}  // namespace

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
