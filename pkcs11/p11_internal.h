// The internal twins of the exported functions (all checks and locking),
// and the helpers of the common frame.
#ifndef KV_PKCS11_P11_INTERNAL_H
#define KV_PKCS11_P11_INTERNAL_H

#include "pkcs11.h"
#include "result_codes.h"
#include "session_manager.h"
#include "shared_ptr.h"
#include "slot.h"

#define KV_P11_FUNC(name, params, args) CK_RV _##name params;
#include "pkcs11f.h"
#undef KV_P11_FUNC

// Frame steps: environment initialised; the slot by ID; the session by handle.
CK_RV CheckInitialized();
CK_RV FindSlot(CK_SLOT_ID id, kv::shared_ptr<Slot>& slot);
CK_RV FindSession(CK_SESSION_HANDLE handle, SessionPtr& session);
// The frame of a session call: environment initialised, then the session.
CK_RV SessionFrame(CK_SESSION_HANDLE handle, SessionPtr& session);

#endif
