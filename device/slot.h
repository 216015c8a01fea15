// The slot: the bound token object and the managers built on it, and the
// lock that serialises all token work.
#ifndef KV_DEVICE_SLOT_H
#define KV_DEVICE_SLOT_H

#include <ctime>
#include <memory>

#include "kv_types.h"
#include "thread_mutex.h"

class IToken;
class ObjMgrWithStore;
class ContMgrFsStore;
class ObjMgrWithCont;
class ContMgrWithObj;
class IObjectManager;
class IContainerManager;
class IAuthManager;
class AlgFactory;

class Slot {
public:
    explicit Slot(uint32_t id);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    RV Lock();
    void Unlock();
    RV Init();
    RV CheckUpdate();
    RV CheckUpdate2();
    // Before the refresh of a call that writes: see IToken::RequireFreshCounter.
    void PrepareWrite();
    IObjectManager* GetObjectManager();
    IContainerManager* GetContainerManager();
    IAuthManager* GetAuthManager();
    AlgFactory* GetAlgFactory();
    RV GetTokenInfo(CK_TOKEN_INFO* info);
    RV SetTokenLabel(const uint8_t* label);
    RV GenerateRandom(uint8_t* buffer, uint32_t length);
    // Drops the token and reconnects; 0 when a token answered.
    RV SelfTokenPresent();
    // Keeps the bound token, its login, sessions and handles when it still
    // answers as the same token; else as SelfTokenPresent. 0 when a token is bound.
    RV KeepOrBindToken();
    // Binds an attached token when none is bound yet.
    void BindIfUnbound();
    RV RefreshStore();
    // 2: no token, no time-out or timer off; 1: idle longer than the time-out; 0 otherwise.
    int IsTokenTimeout();

    bool HasToken() const { return token_ != nullptr; }
    IToken* Token() const { return token_.get(); }
    uint32_t Id() const { return id_; }

private:
    void DropManagers();
    // Key files the sweeps deleted leave the container maps.
    void SettleContainers();

    uint32_t id_;
    std::unique_ptr<IToken> token_;
    std::unique_ptr<ObjMgrWithStore> storeObjects_;
    std::unique_ptr<ContMgrFsStore> fsContainers_;
    std::unique_ptr<ObjMgrWithCont> objects_;
    std::unique_ptr<ContMgrWithObj> containers_;
    ThreadMutex lock_;
    bool timerArmed_ = false;
    uint32_t timeoutMs_ = 0;  // the last time-out read from the token
    bool containersMerged_ = false;
    uint32_t handleFloor_ = 1;  // the last token object handle handed out before the managers were rebuilt
    time_t idleStart_ = time(nullptr);
};

// Holds a slot's lock for a scope; Locked() tells whether it was taken.
class LockSlotHolder {
public:
    explicit LockSlotHolder(Slot& slot) : slot_(slot), rv_(slot.Lock()) {}
    ~LockSlotHolder() {
        if (rv_ == 0) slot_.Unlock();
    }
    LockSlotHolder(const LockSlotHolder&) = delete;
    LockSlotHolder& operator=(const LockSlotHolder&) = delete;
    bool Locked() const { return rv_ == 0; }

private:
    Slot& slot_;
    RV rv_;
};

#endif
