// The common frame of a slot call: library initialised, slot found, slot
// locked for the call's duration.
#ifndef KV_PKCS11_SLOT_FRAME_H
#define KV_PKCS11_SLOT_FRAME_H

#include "p11_internal.h"

class SlotFrame {
public:
    explicit SlotFrame(CK_SLOT_ID id) {
        rv = CheckInitialized();
        if (rv == CKR_OK) rv = FindSlot(id, slot);
        // A client may name the slot without listing slots first.
        if (rv == CKR_OK) slot->BindIfUnbound();
        if (rv == CKR_OK) {
            locked_ = slot->Lock() == 0;
            if (!locked_) rv = CKR_GENERAL_ERROR;
        }
    }
    ~SlotFrame() {
        if (locked_) slot->Unlock();
    }
    SlotFrame(const SlotFrame&) = delete;
    SlotFrame& operator=(const SlotFrame&) = delete;

    CK_RV rv;
    kv::shared_ptr<Slot> slot;

private:
    bool locked_ = false;
};

#endif
