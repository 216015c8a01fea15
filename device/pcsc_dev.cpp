#ifdef KV_WITH_PCSC
#include "pcsc_dev.h"

#include <cstring>
#include <type_traits>
#include <vector>

#include "host_lock_path.h"
#include "kv_provisioning.h"
// After the library's headers: the PC/SC result macros take over from here.
#include <winscard.h>

static_assert(std::is_same_v<SCARDCONTEXT, long> && std::is_same_v<SCARDHANDLE, long> &&
                  std::is_same_v<LONG, long> && std::is_same_v<DWORD, unsigned long>,
              "pcsc_dev.h holds pcsc-lite's types as long and unsigned long");

namespace {

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

// Where the historical bytes of an answer to reset start (ISO/IEC 7816-3:
// TS, T0 whose low nibble counts them, then the interface bytes each TDi
// announces), and whether the ATR holds them all; a TCK may follow.
bool HistoricalBytes(const uint8_t* atr, size_t length, size_t& start, size_t& count) {
    if (length < 2) return false;
    count = atr[1] & 0x0F;
    size_t i = 1;
    uint8_t y = atr[1] >> 4;
    for (;;) {
        size_t present = ((y & 1) != 0) + ((y & 2) != 0) + ((y & 4) != 0) + ((y & 8) != 0);
        if (i + present >= length) return false;
        i += present;
        if (!(y & 8)) break;
        y = atr[i] >> 4;  // TDi: the next interface bytes
    }
    start = i + 1;
    return start + count <= length;
}

}  // namespace

pcsc_dev_t::pcsc_dev_t(long context, std::string reader, long card, unsigned long protocol)
    : apdu_dev_t(std::move(reader)), context_(context), card_(card), protocol_(protocol) {}

pcsc_dev_t::~pcsc_dev_t() {
    if (transaction_) SCardEndTransaction(card_, SCARD_LEAVE_CARD);
    Disconnect();
    SCardReleaseContext(context_);
}

bool pcsc_dev_t::IsTokenAtr(const uint8_t* atr, size_t length) {
    size_t start = 0, count = 0;
    return HistoricalBytes(atr, length, start, count) && count == sizeof kvprov::kAtrHistorical &&
           std::memcmp(atr + start, kvprov::kAtrHistorical, count) == 0;
}

RV pcsc_dev_t::Result(LONG code) {
    switch (code) {
        case SCARD_S_SUCCESS:
            return 0;
        case SCARD_W_REMOVED_CARD:
        case SCARD_E_NO_SMARTCARD:
        case SCARD_W_UNPOWERED_CARD:
        case SCARD_W_UNRESPONSIVE_CARD:
            return CKR_TOKEN_NOT_PRESENT;
        case SCARD_E_READER_UNAVAILABLE:
        case SCARD_E_UNKNOWN_READER:
        case SCARD_E_NO_READERS_AVAILABLE:
        case SCARD_E_NO_SERVICE:
        case SCARD_E_SERVICE_STOPPED:
            return CKR_DEVICE_REMOVED;
        default:
            return CKR_DEVICE_ERROR;
    }
}

std::unique_ptr<pcsc_dev_t> pcsc_dev_t::FindToken() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return nullptr;
    DWORD size = 0;
    std::vector<char> names;
    if (SCardListReaders(context, nullptr, nullptr, &size) == SCARD_S_SUCCESS && size > 0) {
        names.resize(size);
        if (SCardListReaders(context, nullptr, names.data(), &size) != SCARD_S_SUCCESS) names.clear();
    }
    // A list of names, each ended by a NUL, the whole by another.
    for (const char* name = names.data(); !names.empty() && *name; name += std::strlen(name) + 1) {
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        if (SCardConnect(context, name, SCARD_SHARE_SHARED, kProtocols, &card, &protocol) != SCARD_S_SUCCESS)
            continue;
        char reader[MAX_READERNAME];
        DWORD readerLen = sizeof reader, state = 0, active = 0;
        uint8_t atr[MAX_ATR_SIZE];
        DWORD atrLen = sizeof atr;
        if (SCardStatus(card, reader, &readerLen, &state, &active, atr, &atrLen) == SCARD_S_SUCCESS &&
            IsTokenAtr(atr, atrLen))
            return std::unique_ptr<pcsc_dev_t>(new pcsc_dev_t(context, name, card, protocol));
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    SCardReleaseContext(context);
    return nullptr;
}

RV pcsc_dev_t::Connect() {
    if (card_) return 0;
    return Result(SCardConnect(context_, GetReaderName().c_str(), SCARD_SHARE_SHARED, kProtocols, &card_, &protocol_));
}

RV pcsc_dev_t::Disconnect() {
    if (!card_) return 0;
    LONG rc = SCardDisconnect(card_, SCARD_LEAVE_CARD);
    card_ = 0;
    transaction_ = false;
    return Result(rc);
}

RV pcsc_dev_t::Reconnect() {
    transaction_ = false;  // a reset ends the transaction
    LONG rc = SCardReconnect(card_, SCARD_SHARE_SHARED, kProtocols, SCARD_LEAVE_CARD, &protocol_);
    if (rc == SCARD_S_SUCCESS && depth_ > 0) rc = BeginTransaction();
    return Result(rc);
}

LONG pcsc_dev_t::BeginTransaction() {
    LONG rc = SCardBeginTransaction(card_);
    transaction_ = rc == SCARD_S_SUCCESS;
    return rc;
}

RV pcsc_dev_t::Lock() {
    if (depth_++ == 0 && card_ && BeginTransaction() == SCARD_W_RESET_CARD) Reconnect();
    return 0;
}

RV pcsc_dev_t::Unlock() {
    if (depth_ > 0 && --depth_ == 0 && transaction_) {
        transaction_ = false;
        SCardEndTransaction(card_, SCARD_LEAVE_CARD);
    }
    return 0;
}

std::string pcsc_dev_t::LockPath() const { return HostLockPath("pcsc", GetReaderName()); }

LONG pcsc_dev_t::Send(const uint8_t* command, uint32_t length, uint8_t* buffer, uint32_t& received) {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    DWORD n = kResponseMax;
    LONG rc = SCardTransmit(card_, pci, command, length, nullptr, buffer, &n);
    received = static_cast<uint32_t>(n);
    return rc;
}

RV pcsc_dev_t::Exchange(const uint8_t* command, uint32_t length, uint8_t* buffer, uint32_t& received) {
    if (length > MAX_BUFFER_SIZE_EXTENDED) return CKR_DATA_LEN_RANGE;
    if (!card_) return CKR_TOKEN_NOT_PRESENT;
    LONG rc = Send(command, length, buffer, received);
    if (rc == SCARD_W_RESET_CARD) {
        RV rv = Reconnect();
        if (rv) return rv;
        rc = Send(command, length, buffer, received);
    }
    return Result(rc);
}
#endif
