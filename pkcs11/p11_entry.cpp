// The exported functions: each calls its internal twin in the common frame
// (exception trap, code mapping, entry/exit records).
#include <string_view>

#include "kv_export.h"
#include "p11_internal.h"
#include "p11_trap.h"

namespace {

// The calls whose own checks come before the initialised check: C_Initialize
// and C_GetFunctionList need no initialisation, C_SeedRandom and
// C_WaitForSlotEvent answer alike in every state, and the others refuse
// missing arguments first. Every other call answers
// CKR_CRYPTOKI_NOT_INITIALIZED before it looks at anything the caller passed.
constexpr bool OwnChecksFirst(std::string_view name) {
    for (std::string_view own :
         {"C_Initialize", "C_GetFunctionList", "C_Finalize", "C_GetInfo", "C_SeedRandom", "C_WaitForSlotEvent",
          "C_OpenSession", "C_GetSessionInfo", "C_InitToken", "C_InitPIN", "C_SetPIN", "C_GetSlotList",
          "C_GetSlotInfo", "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo"}) {
        if (own == name) return true;
    }
    return false;
}

template <typename Twin>
CK_RV Frame(const char* name, bool ownChecksFirst, Twin&& twin) noexcept {
    return TrapCall(name, [&] {
        if (!ownChecksFirst) {
            const CK_RV rv = CheckInitialized();
            if (rv) return rv;
        }
        return twin();
    });
}

}  // namespace

extern "C" {
#define KV_P11_FUNC(name, params, args) \
    KV_EXPORT CK_RV name params { return Frame(#name, OwnChecksFirst(#name), [&] { return _##name args; }); }
#include "pkcs11f.h"
#undef KV_P11_FUNC
}
