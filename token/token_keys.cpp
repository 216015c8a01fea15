// CTokenTarn: key files, key pair generation, key parts and secret keys,
// and reading public keys back.
#include <cstring>

#include "byte_order.h"
#include "secure_wipe.h"
#include "token_tarn.h"

namespace {

constexpr uint32_t kKeyItemMax = 498;  // key bytes in one key-item command
constexpr uint32_t kPublicKeyArea = 500;

uint8_t Hi(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(uint32_t v) { return static_cast<uint8_t>(v); }

// Control parameters of a key file: descriptor, FID, key size, security
// attributes (and the proprietary object of a public-key file).
ByteVec KeyFileFcp(uint32_t fid, uint32_t kind, uint32_t bits, bool isPublic) {
    uint8_t descriptor = isPublic ? 0x12 : 0x11;
    uint32_t size = kind == CTokenTarn::kKindRsa ? bits : 0x0800;
    if (kind == CTokenTarn::kKindEc) {
        descriptor = isPublic ? 0x14 : 0x13;
        size = 0x0100;
    }
    ByteVec fcp = {0x62, static_cast<uint8_t>(isPublic ? 0x1A : 0x16), 0x82, 0x02, descriptor, 0x00,
                   0x83, 0x02, Hi(fid), Lo(fid), 0x85, 0x02, Hi(size), Lo(size),
                   0x86, 0x08, static_cast<uint8_t>(isPublic ? 0x90 : 0xFF), 0xB6, 0xB6, 0x96, 0xFF, 0xFF, 0xFF, 0xFF};
    if (isPublic) fcp.insert(fcp.end(), {0x87, 0x02, 0x00, 0x66});
    return fcp;
}

// Two fields of a public-key answer into the caller's buffers: both must
// lie in the answer; a null buffer only learns its length, a short one gets
// RV_BUFFER_TOO_SMALL (with both lengths reported).
RV CopyFields(const ByteVec& a, uint32_t at1, uint32_t len1, uint8_t* out1, uint32_t* cap1, uint32_t at2, uint32_t len2,
              uint8_t* out2, uint32_t* cap2) {
    if (a.size() < at1 + len1 || a.size() < at2 + len2) return CKR_DEVICE_ERROR;
    const bool fits = (!out1 || *cap1 >= len1) && (!out2 || *cap2 >= len2);
    *cap1 = len1;
    *cap2 = len2;
    if (!fits) return RV_BUFFER_TOO_SMALL;
    if (out1 && len1) std::memcpy(out1, a.data() + at1, len1);
    if (out2 && len2) std::memcpy(out2, a.data() + at2, len2);
    return 0;
}

}  // namespace

RV CTokenTarn::CreateFileWithFcp(uint32_t fid, const ByteVec& fcp) {
    DeleteFile(static_cast<uint16_t>(fid));  // a missing file is no failure
    return CommandResult(im_TransmitAPDU(apdu::CreateFile(fcp), nullptr, nullptr, false));
}

RV CTokenTarn::cmdCreateAsymKeyPubFile(uint32_t fid, uint32_t kind, uint32_t bits) {
    return CreateFileWithFcp(fid, KeyFileFcp(fid, kind, bits, true));
}

RV CTokenTarn::cmdCreateAsymKeyPriFile(uint32_t fid, uint32_t kind, uint32_t bits) {
    return CreateFileWithFcp(fid, KeyFileFcp(fid, kind, bits, false));
}

RV CTokenTarn::CreateKeyFiles(uint32_t publicFid, uint32_t privateFid, uint32_t bits, uint32_t kind) {
    if (bits > 0xFFFF) return CKR_ARGUMENTS_BAD;
    if (publicFid) {
        RV rv = cmdCreateAsymKeyPubFile(publicFid, kind, bits);
        if (rv) return rv;
    }
    return privateFid ? cmdCreateAsymKeyPriFile(privateFid, kind, bits) : 0;
}

RV CTokenTarn::CreateRSAReference(uint32_t publicFid, uint32_t privateFid, uint32_t bits) {
    return CreateKeyFiles(publicFid, privateFid, bits, kKindRsa);
}

RV CTokenTarn::CreateECCReference(uint32_t publicFid, uint32_t privateFid, uint32_t bits) {
    return CreateKeyFiles(publicFid, privateFid, bits, kKindEc);
}

RV CTokenTarn::GenerateKeyPair(uint32_t publicFid, uint32_t privateFid, uint32_t bits, uint32_t kind) {
    if (bits > 0xFFFF) return CKR_ARGUMENTS_BAD;
    const uint8_t data[7] = {static_cast<uint8_t>(kind), Hi(bits), Lo(bits), Hi(privateFid), Lo(privateFid),
                             Hi(publicFid), Lo(publicFid)};
    return CommandResult(im_TransmitAPDU(apdu::GenerateKeyPair(data, sizeof data), nullptr, nullptr, false));
}

RV CTokenTarn::RSAGenerateKeyPair(uint32_t publicFid, uint32_t privateFid, uint32_t bits) {
    return GenerateKeyPair(publicFid, privateFid, bits, kKindRsa);
}

RV CTokenTarn::ECCGenerateKeyPair(uint32_t publicFid, uint32_t privateFid, uint32_t bits) {
    return GenerateKeyPair(publicFid, privateFid, bits, kKindEc);
}

RV CTokenTarn::cmdWriteKeyItem(uint8_t ins, uint32_t fid, const uint8_t* data, uint32_t length, uint8_t part) {
    if (length > kKeyItemMax || (length && !data)) return CKR_ARGUMENTS_BAD;
    ByteVec item = {Hi(fid), Lo(fid)};
    if (length) item.insert(item.end(), data, data + length);
    RV rv = CommandResult(im_TransmitAPDU(apdu::WriteKeyItem(ins, part, item), nullptr, nullptr, false));
    SecureWipe(item);
    return rv;
}

RV CTokenTarn::RSAWritePubKey(uint32_t fid, const ByteVec& modulus, const ByteVec& exponent) {
    if (modulus.size() < 64 || modulus.size() > 256 || (exponent.size() != 1 && exponent.size() != 3))
        return CKR_ARGUMENTS_BAD;
    RV rv = cmdWriteKeyItem(apdu::kInsWriteRsaItem, fid, exponent.data(), static_cast<uint32_t>(exponent.size()), 1);
    return rv ? rv
              : cmdWriteKeyItem(apdu::kInsWriteRsaItem, fid, modulus.data(), static_cast<uint32_t>(modulus.size()), 2);
}

RV CTokenTarn::RSAWritePrvKey(uint32_t fid, const ByteVec& modulus, const ByteVec& privateExponent,
                              const ByteVec& publicExponent, bool withPublic) {
    if (modulus.size() < 64 || modulus.size() > 256 || privateExponent.size() != modulus.size())
        return CKR_ARGUMENTS_BAD;
    // Every check before the first command: nothing is half-written for a bad argument.
    if (withPublic && publicExponent.size() != 1 && publicExponent.size() != 3) return CKR_ARGUMENTS_BAD;
    RV rv = cmdWriteKeyItem(apdu::kInsWriteRsaItem, fid, modulus.data(), static_cast<uint32_t>(modulus.size()), 2);
    if (rv == 0)
        rv = cmdWriteKeyItem(apdu::kInsWriteRsaItem, fid, privateExponent.data(),
                             static_cast<uint32_t>(privateExponent.size()), 3);
    if (rv == 0 && withPublic) rv = RSAWritePubKey(fid, modulus, publicExponent);
    return rv;
}

RV CTokenTarn::ECCWritePrvKey(uint32_t fid, const uint8_t* key, uint32_t length) {
    return cmdWriteKeyItem(apdu::kInsWriteEcItem, fid, key, length, 1);
}

RV CTokenTarn::ECCWritePubKey(uint32_t fid, const uint8_t* key, uint32_t length) {
    return cmdWriteKeyItem(apdu::kInsWriteEcItem, fid, key, length, 2);
}

RV CTokenTarn::UpdateKey(uint32_t keyNumber, const uint8_t* key, uint32_t length) {
    if (!key || length == 0 || length > kKeyItemMax || keyNumber > 0xFF) return CKR_ARGUMENTS_BAD;
    ByteVec data = {0x00};
    data.insert(data.end(), key, key + length);
    RV rv = CommandResult(
        im_TransmitAPDU(apdu::UpdateSecretKey(static_cast<uint8_t>(keyNumber), data), nullptr, nullptr, false));
    SecureWipe(data);
    return rv;
}

RV CTokenTarn::ReadPublicKey(uint32_t fid, ByteVec& answer) {
    answer.assign(kPublicKeyArea, 0);
    uint32_t len = kPublicKeyArea;
    uint16_t sw = im_TransmitAPDU(apdu::ReadPublicKey(static_cast<uint16_t>(fid)), answer.data(), &len, true);
    if (sw != 0x9000) return CommandResult(sw);
    answer.resize(len);
    return 0;
}

RV CTokenTarn::RSAReadPubKey(uint32_t fid, uint8_t* modulus, uint32_t* modulusLen, uint8_t* exponent,
                             uint32_t* exponentLen) {
    if (!modulusLen || !exponentLen) return CKR_ARGUMENTS_BAD;
    ByteVec a;
    RV rv = ReadPublicKey(fid, a);
    if (rv) return rv;
    // Exponent length at byte 1, the exponent from byte 2; modulus length at
    // bytes L1+4, L1+5, the modulus from byte L1+6. Both must lie in the answer.
    if (a.size() < 2) return CKR_DEVICE_ERROR;
    const uint32_t l1 = a[1];
    if (a.size() < l1 + 6) return CKR_DEVICE_ERROR;
    const uint32_t l2 = LoadBe16(a.data() + l1 + 4);
    return CopyFields(a, 2, l1, exponent, exponentLen, l1 + 6, l2, modulus, modulusLen);
}

RV CTokenTarn::ECCReadPubKey(uint32_t fid, uint8_t* x, uint32_t* xLen, uint8_t* y, uint32_t* yLen) {
    if (!xLen || !yLen) return CKR_ARGUMENTS_BAD;
    ByteVec a;
    RV rv = ReadPublicKey(fid, a);
    if (rv) return rv;
    // First coordinate's length at byte 1, the coordinate from byte 2; the
    // second's length at byte L1+3, the coordinate from byte L1+4.
    if (a.size() < 2) return CKR_DEVICE_ERROR;
    const uint32_t l1 = a[1];
    if (a.size() < l1 + 4) return CKR_DEVICE_ERROR;
    const uint32_t l2 = a[l1 + 3];
    return CopyFields(a, 2, l1, x, xLen, l1 + 4, l2, y, yLen);
}
