// The token in a reader of the desktop's PC/SC service (pcsc-lite), host
// builds with pcsc-lite only (KV_WITH_PCSC). Each APDU is one SCardTransmit;
// the outermost device lock scope is one PC/SC transaction, so no other PC/SC
// application slips a command in between. A card reset by another
// application is reconnected and the command sent again: the token answers
// 6985 and the token layer reopens its channel, as after a reset on USB.
// A card that is gone (or a reader, or the service) fails the exchange with
// CKR_TOKEN_NOT_PRESENT (card) or CKR_DEVICE_REMOVED (reader, service); the
// slot looks for the token again at its next listing.
#ifndef KV_DEVICE_PCSC_DEV_H
#define KV_DEVICE_PCSC_DEV_H

#ifdef KV_WITH_PCSC

#include <cstddef>
#include <memory>

#include "apdu_dev.h"

// pcsc-lite's handle and result types (SCARDCONTEXT, SCARDHANDLE, LONG:
// long; DWORD: unsigned long), kept out of this header: its SCARD_E_* macros
// would clash with the names of kv_types.h.

class pcsc_dev_t : public apdu_dev_t {
public:
    // The first reader whose card is this token, connected; null when PC/SC
    // has none (no service, no reader, no card with this token's ATR).
    static std::unique_ptr<pcsc_dev_t> FindToken();
    // Whether an answer to reset is this token's: its historical bytes are
    // kvprov::kAtrHistorical (the interface bytes may differ).
    static bool IsTokenAtr(const uint8_t* atr, size_t length);
    // The result code for a PC/SC failure.
    static RV Result(long code);

    ~pcsc_dev_t() override;

    // 0 while connected; else connects to the same reader again.
    RV Connect() override;
    RV Disconnect() override;
    // After a reset by another application; the transaction is taken again
    // inside a lock scope.
    RV Reconnect() override;
    // The outermost Lock begins a transaction, the matching Unlock ends it.
    // A card that is gone takes none: the exchange then tells.
    RV Lock() override;
    RV Unlock() override;
    // pcsc-<reader>-<hash>.lock in this user's lock folder
    // (device/host_lock_path.h): the processes of one user meet there.
    std::string LockPath() const override;

protected:
    RV Exchange(const uint8_t* command, uint32_t length, uint8_t* buffer, uint32_t& received) override;

private:
    pcsc_dev_t(long context, std::string reader, long card, unsigned long protocol);
    long Send(const uint8_t* command, uint32_t length, uint8_t* buffer, uint32_t& received);
    long BeginTransaction();

    long context_;
    long card_;
    unsigned long protocol_;
    int depth_ = 0;             // device lock scopes open
    bool transaction_ = false;  // the outermost scope holds a transaction
};

#endif
#endif
