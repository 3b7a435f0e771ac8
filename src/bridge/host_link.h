#pragma once
// A host handle for threads that may outlive the bridge (the detached Discord
// fetch and game launch). It forwards to the host until Detach, then drops
// every call, so a late job never touches a host window that is gone.
#include <mutex>

#include "host/host_actions.h"

namespace vr {

class HostLink final : public IHostActions {
public:
    explicit HostLink(IHostActions* host) : host(host) {}

    // Waits for a call in progress (posting only copies a string), then cuts
    // the link for good.
    void Detach();

    void PostToPage(const std::wstring& json) override;
    void Minimize() override;
    void BeginDrag() override;
    void Close() override;
    void SetNewsRect(int32_t x, int32_t y, int32_t width, int32_t height, bool visible) override;
    void NavigateNews(const std::wstring& url) override;

private:
    std::mutex mutex;
    IHostActions* host;
};

}  // namespace vr
