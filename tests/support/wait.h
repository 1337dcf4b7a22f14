#pragma once
// Waiting for a condition while the main loop runs, never a fixed sleep.

#include "platform/dispatch.h"

#include <chrono>
#include <functional>

namespace sv::test {

inline bool waitFor(const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return platform::iterateMainUntil(condition, timeout);
}

} // namespace sv::test
