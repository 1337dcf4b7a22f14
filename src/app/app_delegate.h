#pragma once
// The one application delegate: owns the window, the web view and the
// server process for the life of the app.

#include "app/globals.h"
#include "platform/web_view.h"
#include "platform/window.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace sv {

inline constexpr const char* windowTitle = "Sandvoll";
inline constexpr const char* frameAutosaveName = "Sandvoll";
inline constexpr int windowWidth = 1440;
inline constexpr int windowHeight = 920;
inline constexpr int windowMinWidth = 900;
inline constexpr int windowMinHeight = 600;
inline constexpr const char* messageHandlerName = "sv";

class AppDelegate {
public:
    explicit AppDelegate(const Globals& values);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch sequence, once, on the main thread.
    void applicationDidFinishLaunching();
    // Runs once when the app is about to quit.
    void applicationWillTerminate();
    // Closing the only window ends the app.
    [[nodiscard]] bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

    // Replaces the window's content with a one-line status page. Main thread only.
    void showStatus(const std::string& text);

    std::unique_ptr<platform::Window> window;
    std::unique_ptr<platform::WebSurface> web;
    std::optional<pid_t> server;

private:
    void startupTask();
    [[nodiscard]] std::filesystem::path defaultsPath() const;

    const Globals& globals_;
};

} // namespace sv
