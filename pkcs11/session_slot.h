// The slot of a session, locked for the duration of a session call, with
// the session layer's codes: no slot manager CKR_HOST_MEMORY, no slot or a
// failing lock CKR_GENERAL_ERROR.
#ifndef KV_PKCS11_SESSION_SLOT_H
#define KV_PKCS11_SESSION_SLOT_H

#include "pkcs11.h"
#include "shared_ptr.h"
#include "slot.h"

class SessionSlot {
public:
    explicit SessionSlot(CK_SLOT_ID id);
    ~SessionSlot();
    SessionSlot(const SessionSlot&) = delete;
    SessionSlot& operator=(const SessionSlot&) = delete;

    // Also runs the slot's refresh: CheckUpdate, and CheckUpdate2 when asked;
    // a failure is CKR_DEVICE_ERROR (no memory, no token: those codes). A
    // call that writes says so: its view then comes from the token's counter.
    CK_RV Refresh(bool containers, bool writes = false);

    CK_RV rv;
    kv::shared_ptr<Slot> slot;

private:
    bool locked_ = false;
};

// What a failed refresh of the slot's objects (Slot::CheckUpdate) answers:
// CKR_DEVICE_ERROR, or no memory, no token.
CK_RV RefreshResult(RV rv);

// Whether the slot's user is logged in; a missing auth manager or a failing
// query is CKR_GENERAL_ERROR.
CK_RV UserAuthenticated(Slot& slot, bool& user);

#endif
