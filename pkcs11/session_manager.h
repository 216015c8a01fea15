// The session table and the login state queries shared by all sessions.
#ifndef KV_PKCS11_SESSION_MANAGER_H
#define KV_PKCS11_SESSION_MANAGER_H

#include <map>
#include <mutex>
#include <vector>

#include "obj_mgr.h"
#include "pkcs11.h"
#include "shared_ptr.h"

class IAuthManager;

// Per-session state; the operation calls add theirs here.
class CSessionBase {
public:
    CSessionBase(CK_SLOT_ID slot, bool readWrite) : slotId_(slot), readWrite_(readWrite) {}
    virtual ~CSessionBase() = default;

    CK_RV GetSessionInfo(CK_SESSION_INFO* info);
    // Exactly one of encrypt, decrypt or sign is active.
    bool IsSessionOptInit() const { return activeOps_ == 0x04 || activeOps_ == 0x08 || activeOps_ == 0x10; }
    CK_SLOT_ID SlotId() const { return slotId_; }
    bool ReadWrite() const { return readWrite_; }

    bool contextLoginDone = false;
    bool tokenKeyInUse = false;
    bool contextLoginRequired = false;
    std::vector<uint32_t> sessionObjects;

protected:
    uint64_t activeOps_ = 0;

private:
    CK_SLOT_ID slotId_;
    bool readWrite_;
};

class CP11Session : public CSessionBase {
public:
    using CSessionBase::CSessionBase;
};

using SessionPtr = kv::shared_ptr<CP11Session>;

class CP11SessionManager {
public:
    CP11SessionManager() : sessionObjects_(0x80000000) {}

    CK_RV CreateSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE* handle);
    CK_RV DestroySession(CK_SESSION_HANDLE handle);
    CK_RV DestroySessionBySlotId(CK_SLOT_ID slot);
    // The record, held by the caller for the whole call; empty if unknown.
    SessionPtr GetSession(CK_SESSION_HANDLE handle);
    size_t GetSessionCount(CK_SLOT_ID slot);
    size_t GetRWSessionCount(CK_SLOT_ID slot);
    bool TokenHasROSession(CK_SLOT_ID slot);
    ObjMgrImpl& SessionObjects() { return sessionObjects_; }

    static bool IsUSER(IAuthManager* auth);
    static bool IsSO(IAuthManager* auth);
    static CK_RV LogIn(IAuthManager* auth, CK_USER_TYPE type, const uint8_t* value, uint32_t length);
    static CK_RV LogOff(IAuthManager* auth);

private:
    void DropSessionObjects(const CP11Session& session);
    // Logs the slot out when it has no session left.
    CK_RV LogOffSlot(CK_SLOT_ID slot);

    std::mutex mutex_;
    std::map<CK_SESSION_HANDLE, SessionPtr> table_;
    ObjMgrImpl sessionObjects_;
};

#endif
