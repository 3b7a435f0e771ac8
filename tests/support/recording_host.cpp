#include "recording_host.h"

#include <algorithm>
#include <chrono>

#include "text/json.h"
#include "text/text.h"

namespace vr::test {

void RecordingHost::Record(const std::string& name) {
    calls.push_back(name);
    if (retired) ++lateCalls;
}

void RecordingHost::PostToPage(const std::wstring& json) {
    std::unique_lock<std::mutex> lock(mutex);
    Record("PostToPage");
    events.push_back(WideToUtf8(json));
    changed.notify_all();
    if (holdAt && holdAt(events.back())) {
        holdAt = nullptr;
        holding = true;
        changed.wait(lock, [this] { return !holding; });
    }
}

void RecordingHost::HoldAt(std::function<bool(const std::string&)> match) {
    std::lock_guard<std::mutex> lock(mutex);
    holdAt = std::move(match);
}

void RecordingHost::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        holdAt = nullptr;
        holding = false;
    }
    changed.notify_all();
}

void RecordingHost::Minimize() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        Record("Minimize");
    }
    changed.notify_all();
}

void RecordingHost::BeginDrag() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        Record("BeginDrag");
    }
    changed.notify_all();
}

void RecordingHost::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        Record("Close");
    }
    changed.notify_all();
}

void RecordingHost::SetNewsRect(int32_t x, int32_t y, int32_t width, int32_t height, bool visible) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        Record("SetNewsRect");
        rects.push_back({x, y, width, height, visible});
    }
    changed.notify_all();
}

void RecordingHost::NavigateNews(const std::wstring& url) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        Record("NavigateNews");
        urls.push_back(url);
    }
    changed.notify_all();
}

std::vector<std::string> RecordingHost::Events(size_t from) const {
    std::lock_guard<std::mutex> lock(mutex);
    return {events.begin() + static_cast<std::ptrdiff_t>(std::min(from, events.size())), events.end()};
}

size_t RecordingHost::EventCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return events.size();
}

std::vector<std::string> RecordingHost::Calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

int RecordingHost::CountCalls(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto& c : calls) n += c == name ? 1 : 0;
    return n;
}

std::vector<NewsRect> RecordingHost::NewsRects() const {
    std::lock_guard<std::mutex> lock(mutex);
    return rects;
}

std::vector<std::wstring> RecordingHost::NavigatedUrls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return urls;
}

int RecordingHost::WaitForEventWhere(const std::function<bool(const std::string&)>& match, uint32_t timeoutMs,
                                     size_t from) const {
    std::unique_lock<std::mutex> lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t next = from;
    for (;;) {
        for (; next < events.size(); ++next) {
            if (match(events[next])) return static_cast<int>(next);
        }
        if (changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; next < events.size(); ++next) {
                if (match(events[next])) return static_cast<int>(next);
            }
            return -1;
        }
    }
}

int RecordingHost::WaitForEvent(const std::string& nameOrJson, size_t from) const {
    const bool exact = nameOrJson.rfind('{', 0) == 0;
    return WaitForEventWhere([&](const std::string& e) { return exact ? e == nameOrJson : EventName(e) == nameOrJson; },
                             20000, from);
}

std::vector<std::string> RecordingHost::EventsNamed(const std::string& name, size_t from,
                                                    const std::string& member) const {
    std::vector<std::string> found;
    for (const std::string& e : Events(from)) {
        if (EventName(e) == name) found.push_back(member.empty() ? e : EventField(e, member));
    }
    return found;
}

bool RecordingHost::WaitForCalls(const std::string& name, int count, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int n = 0;
        for (const auto& c : calls) n += c == name ? 1 : 0;
        return n >= count;
    });
}

void RecordingHost::Retire() {
    std::lock_guard<std::mutex> lock(mutex);
    retired = true;
}

int RecordingHost::CallsAfterRetire() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lateCalls;
}

void PrintTo(const NewsRect& r, std::ostream* out) {
    *out << "{x " << r.x << ", y " << r.y << ", w " << r.width << ", h " << r.height
         << (r.visible ? ", visible}" : ", hidden}");
}

std::string EventName(const std::string& json) { return JsonGetString(ParseJsonObject(json), "evt", ""); }

std::string EventField(const std::string& json, const std::string& name) {
    return JsonGetString(ParseJsonObject(json), name, "<absent>");
}

}  // namespace vr::test
