#include "bridge/host_link.h"

namespace vr {

// The lock is held across the forwarded call so that Detach cannot return
// while a job thread is inside the host. Every forwarded operation only
// copies its argument and posts it, so the wait is short.

void HostLink::Detach() {
    std::lock_guard<std::mutex> lock(mutex);
    host = nullptr;
}

void HostLink::PostToPage(const std::wstring& json) {
    std::lock_guard<std::mutex> lock(mutex);
    if (host) host->PostToPage(json);
}

void HostLink::Minimize() {
    std::lock_guard<std::mutex> lock(mutex);
    if (host) host->Minimize();
}

void HostLink::BeginDrag() {
    std::lock_guard<std::mutex> lock(mutex);
    if (host) host->BeginDrag();
}

void HostLink::Close() {
    std::lock_guard<std::mutex> lock(mutex);
    if (host) host->Close();
}

void HostLink::SetNewsRect(int32_t x, int32_t y, int32_t width, int32_t height, bool visible) {
    std::lock_guard<std::mutex> lock(mutex);
    if (host) host->SetNewsRect(x, y, width, height, visible);
}

void HostLink::NavigateNews(const std::wstring& url) {
    std::lock_guard<std::mutex> lock(mutex);
    if (host) host->NavigateNews(url);
}

}  // namespace vr
