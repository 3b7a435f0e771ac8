#pragma once
// Owning reference to a COM object: one Release per reference we hold, on
// every path, without repeating clean-up code.
#include <unknwn.h>

#include <utility>

namespace vr {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr& other) : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes a reference the caller already owns (an out-parameter's result).
    static ComPtr Adopt(T* p) {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    // Adds a reference of our own to a borrowed pointer.
    static ComPtr Retain(T* p) {
        if (p) p->AddRef();
        return Adopt(p);
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: drops what we hold and hands out the slot.
    T** Put() {
        Reset();
        return &p_;
    }
    void Reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }

    // QueryInterface for another interface; empty when the object lacks it.
    template <class U>
    ComPtr<U> As(const IID& iid) const {
        ComPtr<U> r;
        if (p_) p_->QueryInterface(iid, reinterpret_cast<void**>(r.Put()));
        return r;
    }

private:
    T* p_ = nullptr;
};

}  // namespace vr
