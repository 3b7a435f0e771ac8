// The guards close exactly what they own, once; the apartment guard leaves
// only an apartment it entered; run-time lookups degrade to null.
#include "platform/handles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <utility>

#include "platform/com.h"
#include "platform/runtime_function.h"

namespace vr {
namespace {

// A named kernel object lives exactly as long as some handle to it, so
// whether it can still be opened tells whether the guards closed theirs.
std::wstring UniqueName(const wchar_t* tag) {
    return std::wstring(L"vr-handles-test-") + tag + L"-" + std::to_wstring(GetCurrentProcessId());
}
bool EventExists(const std::wstring& name) {
    const KernelHandle probe(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    return static_cast<bool>(probe);
}

TEST(ScopedHandle, ClosesOnceWhateverPathTheValueTakes) {
    const std::wstring name = UniqueName(L"scope");
    {
        const KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        ASSERT_TRUE(event);
        EXPECT_TRUE(EventExists(name));
    }
    EXPECT_FALSE(EventExists(name)) << "the destructor did not close the handle";

    KernelHandle first(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    KernelHandle second(std::move(first));
    EXPECT_FALSE(first);
    first.Reset();  // the moved-from guard owns nothing to close
    EXPECT_TRUE(EventExists(name));
    second.Reset();
    EXPECT_FALSE(second);
    EXPECT_FALSE(EventExists(name)) << "Reset did not close the handle";

    KernelHandle kept(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    const HANDLE raw = kept.Release();
    kept.Reset();
    EXPECT_TRUE(EventExists(name)) << "Release must give the handle up without closing it";
    CloseHandle(raw);
    EXPECT_FALSE(EventExists(name));
}

TEST(ScopedHandle, FailureValuesAreNeverClosed) {
    const KernelHandle failedFile(CreateFileW(L"Z:\\no\\such\\folder\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(failedFile);
    const KernelHandle failedOpen(OpenEventW(SYNCHRONIZE, FALSE, UniqueName(L"absent").c_str()));
    EXPECT_FALSE(failedOpen);
    WIN32_FIND_DATAW entry{};
    const FindHandle search(FindFirstFileW(L"Z:\\no\\such\\folder\\*", &entry));
    EXPECT_FALSE(search);
}

// CoInitializeEx on a thread already in an apartment of the other model
// fails with RPC_E_CHANGED_MODE, which reveals whether an apartment is
// still entered.
bool InSingleThreadedApartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr == RPC_E_CHANGED_MODE;
}

TEST(ComApartmentGuard, LeavesOnlyWhatItEntered) {
    std::thread([] {
        {
            ComApartment outer;
            ASSERT_TRUE(outer.Entered());
            {
                ComApartment nested;  // S_FALSE: counted, so left again
                EXPECT_TRUE(nested.Entered());
            }
            EXPECT_TRUE(InSingleThreadedApartment()) << "the nested guard left the outer apartment";
            outer.Leave();
            EXPECT_FALSE(outer.Entered());
            EXPECT_FALSE(InSingleThreadedApartment());
        }  // a second Leave from the destructor must not unbalance anything

        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        {
            ComApartment refused;
            EXPECT_FALSE(refused.Entered());
            EXPECT_EQ(refused.Result(), RPC_E_CHANGED_MODE);
        }
        // Still in the multithreaded apartment: the refused guard left nothing.
        const HRESULT again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(again, S_FALSE);
        if (SUCCEEDED(again)) CoUninitialize();
        CoUninitialize();
    }).join();
}

TEST(LookupFunction, FindsExportsAndDegradesToNull) {
    using TickFn = ULONGLONG(WINAPI*)();
    const auto tick = LookupFunction<TickFn>(L"kernel32.dll", "GetTickCount64");
    ASSERT_NE(tick, nullptr);
    EXPECT_GT(tick(), 0u);
    EXPECT_EQ(LookupFunction<TickFn>(L"kernel32.dll", "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(LookupFunction<TickFn>(L"no-such-module-vr.dll", "GetTickCount64", true), nullptr);
    EXPECT_EQ(LookupFunction<TickFn>(static_cast<HMODULE>(nullptr), "GetTickCount64"), nullptr);
}

}  // namespace
}  // namespace vr
