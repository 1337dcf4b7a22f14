#include "app/renderer_ends.h"

namespace sv {

bool RendererEnds::mayReload(Clock::time_point now)
{
    while (!ends_.empty() && now - ends_.front() >= span)
        ends_.pop_front();
    ends_.push_back(now);
    return static_cast<int>(ends_.size()) < limit;
}

} // namespace sv
