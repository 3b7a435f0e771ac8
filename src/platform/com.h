#pragma once
// COM on the calling thread: the apartment, and strings that COM allocated
// for us, each released by a guard.
#include <windows.h>
#include <objbase.h>

#include "platform/handles.h"

namespace vr {

// Enters a single-threaded apartment; Leave() (or the destructor) leaves it
// only when entering succeeded.
class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() { Leave(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    bool Entered() const { return entered_; }
    HRESULT Result() const { return result_; }
    void Leave() {
        if (entered_) CoUninitialize();
        entered_ = false;
    }

private:
    HRESULT result_;
    bool entered_ = SUCCEEDED(result_);
};

// A string handed out through a PWSTR* out-parameter, freed with
// CoTaskMemFree.
struct CoTaskMemTraits {
    using Type = wchar_t*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { CoTaskMemFree(p); }
};
using CoTaskMemString = ScopedHandle<CoTaskMemTraits>;

}  // namespace vr
