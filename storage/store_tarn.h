// Token objects as attribute files in the directory "pkcs11": one file per
// object named by its class and a four-digit number (prvk0003).
#ifndef KV_STORAGE_STORE_TARN_H
#define KV_STORAGE_STORE_TARN_H

#include <string>

#include "ifile_system.h"
#include "istore.h"

class IToken;

struct tagOBJ_PROP {
    enum State : uint32_t { kReported = 0, kNew = 1, kChanged = 2, kRemoved = 3 };
    ObjPtr object;
    std::string fileName;
    uint32_t writeCount = 0;
    bool seen = false;
    uint32_t state = kNew;
};

class CStoreTarn : public IStore {
public:
    static constexpr const char* kDir = "pkcs11";

    CStoreTarn(IFileSystem* fs, IToken* token) : fs_(fs), token_(token) {}

    RV StoreObj(ObjPtr obj) override;
    RV PurgeObj(ObjPtr obj) override;
    RV CheckUpdate(const std::vector<ObjPtr>& known, std::vector<ObjPtr>& added, std::vector<ObjPtr>& removed,
                   std::vector<ObjPtr>& changed) override;
    RV AllocKeyFID(CK_ULONG cls, CK_ULONG keyType, uint32_t* fid) override;
    RV CheckUpdate(bool force) override;
    bool NamesKeyFile(uint32_t fid) override;
    bool ViewComplete() const override;

    // The attribute file of an object: type, length, value (little-endian),
    // ascending type, empty values left out.
    static ByteVec Serialize(const IObj& obj);
    // An object from file bytes; empty when they end inside a triple.
    static ObjPtr CreateObject(const uint8_t* bytes, size_t length);
    static RV ParseName(const std::string& name, CK_OBJECT_CLASS& cls, uint32_t& index);
    // Whether an object file carries what must not reach the phone's
    // storage: a private or secret key object with a secret value
    // (CKA_VALUE, the RSA private parts), a private data object or
    // certificate (CKA_PRIVATE true), or one of these whose content cannot
    // be read. The file cache keeps those in memory only; key objects whose
    // material lives in a token key file are mirrored like the others.
    static bool HoldsSecrets(const std::string& dir, const std::string& name, const uint8_t* content,
                             uint32_t length);
    RV GenerateFileName(CK_OBJECT_CLASS cls, std::string& name);
    std::vector<tagOBJ_PROP>* GetObjList(CK_OBJECT_CLASS cls);
    tagOBJ_PROP* FindObjByID(uint32_t handle);
    tagOBJ_PROP* FindObjByNAME(const std::string& name);
    bool IsUSER();

private:
    static RV CopyObject(IObj& target, const IObj& source);
    static bool SameIdentity(const IObj& known, const IObj& read);
    void RemoveEntry(const tagOBJ_PROP* entry);
    bool RefTaken(CK_ULONG cls, uint32_t ref) const;

    IFileSystem* fs_;
    IToken* token_;
    std::vector<tagOBJ_PROP> lists_[5];
    bool viewComplete_ = false;  // the last refresh read every object file
};

#endif
