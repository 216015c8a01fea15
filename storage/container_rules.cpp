// Which slot of a container an object takes, and what pairs keys together.
#include <cstring>

#include "icontainer_manager.h"
#include "pubkey_backend.h"

namespace {

uint32_t ULong(const IObj& obj, uint32_t type, RV& rv) {
    uint32_t v = 0, len = 4;
    rv = obj.GetAttr(type, &v, &len);
    return v;
}

bool Flag(const IObj& obj, uint32_t type) {
    uint8_t v = 0;
    uint32_t len = 1;
    return obj.GetAttr(type, &v, &len) == CKR_OK && v;
}

}  // namespace

RV GetObjTypeInContainer(const IObj& obj, uint32_t& type) {
    RV rv = 0;
    const uint32_t cls = ULong(obj, CKA_CLASS, rv);
    if (rv) return rv;
    if (cls == CKO_PRIVATE_KEY || cls == CKO_PUBLIC_KEY) {
        const uint32_t keyType = ULong(obj, CKA_KEY_TYPE, rv);
        if (rv) return rv;
        if (keyType != CKK_RSA && keyType != CKK_EC) return CKR_GENERAL_ERROR;
        type = cls == CKO_PRIVATE_KEY ? KV_OBJ_PRIVATE_KEY : KV_OBJ_PUBLIC_KEY;
        return 0;
    }
    if (cls == CKO_CERTIFICATE) {
        const uint32_t certType = ULong(obj, CKA_CERTIFICATE_TYPE, rv);
        if (rv) return rv;
        if (certType != CKC_X_509) return CKR_GENERAL_ERROR;
        type = KV_OBJ_CERTIFICATE;
        return 0;
    }
    return CKR_GENERAL_ERROR;
}

RV GetObjUsageInContainer(const IObj& obj, uint32_t type, uint32_t& usage) {
    if (type == KV_OBJ_PRIVATE_KEY) {
        usage = Flag(obj, CKA_DECRYPT) ? KV_USAGE_EXCHANGE : KV_USAGE_SIGNATURE;
    } else if (type == KV_OBJ_PUBLIC_KEY) {
        usage = Flag(obj, CKA_ENCRYPT) ? KV_USAGE_EXCHANGE : KV_USAGE_SIGNATURE;
    } else {
        return CKR_GENERAL_ERROR;
    }
    return 0;
}

RV GetKeyBits(const IObj& obj, uint32_t& bits) {
    RV rv = 0;
    const uint32_t keyType = ULong(obj, CKA_KEY_TYPE, rv);
    if (rv) return CKR_GENERAL_ERROR;
    if (keyType == CKK_RSA) {
        const ByteVec* modulus = obj.Value(CKA_MODULUS);
        bits = modulus ? static_cast<uint32_t>(8 * modulus->size()) : 0;
        return 0;
    }
    if (keyType == CKK_EC) {
        static const uint8_t kP256[10] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
        static const uint8_t kP192[10] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x01};
        const ByteVec* params = obj.Value(CKA_EC_PARAMS);
        if (params && params->size() >= 10) {
            if (std::memcmp(params->data(), kP256, 10) == 0) {
                bits = 256;
                return 0;
            }
            if (std::memcmp(params->data(), kP192, 10) == 0) {
                bits = 192;
                return 0;
            }
        }
    }
    return CKR_GENERAL_ERROR;
}

RV GetCheckValue(const IObj& obj, uint32_t type, ByteVec& value) {
    if (type == KV_OBJ_CERTIFICATE || !obj.HasAttr(CKA_KEY_TYPE)) {
        const ByteVec* der = obj.Value(CKA_VALUE);
        return der && CertificateRsaModulus(der->data(), der->size(), value) ? 0 : CKR_GENERAL_ERROR;
    }
    RV rv = 0;
    const uint32_t keyType = ULong(obj, CKA_KEY_TYPE, rv);
    if (rv) return CKR_GENERAL_ERROR;
    const ByteVec* v = nullptr;
    if (keyType == CKK_RSA) {
        v = obj.Value(CKA_MODULUS);
    } else if (keyType == CKK_EC) {
        if (type == KV_OBJ_PRIVATE_KEY) return RV_NOT_SUPPORTED;
        v = obj.Value(CKA_EC_POINT);
    } else {
        return CKR_GENERAL_ERROR;
    }
    if (!v) return CKR_GENERAL_ERROR;
    value = *v;
    return 0;
}
