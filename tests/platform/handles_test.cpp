// The handle guards close exactly what they own, once; the apartment guard
// leaves only an apartment it entered.
#include "platform/handles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <utility>

#include "platform/com.h"

namespace vr {
namespace {

// A named event lives exactly as long as some handle to it.
bool EventExists(const std::wstring& name) { return static_cast<bool>(KernelHandle(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()))); }

TEST(ScopedHandle, ClosesOnceWhateverPathTheValueTakes) {
    const std::wstring name = L"vr-handles-test-" + std::to_wstring(GetCurrentProcessId());
    {
        const KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        ASSERT_TRUE(EventExists(name));
    }
    EXPECT_FALSE(EventExists(name)) << "the destructor did not close the handle";

    KernelHandle first(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    KernelHandle second(std::move(first));
    first.Reset();  // owns nothing after the move
    EXPECT_TRUE(EventExists(name));
    KernelHandle third;
    third = std::move(second);
    EXPECT_TRUE(EventExists(name));
    third.Reset(third.Release());  // taken back without a close in between
    EXPECT_TRUE(EventExists(name));
    CloseHandle(third.Release());
    EXPECT_FALSE(third);
    EXPECT_FALSE(EventExists(name));

    // Each kind's failure value counts as empty.
    EXPECT_FALSE(KernelHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(KernelHandle(nullptr));
    EXPECT_FALSE(FindHandle(INVALID_HANDLE_VALUE));
}

// CoInitializeEx in the other model fails with RPC_E_CHANGED_MODE while a
// single-threaded apartment is still entered.
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
            { const ComApartment nested; }  // S_FALSE is counted too, so it is left again
            EXPECT_TRUE(InSingleThreadedApartment()) << "the nested guard left the outer apartment";
            outer.Leave();
            EXPECT_FALSE(InSingleThreadedApartment());
        }  // no second leave from the destructor
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        {
            const ComApartment refused;
            EXPECT_FALSE(refused.Entered());
        }
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "the refused guard left the apartment";
        CoUninitialize();
        CoUninitialize();
    }).join();
}

}  // namespace
}  // namespace vr
