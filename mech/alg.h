// Mechanism interfaces: every cryptographic operation object derives from Alg.
#ifndef KV_MECH_ALG_H
#define KV_MECH_ALG_H

#include <cstdint>

#include "blocker.h"
#include "iobj.h"
#include "shared_ptr.h"

enum KV_MECH_FUNC_E : int32_t {
    MECH_FUNC_ENCRYPT = 1,
    MECH_FUNC_DECRYPT = 2,
    MECH_FUNC_SIGN = 3,
    MECH_FUNC_VERIFY = 4,
    MECH_FUNC_SIGN_RECOVER = 5,
    MECH_FUNC_VERIFY_RECOVER = 6,
    MECH_FUNC_DIGEST = 7,
    MECH_FUNC_GENERATE_KEY = 8,
    MECH_FUNC_GENERATE_KEY_PAIR = 9,
    MECH_FUNC_WRAP = 10,
    MECH_FUNC_UNWRAP = 11,
    MECH_FUNC_DERIVE = 12,
    MECH_FUNC_IMPORT_KEY = 13,
};

class Alg {
public:
    Alg() = default;
    virtual ~Alg() = default;
    Alg(const Alg&) = delete;
    Alg& operator=(const Alg&) = delete;

    virtual KV_MECH_FUNC_E GetFunc() const = 0;
    // Single-part operation; out null asks for the length only.
    virtual CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) = 0;
};

// Block-buffered multi-part operations with the PKCS#11 length protocol:
// a short output buffer gets RV_BUFFER_TOO_SMALL with the needed length and
// leaves the state unchanged.
class AlgMultiPart : public Alg {
public:
    virtual CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key);
    virtual CK_RV Update(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen);
    virtual CK_RV Final(uint8_t* out, uint32_t* outLen);
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) override;
    virtual uint32_t GetBlockSize() const = 0;
    virtual CK_RV DoCryptBlocks(const uint8_t* in, uint8_t* out, uint32_t len);
    virtual CK_RV DoCryptSingleBlock(const uint8_t*, uint8_t*) { return CKR_OK; }
    virtual CK_RV CheckDoParameter(uint32_t inLen, uint32_t* outLen);
    virtual CK_RV CheckFinalParameter(uint32_t* outLen);

protected:
    Blocker pending_;
    bool holdLastBlock_ = false;
};

// The length protocol of an output of fixed length: null outLen is
// CKR_ARGUMENTS_BAD; otherwise need is stored, and a caller's capacity
// below it is RV_BUFFER_TOO_SMALL. CKR_OK with out null is a length query.
CK_RV OfferOutput(uint32_t need, const uint8_t* out, uint32_t* outLen);

class AlgGenerateKey : public Alg {
public:
    virtual CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr newKey) = 0;
};

class AlgGenerateKeyPair : public Alg {
public:
    virtual CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr publicKey, ObjPtr privateKey) = 0;
};

class AlgWrap : public Alg {
public:
    virtual CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr wrappingKey, ObjPtr keyToWrap, AlgMultiPart* cipher) = 0;
};

class AlgUnwrap : public Alg {
public:
    virtual CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr unwrappingKey, ObjPtr newKey, AlgMultiPart* cipher) = 0;
};

class AlgDerive : public Alg {
public:
    virtual CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr baseKey, ObjPtr newKey) = 0;
};

class AlgImportKey : public Alg {
public:
    virtual CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) = 0;
};

#endif
