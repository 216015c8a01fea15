// The slot table: one slot, ID 1, for the USB token.
#ifndef KV_DEVICE_SLOT_MANAGER_H
#define KV_DEVICE_SLOT_MANAGER_H

#include <map>
#include <vector>

#include "shared_ptr.h"
#include "slot.h"
#include "thread_mutex.h"

class SlotManager : public ThreadMutex {
public:
    RV Initialize();
    kv::shared_ptr<Slot> GetSlot(CK_SLOT_ID id);
    // Appends the IDs of slots (with a token, when asked; a size query binds nothing).
    void FindSlots(bool tokenPresent, const CK_SLOT_ID* list, std::vector<CK_SLOT_ID>& ids);
    void CancelWait4SlotEvent() {}

private:
    std::map<uint32_t, kv::shared_ptr<Slot>> slots_;
};

#endif
