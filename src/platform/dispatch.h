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

// Runs fn once on the main thread when `fd` becomes readable or hangs up.
// The descriptor must stay open until then: let fn own what keeps it open.
void whenReadable(int fd, std::function<void()> fn);

// Runs fn on a worker thread. For blocking work: provisioning, HTTP, an
// install's steps. There are globalWorkers of them; what comes while all are
// busy waits for one in submission order, so an item must never wait for
// another item of this queue.
void globalAsync(std::function<void()> fn);

inline constexpr int globalWorkers = 4;

// Runs fn on a worker kept for the readiness probes and the pauses between
// them, short waits that must never queue behind the long work of
// globalAsync. Each item must end within seconds.
void probeAsync(std::function<void()> fn);

[[nodiscard]] bool isMainThread();

// Runs the main context until done() holds or the timeout passes; returns
// done()'s last answer. For code that waits on the main thread without a
// running loop of its own (tests, tools).
bool iterateMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

} // namespace sv::platform
