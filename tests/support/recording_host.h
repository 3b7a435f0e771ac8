#pragma once
// The test stand-in for the host window: records every IHostActions call, in
// order and from any thread, and lets a test wait for a posted event.
//
//   vr::test::RecordingHost host;
//   vr::Bridge bridge(config, dir.path(), &host);
//   bridge.OnWebMessage(LR"({"cmd":"ui.ready"})");
//   ASSERT_GE(host.WaitForEventWhere(IsInit, 5000), 0);
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/host_actions.h"

namespace vr::test {

struct NewsRect {
    int32_t x, y, width, height;
    bool visible;
    bool operator==(const NewsRect&) const = default;
};
// How gtest prints one in a failed expectation.
void PrintTo(const NewsRect& r, std::ostream* out);

class RecordingHost final : public IHostActions {
public:
    void PostToPage(const std::wstring& json) override;
    void Minimize() override;
    void BeginDrag() override;
    void Close() override;
    void SetNewsRect(int32_t x, int32_t y, int32_t width, int32_t height, bool visible) override;
    void NavigateNews(const std::wstring& url) override;

    // Posted events as UTF-8 JSON texts, in posting order, from index `from`.
    std::vector<std::string> Events(size_t from = 0) const;
    size_t EventCount() const;
    // Every call by name ("PostToPage", "Close", ...), in calling order.
    std::vector<std::string> Calls() const;
    int CountCalls(const std::string& name) const;
    std::vector<NewsRect> NewsRects() const;
    std::vector<std::wstring> NavigatedUrls() const;

    // Waits until an event at index >= from satisfies `match` and returns its
    // index, or -1 after timeoutMs.
    int WaitForEventWhere(const std::function<bool(const std::string& json)>& match, uint32_t timeoutMs,
                          size_t from = 0) const;
    // The same, for an event whose "evt" is `name`, or for exactly `json`
    // when the text given is an object, waiting up to 20 s.
    int WaitForEvent(const std::string& nameOrJson, size_t from = 0) const;
    // The events at index >= from whose "evt" is `name`; with `member`,
    // that member of each (as its text: "0.50", "checking").
    std::vector<std::string> EventsNamed(const std::string& name, size_t from = 0,
                                         const std::string& member = "") const;
    // Waits until `name` has been called at least `count` times.
    bool WaitForCalls(const std::string& name, int count, uint32_t timeoutMs) const;

    // Holds the thread that posts the first later event satisfying `match`
    // inside PostToPage, once the event is recorded (waits see it), until
    // Release: a worker stopped at a known step.
    void HoldAt(std::function<bool(const std::string& json)> match);
    void Release();

    // Marks the host as gone (its owner destroyed it, as far as the test is
    // concerned); any later call is still recorded and counted here.
    void Retire();
    int CallsAfterRetire() const;

private:
    void Record(const std::string& name);

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::string> events;
    std::vector<std::string> calls;
    std::vector<NewsRect> rects;
    std::vector<std::wstring> urls;
    std::function<bool(const std::string&)> holdAt;
    bool holding = false;
    bool retired = false;
    int lateCalls = 0;
};

// The "evt" member of an event text ("" when absent).
std::string EventName(const std::string& json);
// A member of an event text as a string ("<absent>" when absent).
std::string EventField(const std::string& json, const std::string& name);

}  // namespace vr::test
