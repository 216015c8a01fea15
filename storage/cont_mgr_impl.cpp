#include "cont_mgr_impl.h"

#include "guid_text.h"
#include "random.h"
#include "utils.h"

uint32_t ContMgrImpl::KeyRef(const IObj& obj) {
    uint32_t v = 0, len = 4;
    return obj.GetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &v, &len) == CKR_OK && len == 4 ? v : 0;
}

RV ContMgrImpl::GetContainerList(std::vector<uint32_t>& indexes) {
    for (const auto& c : containers_) indexes.push_back(c.first);
    return 0;
}

RV ContMgrImpl::GetContainerName(uint32_t index, std::string& name) {
    auto it = containers_.find(index);
    if (it == containers_.end()) return SCARD_E_NO_KEY_CONTAINER;
    name = it->second.name;
    return 0;
}

RV ContMgrImpl::GetContainerIndex(const std::string& name, uint32_t* index) {
    for (const auto& c : containers_) {
        if (c.second.name == name) {
            if (index) *index = c.first;
            return 0;
        }
    }
    return SCARD_E_NO_KEY_CONTAINER;
}

RV ContMgrImpl::CreateContainer(const std::string& name, uint32_t* index) {
    uint32_t existing = 0;
    if (GetContainerIndex(name, &existing) == 0) {
        if (index) *index = existing;
        return RV_ALREADY_EXISTS;
    }
    uint32_t i = 0;
    while (containers_.count(i)) ++i;
    container_t& c = containers_[i];
    c.name = name.substr(0, 39);
    ConvertCharArrayToU2(c.wideName, c.name.data(), static_cast<uint32_t>(c.name.size()));
    if (index) *index = i;
    return 0;
}

RV ContMgrImpl::DestroyContainer(uint32_t index) {
    containers_.erase(index);
    return 0;
}

void ContMgrImpl::SetReference(container_t& c, uint32_t reference, uint32_t usage, uint32_t type) {
    key_pair_t& pair = c.pairs[usage];
    pair.references[type] = reference;
    const ObjPtr& obj = pair.objects[type];
    if (obj && !(reference && KeyRef(*obj) == reference)) pair.objects[type].reset();
}

uint32_t ContMgrImpl::GetReference(const container_t& c, uint32_t usage, uint32_t type) {
    const key_pair_t& pair = c.pairs[usage];
    return pair.objects[type] ? KeyRef(*pair.objects[type]) : pair.references[type];
}

RV ContMgrImpl::FindContainerByReference(uint32_t reference, uint32_t& index, uint32_t& usage) const {
    for (const auto& c : containers_) {
        for (uint32_t u = 0; u < 2; ++u) {
            const key_pair_t& pair = c.second.pairs[u];
            if (pair.references[0] == reference || pair.references[1] == reference) {
                index = c.first;
                usage = u;
                return 0;
            }
        }
    }
    return SCARD_E_NO_KEY_CONTAINER;
}

RV ContMgrImpl::FindContainerByCheckvalue(const ByteVec& value, uint32_t& index, uint32_t& usage) const {
    for (const auto& c : containers_) {
        for (uint32_t u = 0; u < 2; ++u) {
            for (uint32_t t = 0; t < 3; ++t) {
                const ObjPtr& obj = c.second.pairs[u].objects[t];
                ByteVec other;
                if (!obj || GetCheckValue(*obj, t, other) != 0) continue;
                if (other == value) {
                    index = c.first;
                    usage = u;
                    return 0;
                }
            }
        }
    }
    return SCARD_E_NO_KEY_CONTAINER;
}

std::string ContMgrImpl::NewContainerName() {
    uint8_t r[16] = {};
    genrate_random_bytes(r, sizeof r);
    return GuidText(r, sizeof r);
}

RV ContMgrImpl::AddObj(ObjPtr obj, const uint32_t* index, const uint32_t* usage, const uint32_t* type) {
    if (!obj) return CKR_ARGUMENTS_BAD;
    uint32_t t = 0;
    if (type) {
        t = *type;
    } else {
        RV rv = GetObjTypeInContainer(*obj, t);
        if (rv) return rv;
    }
    if (t > 2) return RV_NOT_SUPPORTED;
    auto place = [&](uint32_t i, uint32_t u) {
        container_t& c = containers_[i];
        c.pairs[u].objects[t] = obj;
        if (const uint32_t ref = t < 2 ? KeyRef(*obj) : 0) SetReference(c, ref, u, t);
        return RV(0);
    };
    if (index && usage) {
        if (*usage > 1) return RV_NOT_SUPPORTED;
        return place(*index, *usage);
    }
    uint32_t u = 0;
    bool haveUsage = true;
    if (usage) {
        u = *usage;
    } else if (GetObjUsageInContainer(*obj, t, u) != 0) {
        if (t != KV_OBJ_CERTIFICATE) return CKR_GENERAL_ERROR;
        haveUsage = false;
    }
    if (u > 1) return RV_NOT_SUPPORTED;
    uint32_t found = 0;
    if (haveUsage && t < 2) {
        // A recorded reference decides the half too, whatever the key's
        // attributes say: the map is what other middleware reads.
        uint32_t recordedUsage = 0;
        if (const uint32_t ref = KeyRef(*obj); ref && FindContainerByReference(ref, found, recordedUsage) == 0)
            return place(found, recordedUsage);
    }
    ByteVec value;
    uint32_t matchedUsage = 0;
    if (GetCheckValue(*obj, t, value) == 0 && FindContainerByCheckvalue(value, found, matchedUsage) == 0)
        return place(found, matchedUsage);
    if (t == KV_OBJ_CERTIFICATE) return 0;  // no key of its own: in no container
    uint32_t fresh = 0;
    RV rv = RV_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 8 && rv == RV_ALREADY_EXISTS; ++attempt) rv = CreateContainer(NewContainerName(), &fresh);
    if (rv) return rv;
    return place(fresh, u);
}

RV ContMgrImpl::RemoveObj(ObjPtr obj, bool destroyEmpty) {
    if (!obj) return 0;
    for (auto it = containers_.begin(); it != containers_.end(); ++it) {
        for (auto& pair : it->second.pairs) {
            for (uint32_t t = 0; t < 3; ++t) {
                if (pair.objects[t].get() != obj.get()) continue;
                pair.objects[t].reset();
                // The key is gone: its reference must not match a new key that reuses the file.
                if (t < 2) pair.references[t] = 0;
                if (pair.Unused()) pair.recordedBits = 0;
                if (destroyEmpty && it->second.pairs[0].Unused() && it->second.pairs[1].Unused()) containers_.erase(it);
                return 0;
            }
        }
    }
    return 0;
}

RV ContMgrImpl::ForgetObj(ObjPtr obj) {
    uint32_t index = 0, usage = 0, type = 0;
    if (GetObjContainer(obj, &index, &usage, &type) == 0) containers_[index].pairs[usage].objects[type].reset();
    return 0;
}

RV ContMgrImpl::GetObj(uint32_t index, uint32_t usage, uint32_t type, ObjPtr& obj) {
    if (usage > 1 || type > 2) return CKR_ARGUMENTS_BAD;
    auto it = containers_.find(index);
    if (it == containers_.end()) return RV_NO_CONTAINER;
    obj = it->second.pairs[usage].objects[type];
    return 0;
}

RV ContMgrImpl::GetObjContainer(ObjPtr obj, uint32_t* index, uint32_t* usage, uint32_t* type) {
    for (const auto& c : containers_) {
        for (uint32_t u = 0; u < 2; ++u) {
            for (uint32_t t = 0; t < 3; ++t) {
                if (obj && c.second.pairs[u].objects[t].get() == obj.get()) {
                    if (index) *index = c.first;
                    if (usage) *usage = u;
                    if (type) *type = t;
                    return 0;
                }
            }
        }
    }
    return SCARD_E_NO_KEY_CONTAINER;
}

bool ContMgrImpl::CheckMatchedKeyObj(ObjPtr obj, uint32_t* index) {
    if (!obj) return false;
    const ByteVec* modulus = obj->Value(CKA_MODULUS);
    uint32_t cls = 0, len = 4;
    if (obj->GetAttr(CKA_CLASS, &cls, &len) != CKR_OK) return true;
    for (const auto& c : containers_) {
        for (const auto& pair : c.second.pairs) {
            for (uint32_t t = 0; t < 3; ++t) {
                const ObjPtr& other = pair.objects[t];
                if (!other) continue;
                uint32_t otherCls = 0, otherLen = 4;
                if (other->GetAttr(CKA_CLASS, &otherCls, &otherLen) != CKR_OK) return true;
                ByteVec value;
                if (modulus && otherCls != cls && GetCheckValue(*other, t, value) == 0 && value == *modulus) {
                    if (index) *index = c.first;
                    return true;
                }
            }
        }
    }
    return false;
}
