#pragma once
// The main queue (the GLib default main context, run on the main thread) and
// the global queue (worker threads for blocking work).

#include <chrono>
#include <functional>

namespace sv::platform {

// Runs fn on the main thread, later, in submission order with other mainAsync calls.
void mainAsync(std::function<void()> fn);

// Runs fn on the main thread once `seconds` have passed.
void mainAfter(double seconds, std::function<void()> fn);

// Runs fn on a worker thread. For blocking work: provisioning, probes, HTTP.
void globalAsync(std::function<void()> fn);

[[nodiscard]] bool isMainThread();

// Runs the main context until done() holds or the timeout passes; returns
// done()'s last answer. For code that waits on the main thread without a
// running loop of its own (tests, tools).
bool iterateMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

} // namespace sv::platform
