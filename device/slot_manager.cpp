#include "slot_manager.h"

#include "libusb_dev.h"

RV SlotManager::Initialize() {
    ThreadMutexGuard guard(*this);
    slots_[1] = kv::shared_ptr<Slot>(new Slot(1));
    return 0;
}

// No lock: the map is filled once, before any slot is handed out.
kv::shared_ptr<Slot> SlotManager::GetSlot(CK_SLOT_ID id) {
    if (id > 0xFFFFFFFFUL) return {};
    auto it = slots_.find(static_cast<uint32_t>(id));
    return it == slots_.end() ? kv::shared_ptr<Slot>() : it->second;
}

void SlotManager::FindSlots(bool tokenPresent, const CK_SLOT_ID* list, std::vector<CK_SLOT_ID>& ids) {
    ThreadMutexGuard guard(*this);
    for (auto& entry : slots_) {
        if (!entry.second) continue;
        if (!tokenPresent) {
            // Clients look for the token through the slot information after
            // such a listing: bind an attached token if none is bound yet.
            if (list) entry.second->BindIfUnbound();
            ids.push_back(entry.first);
        } else if (list) {
            if (entry.second->KeepOrBindToken() == 0) ids.push_back(entry.first);
        } else {
            std::string reader;
            if (libusb_dev_t("").FindReader(reader) == 0) ids.push_back(entry.first);
        }
    }
}
