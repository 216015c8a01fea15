// A PKCS#11 application for the socket trust tests: the module as any client
// finds it, from the environment alone (no socket named by the program).
// Prints how many slots hold a token; exit 0, or 1 when a call fails.
#include <cstdio>

#include "pkcs11.h"

int main() {
    if (C_Initialize(nullptr) != CKR_OK) return 1;
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    const CK_RV rv = C_GetSlotList(CK_TRUE, slots, &count);  // with a list: the slots look for their token
    C_Finalize(nullptr);
    if (rv != CKR_OK) return 1;
    std::printf("%lu\n", static_cast<unsigned long>(count));
    return 0;
}
