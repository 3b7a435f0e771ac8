#pragma once
// Guards for the platform's handles, all of one shape: built from the raw
// value a call returned, closed on every path, movable but never copied.
// get() reads the value, Put() hands out the slot for an out-parameter,
// Reset() closes now, Release() gives the value up without closing it.
#include <windows.h>

#include <utility>

namespace vr {

template <class Traits>
class ScopedHandle {
public:
    using Type = typename Traits::Type;

    ScopedHandle() = default;
    explicit ScopedHandle(Type value) : value_(value) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : value_(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Type get() const { return value_; }
    explicit operator bool() const { return Traits::IsValid(value_); }
    Type* Put() {
        Reset();
        return &value_;
    }
    Type Release() { return std::exchange(value_, Traits::Invalid()); }
    void Reset(Type value = Traits::Invalid()) {
        if (Traits::IsValid(value_)) Traits::Close(value_);
        value_ = value;
    }

private:
    Type value_ = Traits::Invalid();
};

// Files, mutexes, processes and threads. CreateFileW fails with
// INVALID_HANDLE_VALUE, the others with null: neither is ever closed.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
using KernelHandle = ScopedHandle<KernelHandleTraits>;

// Directory searches (FindFirstFileW).
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Type h) { FindClose(h); }
};
using FindHandle = ScopedHandle<FindHandleTraits>;

// Both handles CreateProcessW returns; the thread is closed first.
struct ProcessHandles {
    PROCESS_INFORMATION info{};
    ProcessHandles() = default;
    ProcessHandles(const ProcessHandles&) = delete;
    ProcessHandles& operator=(const ProcessHandles&) = delete;
    ~ProcessHandles() {
        const KernelHandle process(info.hProcess);
        const KernelHandle thread(info.hThread);  // destroyed first
    }
};

}  // namespace vr
