// Creates mechanism objects from the token-backed and software registries.
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
