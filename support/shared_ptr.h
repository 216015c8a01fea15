// The library's reference-counted pointer: one shared control block whose
// count changes only through InterlockedIncrement/InterlockedDecrement.
#ifndef KV_SUPPORT_SHARED_PTR_H
#define KV_SUPPORT_SHARED_PTR_H

#include <cstdint>
#include <type_traits>
#include <utility>

#include "interlocked.h"

namespace kv {

namespace detail {
struct RefBlock {
    uint32_t count = 1;
    virtual void Destroy() = 0;
    virtual ~RefBlock() = default;
};

template <class U>
struct RefBlockFor final : RefBlock {
    explicit RefBlockFor(U* p) : object(p) {}
    void Destroy() override { delete object; }
    U* object;
};
}  // namespace detail

template <class T>
class shared_ptr {
public:
    shared_ptr() = default;
    shared_ptr(std::nullptr_t) {}  // NOLINT: implicit like std::shared_ptr
    template <class U, class = std::enable_if_t<std::is_convertible<U*, T*>::value>>
    explicit shared_ptr(U* p) : ptr_(p), block_(p ? new detail::RefBlockFor<U>(p) : nullptr) {}

    shared_ptr(const shared_ptr& o) : ptr_(o.ptr_), block_(o.block_) { Retain(); }
    shared_ptr(shared_ptr&& o) noexcept : ptr_(o.ptr_), block_(o.block_) {
        o.ptr_ = nullptr;
        o.block_ = nullptr;
    }
    template <class U, class = std::enable_if_t<std::is_convertible<U*, T*>::value>>
    shared_ptr(const shared_ptr<U>& o) : ptr_(o.ptr_), block_(o.block_) {  // NOLINT
        Retain();
    }
    ~shared_ptr() { Release(); }

    shared_ptr& operator=(shared_ptr o) noexcept {
        swap(o);
        return *this;
    }
    void swap(shared_ptr& o) noexcept {
        std::swap(ptr_, o.ptr_);
        std::swap(block_, o.block_);
    }
    void reset() { shared_ptr().swap(*this); }

    T* get() const { return ptr_; }
    T& operator*() const { return *ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    uint32_t use_count() const { return block_ ? block_->count : 0; }

private:
    template <class U>
    friend class shared_ptr;

    void Retain() {
        if (block_) InterlockedIncrement(&block_->count);
    }
    void Release() {
        if (block_ && InterlockedDecrement(&block_->count) == 0) {
            block_->Destroy();
            delete block_;
        }
        ptr_ = nullptr;
        block_ = nullptr;
    }

    T* ptr_ = nullptr;
    detail::RefBlock* block_ = nullptr;
};

template <class T, class U>
bool operator==(const shared_ptr<T>& a, const shared_ptr<U>& b) {
    return a.get() == b.get();
}
template <class T, class U>
bool operator!=(const shared_ptr<T>& a, const shared_ptr<U>& b) {
    return a.get() != b.get();
}

template <class T, class... Args>
shared_ptr<T> make_shared(Args&&... args) {
    return shared_ptr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace kv

#endif
