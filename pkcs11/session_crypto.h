// The operation kinds of a session (encrypt, decrypt, digest, sign, sign
// with recovery, verify, verify with recovery) and the rules they share:
// starting one, telling whether it runs, what a mechanism's result does to
// it, and ending it.
#ifndef KV_PKCS11_SESSION_CRYPTO_H
#define KV_PKCS11_SESSION_CRYPTO_H

#include "alg_factory.h"
#include "session_base.h"

class Slot;
class SessionSlot;

// How a mechanism call's result ends the operation or keeps it.
enum class Outcome {
    Output,        // single-part or final call with output: a short buffer or a length query keeps it
    OutputUpdate,  // update with output: success or a short buffer keeps it
    InputUpdate,   // update without output: success keeps it
    VerifyUpdate,  // as InputUpdate, the result as the mechanism gives it
    Verify,        // always ends, the result as the mechanism gives it
    Recovered,     // verify with recovery: as Output, the result as the mechanism gives it
};

struct CSessionBase::OpKind {
    enum class Login { None, TokenKey, SessionState };
    using Create = CK_RV (AlgFactory::*)(const CK_MECHANISM*, ObjPtr, Alg**);

    uint64_t bit;
    // Bits of which one must be among the running operations, unless none
    // runs; with checkCompanions false any may run.
    bool checkCompanions;
    uint64_t companions;
    // Encryption and decryption check the key against the mechanism first.
    enum class KeyUse { None, Encrypt, Decrypt } keyUse;
    CK_ATTRIBUTE_TYPE usage;
    bool genericSecretServes;  // a generic secret key serves whatever its usage attribute
    bool usageReadErrorIsFalse;
    Login login;
    // Decryption and signing: a private key with CKA_ALWAYS_AUTHENTICATE
    // needs a context login for each operation.
    bool contextLogin;
    bool setsTokenKeyInUse;
    Create create;
    std::unique_ptr<Alg> CSessionBase::*alg;
    // Kinds sharing one bit: the flag telling which member was initialised,
    // and its value for this kind.
    bool CSessionBase::*member;
    bool memberValue;

    static const OpKind encrypt, decrypt, digest, sign, signRecover, verify, verifyRecover;

    bool Running(const CSessionBase& s) const {
        return (s.activeOps_ & bit) && s.*alg && (!member || s.*member == memberValue);
    }
    // Running kinds keep AlgMultiPart objects only (checked when created).
    AlgMultiPart& Mechanism(CSessionBase& s) const { return static_cast<AlgMultiPart&>(*(s.*alg)); }

    // Init with a key, the slot locked by frame; a token key is confirmed
    // on the token first (GetKey).
    CK_RV Start(CSessionBase& s, SessionSlot& frame, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey) const;
    // Whether the token key this kind's operation started with is still
    // the object its handle names, the slot's objects refreshed to tell
    // (the counter as the lock family knows it, from the token past the
    // window): CKR_OK (also for a session key), CKR_KEY_HANDLE_INVALID
    // when another process destroyed it, or the failed refresh's code.
    CK_RV ConfirmKey(CSessionBase& s, SessionSlot& frame) const;
    // Takes the object the factory made (its result in created) as this
    // kind's running mechanism; a refusal leaves the kind not running.
    CK_RV Replace(CSessionBase& s, CK_RV created, Alg* object) const;
    // The result of a mechanism call, by its outcome class; ends the
    // operation where the class says so.
    CK_RV Conclude(CSessionBase& s, Outcome outcome, CK_RV rv, bool lengthQuery) const;
    void End(CSessionBase& s) const;
};

#endif
