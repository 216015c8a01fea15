#include "slot.h"

#include "cont_mgr_fs_store.h"
#include "cont_mgr_with_obj.h"
#include "obj_mgr.h"
#include "token_device.h"
#include "token_tarn.h"
#include "token_wiring.h"

Slot::Slot(uint32_t id) : id_(id) {}

Slot::~Slot() { DropManagers(); }

RV Slot::Lock() {
    lock_.Lock();
    if (!token_) return 0;
    RV rv = token_->Lock();
    if (rv) lock_.Unlock();
    return rv;
}

void Slot::Unlock() {
    if (token_) {
        // The idle timer starts again; its time-out is read only when the
        // timer is asked, so a call that needs nothing of the token sends
        // nothing to it.
        idleStart_ = time(nullptr);
        timerArmed_ = token_->IsLogIn();
        token_->Unlock();
    }
    lock_.Unlock();
}

void Slot::DropManagers() {
    // Handles of the next managers follow the ones handed out: a handle of
    // the token that went never names an object of the one that comes.
    if (storeObjects_) handleFloor_ = storeObjects_->LastHandle();
    storeObjects_.reset();
    objects_.reset();
    fsContainers_.reset();
    containers_.reset();
    // containersMerged_ stays: the managers built again merge the objects
    // into the containers at the next refresh, and the handles stay valid.
}

RV Slot::Init() {
    if (!token_) return CKR_TOKEN_NOT_PRESENT;
    IFileSystem* fs = token_->GetFileSystem();
    IStore* store = token_->GetStore();
    if (!fs || !store) return CKR_TOKEN_NOT_RECOGNIZED;
    if (!storeObjects_) storeObjects_ = std::make_unique<ObjMgrWithStore>(store, handleFloor_);
    if (!fsContainers_) fsContainers_ = std::make_unique<ContMgrFsStore>(fs);
    if (!objects_) objects_ = std::make_unique<ObjMgrWithCont>(storeObjects_.get(), fsContainers_.get());
    if (!containers_) containers_ = std::make_unique<ContMgrWithObj>(fsContainers_.get(), storeObjects_.get());
    return 0;
}

RV Slot::CheckUpdate() {
    RV rv = Init();
    if (rv) return rv;
    rv = objects_->CheckUpdate(nullptr, nullptr, nullptr);
    if (rv == 0 && containersMerged_) rv = CheckUpdate2();
    // Key files of creations and deletions cut short (here or in a process
    // that died) go before the call does its work; nothing noted, nothing sent.
    if (rv == 0) {
        token_->SweepKeyFiles();
        SettleContainers();
    }
    return rv;
}

void Slot::SettleContainers() {
    fsContainers_->DropReferences(token_->TakeSweptKeyFiles());
    // Only with every key object in its container can the maps tell a
    // reference no object carries; a failed save is tried again later.
    if (!containersMerged_) return;
    // A reference left by a destruction cut short before its map save (a
    // process killed, a save that failed) names a key file that is gone:
    // one look at the file list, and only while such a reference is new.
    std::vector<uint16_t> files;
    if (fsContainers_->LooseReferencesUnchecked() && token_->GetFileList(files) == 0)
        fsContainers_->DropMissingKeyFiles(files);
    fsContainers_->SettleDropped();
}

void Slot::PrepareWrite() {
    if (token_) token_->RequireFreshCounter();
}

RV Slot::CheckUpdate2() {
    RV rv = Init();
    if (rv) return rv;
    rv = objects_->CheckUpdate2(nullptr, nullptr, nullptr);
    if (rv) return rv;
    containersMerged_ = true;
    SettleContainers();
    return 0;
}

IObjectManager* Slot::GetObjectManager() { return token_ && Init() == 0 ? objects_.get() : nullptr; }

IContainerManager* Slot::GetContainerManager() { return token_ && Init() == 0 ? containers_.get() : nullptr; }

IAuthManager* Slot::GetAuthManager() { return token_ ? token_->GetAuthManager() : nullptr; }

AlgFactory* Slot::GetAlgFactory() { return token_ ? token_->GetAlgFactory() : nullptr; }

RV Slot::GetTokenInfo(CK_TOKEN_INFO* info) { return token_ ? token_->GetTokenInfo(info) : CKR_TOKEN_NOT_PRESENT; }

RV Slot::SetTokenLabel(const uint8_t* label) {
    return token_ ? token_->SetTokenInfoLabel(label) : CKR_TOKEN_NOT_PRESENT;
}

RV Slot::GenerateRandom(uint8_t* buffer, uint32_t length) {
    return token_ ? token_->GenerateRandom(buffer, length) : CKR_TOKEN_NOT_PRESENT;
}

RV Slot::RefreshStore() {
    if (token_) {
        RV rv = token_->ClearStore();
        if (rv) return rv;
    }
    DropManagers();
    return 0;
}

RV Slot::SelfTokenPresent() {
    // The token object is replaced under the slot lock: no call is using it.
    ThreadMutexGuard guard(lock_);
    RV rv = RefreshStore();
    if (rv) return rv;
    token_.reset();
    std::unique_ptr<kv_dev_t> device = OpenTokenDevice();
    auto token = std::make_unique<CTokenTarn>(SlotTokenParts());
    token->Init(device.get());
    token->SetDev(device.release());
    rv = token->ConnectAndSetenv();
    if (rv) return rv;
    token_ = std::move(token);
    return 0;
}

RV Slot::KeepOrBindToken() {
    {
        ThreadMutexGuard guard(lock_);
        if (token_ && token_->StillSameToken()) return 0;
    }
    return SelfTokenPresent();
}

void Slot::BindIfUnbound() {
    ThreadMutexGuard guard(lock_);
    if (!token_) SelfTokenPresent();
}

int Slot::IsTokenTimeout() {
    if (!token_ || !timerArmed_) return 2;
    token_->GetTimeOut(&timeoutMs_);  // a failed read keeps the time-out last read
    if (timeoutMs_ == 0) return 2;
    return difftime(time(nullptr), idleStart_) > timeoutMs_ / 1000 && token_->IsLogIn() ? 1 : 0;
}
