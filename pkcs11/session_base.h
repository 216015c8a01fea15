// One PKCS#11 session: its login bytes, the active operations and their
// mechanism objects, the object search, and the calls that work on objects,
// run cryptographic operations and make keys.
#ifndef KV_PKCS11_SESSION_BASE_H
#define KV_PKCS11_SESSION_BASE_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "alg.h"
#include "iobj.h"
#include "pkcs11.h"

class Slot;
class SessionSlot;

// Bits of the active-operation set.
enum : uint64_t {
    kOpFind = 0x01,
    kOpDigest = 0x02,
    kOpEncrypt = 0x04,
    kOpDecrypt = 0x08,
    kOpSign = 0x10,    // sign or sign with recovery
    kOpVerify = 0x20,  // verify or verify with recovery
};

class CSessionBase {
public:
    CSessionBase(CK_SLOT_ID slot, bool readWrite) : slotId_(slot), readWrite_(readWrite) {}
    virtual ~CSessionBase() = default;
    CSessionBase(const CSessionBase&) = delete;
    CSessionBase& operator=(const CSessionBase&) = delete;

    CK_RV GetSessionInfo(CK_SESSION_INFO* info);
    // Exactly one of encrypt, decrypt or sign is active.
    bool IsSessionOptInit() const { return activeOps_ == kOpEncrypt || activeOps_ == kOpDecrypt || activeOps_ == kOpSign; }
    uint64_t ActiveOps() const { return activeOps_; }
    CK_SLOT_ID SlotId() const { return slotId_; }
    bool ReadWrite() const { return readWrite_; }

    // Objects.
    CK_RV CreateObject(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR phObject);
    CK_RV DestroyObject(CK_OBJECT_HANDLE hObject);
    CK_RV GetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
    CK_RV SetAttributeValue(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
    CK_RV FindObjInit(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
    CK_RV FindObj(CK_OBJECT_HANDLE_PTR phObject, CK_ULONG max, CK_ULONG_PTR pulCount);
    CK_RV FindObjFinal();

    // Cryptographic operations. OpKind: what sets one operation kind apart,
    // with the init, outcome and end rules the kinds share (session_crypto.h).
    struct OpKind;
    CK_RV EncryptInit(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey);
    CK_RV Encrypt(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV EncryptUpdate(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV EncryptFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV DecryptInit(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey);
    CK_RV Decrypt(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV DecryptUpdate(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV DecryptFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV DigestInit(CK_MECHANISM_PTR mechanism);
    CK_RV Digest(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV DigestUpdate(CK_BYTE_PTR in, CK_ULONG inLen);
    CK_RV DigestFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV SignInit(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey);
    CK_RV Sign(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV SignUpdate(CK_BYTE_PTR in, CK_ULONG inLen);
    CK_RV SignFinal(CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV SignRecoverInit(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey);
    CK_RV SignRecover(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV VerifyInit(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey);
    CK_RV Verify(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR signature, CK_ULONG signatureLen);
    CK_RV VerifyUpdate(CK_BYTE_PTR in, CK_ULONG inLen);
    CK_RV VerifyFinal(CK_BYTE_PTR signature, CK_ULONG signatureLen);
    CK_RV VerifyRecoverInit(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey);
    CK_RV VerifyRecover(CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);

    // Key management.
    CK_RV GenerateKey(CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR phKey);
    CK_RV GenerateKeyPair(CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR publicTmpl, CK_ULONG publicCount,
                          CK_ATTRIBUTE_PTR privateTmpl, CK_ULONG privateCount, CK_OBJECT_HANDLE_PTR phPublic,
                          CK_OBJECT_HANDLE_PTR phPrivate);
    CK_RV WrapKey(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hWrappingKey, CK_OBJECT_HANDLE hKey,
                  CK_BYTE_PTR wrapped, CK_ULONG_PTR wrappedLen);
    CK_RV UnwrapKey(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR wrapped,
                    CK_ULONG wrappedLen, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR phKey);
    CK_RV DeriveKey(CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hBaseKey, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                    CK_OBJECT_HANDLE_PTR phKey);

    // Ends every running operation whose key is private (or gone), the slot
    // locked by the caller: what a logout leaves no one to use.
    void EndPrivateOperations(Slot& slot);

    bool contextLoginDone = false;
    bool tokenKeyInUse = false;
    bool contextLoginRequired = false;
    std::vector<uint32_t> sessionObjects;

    // Set in the handles of session objects, clear in those of token objects.
    static constexpr CK_OBJECT_HANDLE kSessionObjectBit = 0x80000000UL;

protected:
    // Whether this session is the security officer's.
    bool SecurityOfficer();
    // The object a handle names: token objects below 0x80000000 from the
    // slot's object manager, session objects from the session-object manager.
    // Empty when unknown. Call with the slot locked.
    static ObjPtr GetObject(Slot& slot, CK_OBJECT_HANDLE handle);
    // The key an operation starts with, the slot locked by frame. A token
    // key is first confirmed on the token: the refresh of a call that
    // writes (the write counter read from the token), then the handle looked
    // up again. A key another process destroyed is empty, also when a new
    // key took its key file. A failed refresh: empty, its code in rv.
    static ObjPtr GetKey(SessionSlot& frame, CK_OBJECT_HANDLE handle, CK_RV& rv);
    // Files a new object by its CKA_TOKEN: token objects with the slot's
    // object manager (its error as it is), session objects with the
    // session-object manager and this session's list. The handle goes to
    // *handle.
    CK_RV FileObject(Slot& slot, const ObjPtr& obj, CK_OBJECT_HANDLE_PTR handle);
    // Writes a token key object's key material into the token with the
    // import mechanism (kept in importAlg_).
    CK_RV ImportTokenKey(Slot& slot, const ObjPtr& key);
    // Removes the key file a token key object names, after its object could
    // not be written.
    static void RemoveKeyFile(Slot& slot, const ObjPtr& obj);
    // Key management (session_keygen.cpp): takes a new object back out of
    // its manager, token objects with their files, and out of this
    // session's list, when its key management call fails after filing it.
    void WithdrawObject(Slot& slot, const ObjPtr& obj);
    // Files the public half of a new pair in the container of its filed
    // private half when both are token objects (session_keygen.cpp).
    CK_RV FilePublicHalf(Slot& slot, const ObjPtr& publicKey, const ObjPtr& privateKey,
                         CK_OBJECT_HANDLE_PTR phPublic);
    // Files an unwrapped or derived key; a token key is first written into
    // the token (session_wrap.cpp).
    CK_RV FileNewKey(Slot& slot, const ObjPtr& key, CK_OBJECT_HANDLE_PTR phKey);

    uint64_t activeOps_ = 0;
    // The key each running operation kind was started with, by kind bit.
    std::map<uint64_t, CK_OBJECT_HANDLE> opKeys_;

    // Object search.
    std::vector<ObjPtr> found_;
    size_t cursor_ = 0;

    // One mechanism object per operation kind, held while its operation
    // runs and released when it ends.
    std::unique_ptr<Alg> encryptAlg_, decryptAlg_, digestAlg_, signAlg_, signRecoverAlg_, verifyAlg_,
        verifyRecoverAlg_;
    // Which member of the shared sign and verify bits was initialised.
    bool signIsRecover_ = false;
    bool verifyIsRecover_ = false;
    // Key management; wrapping and unwrapping keep their cipher apart from
    // the session's encryption and decryption.
    std::unique_ptr<Alg> generateKeyAlg_, generateKeyPairAlg_, wrapAlg_, unwrapAlg_, deriveAlg_, importAlg_,
        wrapCipher_;

private:
    CK_SLOT_ID slotId_;
    bool readWrite_;
};

class CP11Session : public CSessionBase {
public:
    using CSessionBase::CSessionBase;
};

#endif
