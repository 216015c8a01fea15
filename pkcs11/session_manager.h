// The session table and the login state queries shared by all sessions.
#ifndef KV_PKCS11_SESSION_MANAGER_H
#define KV_PKCS11_SESSION_MANAGER_H

#include <map>
#include <mutex>
#include <vector>

#include "obj_mgr.h"
#include "session_base.h"
#include "pkcs11.h"
#include "shared_ptr.h"

class IAuthManager;

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
    // After a logout of the slot (locked by the caller): every operation
    // whose key is private ends, and every private session object goes.
    void EndPrivateWork(Slot& slot);

private:
    void DropSessionObjects(const CP11Session& session);
    // Logs the slot out when it has no session left.
    CK_RV LogOffSlot(CK_SLOT_ID slot);

    std::mutex mutex_;
    std::map<CK_SESSION_HANDLE, SessionPtr> table_;
    ObjMgrImpl sessionObjects_;
};

#endif
