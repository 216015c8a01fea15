// The device interface through which the token layer reaches a token.
#ifndef KV_DEVICE_KV_DEV_H
#define KV_DEVICE_KV_DEV_H

#include <cstdint>
#include <string>

#include "kv_types.h"

class IToken;

class kv_dev_t {
public:
    explicit kv_dev_t(std::string name) : name_(std::move(name)) {}
    virtual ~kv_dev_t() = default;
    kv_dev_t(const kv_dev_t&) = delete;
    kv_dev_t& operator=(const kv_dev_t&) = delete;

    virtual bool Match(IToken* token) const = 0;
    virtual bool IsSameAs(const kv_dev_t* other) const = 0;
    virtual RV Disconnect() = 0;
    virtual RV Connect() = 0;
    virtual RV Reconnect() = 0;
    virtual RV Lock() = 0;
    virtual RV Unlock() = 0;
    virtual std::string GetReaderName() const { return name_; }
    // The lock file of the processes that share this device (token/process_lock.h);
    // empty when no other process can reach it.
    virtual std::string LockPath() const { return std::string(); }
    // One APDU exchange. response (if given) holds *responseLen bytes on
    // entry; on success it receives the data without the status word and
    // *responseLen its length. CKR_DEVICE_ERROR when the exchange fails.
    virtual RV Transmit(const uint8_t* command, uint32_t commandLen, uint8_t* response, uint32_t* responseLen,
                        uint8_t* sw1, uint8_t* sw2) = 0;

private:
    std::string name_;
};

class kv_dev_base : public kv_dev_t {
public:
    using kv_dev_t::kv_dev_t;
    bool Match(IToken*) const override { return false; }
    bool IsSameAs(const kv_dev_t*) const override { return false; }
    RV Connect() override { return 0; }
    RV Reconnect() override { return 0; }
};

#endif
