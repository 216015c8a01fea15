// Key containers in the layout other platforms' middleware reads.
#ifndef KV_STORAGE_ICONTAINER_MANAGER_H
#define KV_STORAGE_ICONTAINER_MANAGER_H

#include <cstdint>
#include <string>
#include <vector>

#include "iobj.h"

enum KV_OBJ_TYPE_E : uint32_t { KV_OBJ_PRIVATE_KEY = 0, KV_OBJ_PUBLIC_KEY = 1, KV_OBJ_CERTIFICATE = 2 };
enum KV_OBJ_USAGE_E : uint32_t { KV_USAGE_SIGNATURE = 0, KV_USAGE_EXCHANGE = 1 };

struct key_pair_t {
    uint32_t references[2] = {0, 0};  // recorded key references: private, public
    ObjPtr objects[3];                 // private key, public key, certificate
    uint16_t recordedBits = 0;         // key size as the map file recorded it
    bool Empty() const { return !objects[0] && !objects[1]; }
    // No key held and none recorded (recorded ones may be another middleware's).
    bool Unused() const { return Empty() && !references[0] && !references[1]; }
};

struct container_t {
    std::string name;
    uint16_t wideName[40] = {};
    bool isDefault = false;
    key_pair_t pairs[2];
};

class IContainerManager {
public:
    virtual ~IContainerManager() = default;
    virtual RV CheckUpdate() = 0;
    virtual RV GetContainerList(std::vector<uint32_t>& indexes) = 0;
    virtual RV GetContainerName(uint32_t index, std::string& name) = 0;
    virtual RV GetContainerIndex(const std::string& name, uint32_t* index) = 0;
    virtual RV CreateContainer(const std::string& name, uint32_t* index) = 0;
    virtual RV DestroyContainer(uint32_t index) = 0;
    virtual RV AddObj(ObjPtr obj, const uint32_t* index = nullptr, const uint32_t* usage = nullptr,
                      const uint32_t* type = nullptr) = 0;
    virtual RV RemoveObj(ObjPtr obj, bool destroyEmpty) = 0;
    // An object that left the token through another process: its slot is
    // emptied, the references the map files record stay (they were read in
    // the same lock scope and name what that process left there).
    virtual RV ForgetObj(ObjPtr obj) = 0;
    virtual RV GetObj(uint32_t index, uint32_t usage, uint32_t type, ObjPtr& obj) = 0;
    virtual RV GetObjContainer(ObjPtr obj, uint32_t* index, uint32_t* usage, uint32_t* type) = 0;
    virtual bool CheckMatchedKeyObj(ObjPtr obj, uint32_t* index) = 0;
};

// Key size: 8 x modulus length for RSA, 256 or 192 for the two EC curves.
RV GetKeyBits(const IObj& obj, uint32_t& bits);
// The material that pairs keys and certificates (modulus, EC point).
RV GetCheckValue(const IObj& obj, uint32_t type, ByteVec& value);
RV GetObjTypeInContainer(const IObj& obj, uint32_t& type);
RV GetObjUsageInContainer(const IObj& obj, uint32_t type, uint32_t& usage);

#endif
