// The frame of every exported function: the internal twin runs inside an
// exception trap, its code is mapped for the application, and the logger
// (when on) records the entry and the exit with the result.
#ifndef KV_PKCS11_P11_TRAP_H
#define KV_PKCS11_P11_TRAP_H

#include <cstdint>

#include "logger.h"
#include "p11_internal.h"

template <typename Twin>
CK_RV TrapCall(const char* name, Twin&& twin) noexcept {
    uint32_t logged = static_cast<uint32_t>(CKR_GENERAL_ERROR);
    MessageLoggerFuncInOut record(name, &logged, static_cast<uint32_t>(CKR_OK), false, false);
    try {
        const CK_RV rv = ToApplicationRv(twin());
        logged = static_cast<uint32_t>(rv);
        return rv;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

#endif
