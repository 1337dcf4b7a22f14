#pragma once
// How often the page's web process has ended lately. The page is loaded
// again after an end, but a page that takes its renderer down each time must
// not be loaded in a loop.

#include <chrono>
#include <deque>

namespace sv {

class RendererEnds {
public:
    using Clock = std::chrono::steady_clock;
    // The third end within this time stops the reloading.
    static constexpr int limit = 3;
    static constexpr std::chrono::seconds span { 60 };

    // Counts an end at `now`; true when the page may be loaded again, false
    // when this is the third end within a minute.
    [[nodiscard]] bool mayReload(Clock::time_point now);
    // The user asked for the page again: the count starts afresh.
    void reset() { ends_.clear(); }

private:
    std::deque<Clock::time_point> ends_;
};

} // namespace sv
