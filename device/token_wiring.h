// How the slot makes the parts its token object owns: the algorithm factory
// with the token-backed mechanisms, the file cache mirrored on the phone
// (token files that hold secrets stay off it), the named file system and
// the object store.
#ifndef KV_DEVICE_TOKEN_WIRING_H
#define KV_DEVICE_TOKEN_WIRING_H

#include "token_parts.h"

TokenParts SlotTokenParts();

#endif
