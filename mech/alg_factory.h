// Creates mechanism objects from the token-backed and software registries.
//
// Mechanism catalogue: every place a mechanism is registered or listed.
// - Software registry (GetSoftCreators): one KV_REGISTER_SOFT(CKM_..., Class)
//   line per (mechanism, class), run by static initialisers at load, in
//   mech/soft/{digest,hmac,cipher,rsa_pub,rsa_prv,rsa_keygen,ecdsa,keygen,dh,
//   wrap}_soft.cpp.
//   Serves session keys, token keys without CKA_VENDOR_KEY_REF, and every
//   digest; key generation by the new (private) key's CKA_TOKEN, so an RSA
//   pair of session keys is generated here and a token pair on the token.
// - Token registry (hardCreators_): the kHardEntries table of
//   mech/hard/hard_registration.cpp, registered by RegHardAlg for each token
//   object. Serves keys with CKA_TOKEN true (and, for the multi-part
//   functions, a key reference); some entries are the software classes under
//   a Hard name. It has no digest, no CKM_DH_PKCS_DERIVE and no HMAC other
//   than CKM_SHA_1_HMAC.
// - C_GetMechanismList / C_GetMechanismInfo: not derived from either
//   registry. The token's table (token/mechanism_table.cpp) is the 29 rows
//   of kStatic and the 10 RSA rows of kRsa, refined by the records of the
//   token's GET DATA 0x85 answer, plus every record of another type (the
//   virtual token's answer is kMechanisms in sim/card_data.cpp).
// - Named by callers rather than registered: CKM_VENDOR_IMPORT_KEY in
//   pkcs11/session_base.cpp (token key objects made from a template),
//   CKM_SHA_1 in token/auth_manager_tarn.cpp (PIN hash, token-less factory),
//   and the DigestInfo prefixes of CKM_MD2 .. CKM_SHA512 in mech/padding.cpp.
//
// Registered but absent from C_GetMechanismList:
// - CKM_MD2_HMAC, CKM_MD5_HMAC, CKM_SHA224_HMAC, CKM_SHA256_HMAC,
//   CKM_SHA384_HMAC, CKM_SHA512_HMAC: software only; the templates carry
//   only CKM_SHA_1_HMAC, the one HMAC the token registry also serves.
// - CKM_EC_KEY_PAIR_GEN, CKM_ECDSA, CKM_ECDSA_SHA1: in no template; listed
//   only when the token's answer has a record of that type (the virtual
//   token reports the first two, not CKM_ECDSA_SHA1).
// - CKM_VENDOR_IMPORT_KEY: the library's own import of a token key's
//   material at object creation; no application operation takes it.
#ifndef KV_MECH_ALG_FACTORY_H
#define KV_MECH_ALG_FACTORY_H

#include <map>
#include <utility>

#include "alg.h"

class IToken;

using SoftCreator = Alg* (*)();
using HardCreator = Alg* (*)(IToken*);
using AlgKey = std::pair<CK_MECHANISM_TYPE, int32_t>;  // mechanism, function

class AlgFactory {
public:
    explicit AlgFactory(IToken* token = nullptr) : token_(token) {}
    virtual ~AlgFactory() = default;
    AlgFactory(const AlgFactory&) = delete;
    AlgFactory& operator=(const AlgFactory&) = delete;

    virtual CK_RV GetMechanismList(CK_MECHANISM_TYPE* list, CK_ULONG* count);
    virtual CK_RV GetMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info);
    virtual CK_RV CreateEncAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out);
    virtual CK_RV CreateDecAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out);
    virtual CK_RV CreateSignAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out);
    virtual CK_RV CreateVerifyAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out);
    virtual CK_RV CreateSignRecoveryAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out);
    virtual CK_RV CreateVerifyRecoveryAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out);
    virtual CK_RV CreateDigestAlg(const CK_MECHANISM* m, Alg** out);
    virtual CK_RV CreateGenerateKeyAlg(const CK_MECHANISM* m, ObjPtr newKey, Alg** out);
    virtual CK_RV CreateGenerateKeyPairAlg(const CK_MECHANISM* m, ObjPtr publicKey, ObjPtr privateKey, Alg** out);
    virtual CK_RV CreateWrapAlg(const CK_MECHANISM* m, ObjPtr wrappingKey, ObjPtr keyToWrap, AlgMultiPart* cipher,
                                Alg** out);
    virtual CK_RV CreateUnwrapAlg(const CK_MECHANISM* m, ObjPtr unwrappingKey, ObjPtr newKey, AlgMultiPart* cipher,
                                  Alg** out);
    virtual CK_RV CreateDeriveAlg(const CK_MECHANISM* m, ObjPtr baseKey, ObjPtr newKey, Alg** out);
    virtual CK_RV CreateImportKeyAlg(const CK_MECHANISM* m, ObjPtr key, Alg** out);

    CK_RV CreateSoftAlg(const CK_MECHANISM* m, KV_MECH_FUNC_E func, Alg** out);
    CK_RV CreateHardAlg(const CK_MECHANISM* m, KV_MECH_FUNC_E func, Alg** out);
    bool RegisterHardAlg(CK_MECHANISM_TYPE mechanism, HardCreator creator);
    static bool RegisterSoftAlg(CK_MECHANISM_TYPE mechanism, SoftCreator creator);
    static std::map<AlgKey, SoftCreator>& GetSoftCreators();

protected:
    CK_RV CreateAndInitMultiPartAlg(const CK_MECHANISM* m, ObjPtr key, KV_MECH_FUNC_E func, Alg** out);
    // Key-management objects are kept only when their Init succeeds.
    template <class Family, class... Objects>
    CK_RV CreateKeyAlg(const CK_MECHANISM* m, KV_MECH_FUNC_E func, const ObjPtr& decider, Alg** out,
                       Objects&&... objects);

    std::map<AlgKey, HardCreator> hardCreators_;
    IToken* token_;
};

#endif
