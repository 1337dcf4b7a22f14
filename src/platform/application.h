#pragma once
// The application object: the toolkit's run loop, launching and termination.

#include <functional>
#include <string>

namespace sv::platform {

// Runs the desktop application with the given identifier. didFinishLaunching
// runs once on the main thread when the app is ready for windows. Returns 0
// if the run loop ever returns.
int runApplication(const std::string& identifier, std::function<void()> didFinishLaunching);

// Opens the display for code that uses windows without running the app
// (window tests, tools). Returns false when there is no display.
[[nodiscard]] bool initToolkit();

// Registers the will-terminate handling, run once on the main thread before
// the process exits. Later registrations run after earlier ones.
void onWillTerminate(std::function<void()> handler);

// Ends the app the normal way: the will-terminate handling runs exactly once,
// then the process exits with status 0. SIGTERM, SIGINT and SIGHUP come here too.
[[noreturn]] void terminate();

} // namespace sv::platform
