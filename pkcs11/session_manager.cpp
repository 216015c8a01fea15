#include "session_manager.h"

#include "iauth_manager.h"
#include "key_rules.h"
#include "p11_env.h"
#include "random_backend.h"
#include "slot_manager.h"

namespace {

bool Authenticated(IAuthManager* auth, CK_USER_TYPE type, bool& result) {
    uint32_t ref = 0;
    AuthInfo info{};
    if (!auth || auth->GetRefByP11Type(type, &ref) != 0 || auth->GetAuthInfo(ref, &info) != 0) return false;
    result = (info.flags & 1) != 0;
    return true;
}

}  // namespace

CK_RV CSessionBase::GetSessionInfo(CK_SESSION_INFO* info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    auto slots = KVEnv::GetSlotManager();
    if (!slots) return CKR_HOST_MEMORY;
    auto slot = slots->GetSlot(slotId_);
    if (!slot) return CKR_GENERAL_ERROR;
    LockSlotHolder holder(*slot);
    if (!holder.Locked()) return CKR_GENERAL_ERROR;
    IAuthManager* auth = slot->GetAuthManager();
    bool so = false, user = false;
    if (!auth || !Authenticated(auth, CKU_SO, so) || !Authenticated(auth, CKU_USER, user)) return CKR_GENERAL_ERROR;
    info->slotID = slotId_;
    info->ulDeviceError = 0;
    info->flags = CKF_SERIAL_SESSION | (readWrite_ ? CKF_RW_SESSION : 0);
    if (readWrite_) {
        info->state = so ? CKS_RW_SO_FUNCTIONS : user ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION;
    } else {
        info->state = user ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    }
    return CKR_OK;
}

CK_RV CP11SessionManager::CreateSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE* handle) {
    SessionPtr session(new CP11Session(slot, (flags & CKF_RW_SESSION) != 0));
    std::lock_guard<std::mutex> lock(mutex_);
    CK_SESSION_HANDLE h = 0;
    do {
        if (genrate_random_bytes(reinterpret_cast<uint8_t*>(&h), sizeof h) == 0) return CKR_GENERAL_ERROR;
    } while (h == 0 || table_.count(h));
    table_[h] = session;
    *handle = h;
    return CKR_OK;
}

SessionPtr CP11SessionManager::GetSession(CK_SESSION_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(handle);
    return it == table_.end() ? SessionPtr() : it->second;
}

void CP11SessionManager::DropSessionObjects(const CP11Session& session) {
    for (uint32_t h : session.sessionObjects) {
        if (ObjPtr obj = sessionObjects_.GetObject(h)) sessionObjects_.DestroyObject(obj);
    }
}

void CP11SessionManager::EndPrivateWork(Slot& slot) {
    std::vector<SessionPtr> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : table_) {
            if (entry.second->SlotId() == slot.Id()) sessions.push_back(entry.second);
        }
    }
    for (const SessionPtr& session : sessions) {
        session->EndPrivateOperations(slot);
        auto& held = session->sessionObjects;
        for (auto it = held.begin(); it != held.end();) {
            ObjPtr obj = sessionObjects_.GetObject(*it);
            bool isPrivate = true;  // unreadable counts as private
            if (obj && ReadFlag(obj, CKA_PRIVATE, isPrivate) != CKR_OK) isPrivate = true;
            if (!obj || isPrivate) {
                if (obj) sessionObjects_.DestroyObject(obj);
                it = held.erase(it);
            } else {
                ++it;
            }
        }
    }
}

CK_RV CP11SessionManager::LogOffSlot(CK_SLOT_ID slotId) {
    auto slots = KVEnv::GetSlotManager();
    if (!slots) return CKR_HOST_MEMORY;
    auto slot = slots->GetSlot(slotId);
    IAuthManager* auth = slot ? slot->GetAuthManager() : nullptr;
    return auth ? LogOff(auth) : CKR_GENERAL_ERROR;
}

CK_RV CP11SessionManager::DestroySession(CK_SESSION_HANDLE handle) {
    SessionPtr session;
    bool last = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = table_.find(handle);
        if (it == table_.end()) return CKR_SESSION_HANDLE_INVALID;
        session = it->second;
        table_.erase(it);
        for (const auto& entry : table_) last = last && entry.second->SlotId() != session->SlotId();
        DropSessionObjects(*session);
    }
    return last ? LogOffSlot(session->SlotId()) : CKR_OK;
}

CK_RV CP11SessionManager::DestroySessionBySlotId(CK_SLOT_ID slot) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = table_.begin(); it != table_.end();) {
            if (it->second->SlotId() == slot) {
                DropSessionObjects(*it->second);
                it = table_.erase(it);
            } else {
                ++it;
            }
        }
    }
    return LogOffSlot(slot);
}

size_t CP11SessionManager::GetSessionCount(CK_SLOT_ID slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& entry : table_) n += entry.second->SlotId() == slot;
    return n;
}

size_t CP11SessionManager::GetRWSessionCount(CK_SLOT_ID slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& entry : table_) n += entry.second->SlotId() == slot && entry.second->ReadWrite();
    return n;
}

bool CP11SessionManager::TokenHasROSession(CK_SLOT_ID slot) { return GetSessionCount(slot) > GetRWSessionCount(slot); }

bool CP11SessionManager::IsUSER(IAuthManager* auth) {
    bool user = false;
    return Authenticated(auth, CKU_USER, user) && user;
}

bool CP11SessionManager::IsSO(IAuthManager* auth) {
    bool so = false;
    return Authenticated(auth, CKU_SO, so) && so;
}

CK_RV CP11SessionManager::LogIn(IAuthManager* auth, CK_USER_TYPE type, const uint8_t* value, uint32_t length) {
    uint32_t ref = 0;
    CK_RV rv = auth->GetRefByP11Type(type, &ref);
    return rv ? rv : auth->Authenticate(ref, value, length);
}

CK_RV CP11SessionManager::LogOff(IAuthManager* auth) {
    CK_USER_TYPE type;
    if (IsUSER(auth)) type = CKU_USER;
    else if (IsSO(auth)) type = CKU_SO;
    else return CKR_OK;
    uint32_t ref = 0;
    CK_RV rv = auth->GetRefByP11Type(type, &ref);
    if (rv) return rv;
    auth->Deauthenticate(ref);
    return CKR_OK;
}
