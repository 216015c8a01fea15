#include "keypair_hard.h"

#include "ecdsa_soft.h"
#include "hard_key.h"
#include "itoken.h"

namespace {

constexpr uint32_t kReadArea = 512;   // each part of an RSA public key read back
constexpr uint32_t kCoordArea = 256;  // each coordinate of an EC public key read back

// A coordinate of up to len bytes, left-padded with zeros to len.
void AppendCoordinate(ByteVec& point, const uint8_t* coordinate, uint32_t got, uint32_t len) {
    point.insert(point.end(), len - got, 0);
    point.insert(point.end(), coordinate, coordinate + got);
}

}  // namespace

CK_RV KeyPairHard::Init(const CK_MECHANISM* mechanism, ObjPtr publicKey, ObjPtr privateKey) {
    if (!mechanism || !publicKey || !privateKey || mechanism->mechanism != mechanism_) return CKR_ARGUMENTS_BAD;
    CK_RV rv = ExpectULong(publicKey, CKA_CLASS, CKO_PUBLIC_KEY, CKR_ARGUMENTS_BAD);
    if (rv == CKR_OK) rv = ExpectULong(privateKey, CKA_CLASS, CKO_PRIVATE_KEY, CKR_ARGUMENTS_BAD);
    if (rv == CKR_OK) rv = ExpectULong(publicKey, CKA_KEY_TYPE, keyType_, CKR_ARGUMENTS_BAD);
    if (rv == CKR_OK) rv = ExpectULong(privateKey, CKA_KEY_TYPE, keyType_, CKR_ARGUMENTS_BAD);
    if (rv) return rv;
    public_ = publicKey;
    private_ = privateKey;
    return CKR_OK;
}

CK_RV KeyPairHard::EitherOnToken(CK_RV neither) const {
    if (!public_ || !private_) return CKR_GENERAL_ERROR;
    bool publicOnToken = false, privateOnToken = false;
    CK_RV rv = ReadFlag(public_, CKA_TOKEN, publicOnToken);
    if (rv == CKR_OK) rv = ReadFlag(private_, CKA_TOKEN, privateOnToken);
    if (rv) return rv;
    return publicOnToken || privateOnToken ? CKR_OK : neither;
}

CK_RV KeyPairHard::MakePair(KeyFilesGuard& files, uint16_t& publicFid, uint16_t& privateFid, uint32_t bits,
                            KeyFileOp create, KeyFileOp generate) {
    publicFid = privateFid = 0;
    CK_RV rv = token_->AllocKeyFID(CKO_PUBLIC_KEY, 0, &publicFid);
    if (rv == CKR_OK) rv = token_->AllocKeyFID(CKO_PRIVATE_KEY, 0, &privateFid);
    if (rv) return rv;
    files.Track(publicFid);
    files.Track(privateFid);
    if ((token_->*create)(publicFid, privateFid, bits) != 0 || (token_->*generate)(publicFid, privateFid, bits) != 0)
        return CKR_DEVICE_ERROR;
    return CKR_OK;
}

CK_RV KeyPairHard::StoreKeys(const std::vector<Attribute>& attributes, uint16_t publicFid, uint16_t privateFid) {
    for (const ObjPtr& obj : {public_, private_}) {
        for (const Attribute& a : attributes) {
            CK_RV rv = WriteBytes(obj, a.first, *a.second);
            if (rv) return rv;
        }
    }
    CK_RV rv = WriteULong(public_, CKA_VENDOR_KEY_REF, publicFid);
    return rv ? rv : WriteULong(private_, CKA_VENDOR_KEY_REF, privateFid);
}

CK_RV GenerateKeyPairRSAHard::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    CK_RV rv = EitherOnToken(CKR_TEMPLATE_INCONSISTENT);
    if (rv) return rv;
    uint32_t bits = 0;
    if (ReadULong(public_, CKA_MODULUS_BITS, bits) != CKR_OK) return CKR_TEMPLATE_INCONSISTENT;
    if (bits == 0 || bits > 8 * kMaxModulusBytes) return CKR_KEY_SIZE_RANGE;
    if (!token_) return CKR_GENERAL_ERROR;
    uint16_t publicFid = 0, privateFid = 0;
    KeyFilesGuard files(token_);
    rv = MakePair(files, publicFid, privateFid, bits, &IToken::CreateRSAReference, &IToken::RSAGenerateKeyPair);
    if (rv) return rv;
    uint8_t modulus[kReadArea], exponent[kReadArea];
    uint32_t modulusLen = sizeof modulus, exponentLen = sizeof exponent;
    if (token_->RSAReadPubKey(publicFid, modulus, &modulusLen, exponent, &exponentLen) != 0 || modulusLen == 0 ||
        modulusLen > kMaxModulusBytes || exponentLen == 0)
        return CKR_DEVICE_ERROR;
    const ByteVec n(modulus, modulus + modulusLen), e(exponent, exponent + exponentLen);
    rv = StoreKeys({{CKA_MODULUS, &n}, {CKA_PUBLIC_EXPONENT, &e}}, publicFid, privateFid);
    if (rv == CKR_OK) files.Keep();
    return rv;
}

CK_RV GenerateKeyPairECCHard::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    CK_RV rv = EitherOnToken(CKR_ARGUMENTS_BAD);
    if (rv) return rv;
    if (!token_) return CKR_GENERAL_ERROR;
    // The curve is settled before anything is created on the token.
    const ByteVec* params = public_->Value(CKA_EC_PARAMS);
    const NamedCurve* curve = params ? FindCurve(*params) : nullptr;
    if (!curve) return CKR_ARGUMENTS_BAD;
    const uint32_t coordLen = curve->coordLen;
    const uint32_t bits = 8 * coordLen;
    uint16_t publicFid = 0, privateFid = 0;
    KeyFilesGuard files(token_);
    rv = MakePair(files, publicFid, privateFid, bits, &IToken::CreateECCReference, &IToken::ECCGenerateKeyPair);
    if (rv) return rv;
    uint8_t x[kCoordArea], y[kCoordArea];
    uint32_t xLen = sizeof x, yLen = sizeof y;
    if (token_->ECCReadPubKey(publicFid, x, &xLen, y, &yLen) != 0 || xLen == 0 || xLen > coordLen || yLen == 0 ||
        yLen > coordLen)
        return CKR_DEVICE_ERROR;
    ByteVec point;
    AppendCoordinate(point, x, xLen, coordLen);
    AppendCoordinate(point, y, yLen, coordLen);
    const ByteVec curveParams = *params;
    rv = WriteBytes(private_, CKA_EC_PARAMS, curveParams);
    if (rv == CKR_OK) rv = StoreKeys({{CKA_EC_POINT, &point}}, publicFid, privateFid);
    if (rv == CKR_OK) files.Keep();
    return rv;
}
