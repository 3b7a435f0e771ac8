// The handle guards close exactly what they own, once: a named event lives
// exactly as long as some handle to it.
#include "platform/handles.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vr {
namespace {

TEST(ScopedHandle, ClosesOnceWhateverPathTheValueTakes) {
    const std::wstring name = L"vr-handles-test-" + std::to_wstring(GetCurrentProcessId());
    const auto exists = [&name] {
        return static_cast<bool>(KernelHandle(OpenEventW(SYNCHRONIZE, FALSE, name.c_str())));
    };
    { const KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str())); }
    EXPECT_FALSE(exists()) << "the destructor did not close the handle";
    KernelHandle first(CreateEventW(nullptr, TRUE, FALSE, name.c_str())), second;
    second = std::move(first);
    first.Reset();                   // owns nothing after the move
    second.Reset(second.Release());  // taken back without a close in between
    EXPECT_TRUE(exists());
    CloseHandle(second.Release());
    EXPECT_FALSE(second || exists());
    EXPECT_FALSE(KernelHandle(INVALID_HANDLE_VALUE) || FindHandle(INVALID_HANDLE_VALUE) || FindHandle(nullptr));
}

}  // namespace
}  // namespace vr
