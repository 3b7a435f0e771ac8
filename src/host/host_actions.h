#pragma once
// What the bridge, its worker and its job threads may ask of the host window
// and its two web views. The host window implements it; everyone else holds
// it as a plain, non-owning pointer.
//
// Posted operations copy their argument, return at once and take effect later
// on the UI thread, in calling order; once the window is gone they are
// dropped. SetNewsRect acts at once and belongs to the UI thread only.
#include <cstdint>
#include <string>

namespace vr {

class IHostActions {
public:
    virtual ~IHostActions() = default;
    // The JSON text of one event object; the page receives it parsed.
    virtual void PostToPage(const std::wstring& json) = 0;
    virtual void Minimize() = 0;
    // The window follows the mouse while the button is held, like a caption drag.
    virtual void BeginDrag() = 0;
    // Destroys the window, which ends the message loop and the run.
    virtual void Close() = 0;
    // CSS pixels (1/96 inch); the host scales by the window's DPI.
    virtual void SetNewsRect(int32_t x, int32_t y, int32_t width, int32_t height, bool visible) = 0;
    // Ignored when empty or already the URL shown.
    virtual void NavigateNews(const std::wstring& url) = 0;
};

}  // namespace vr
