#pragma once
// The one application delegate: owns the window, the web view and the
// server process for the life of the app.

#include "base/globals.h"
#include "platform/web_view.h"
#include "platform/window.h"
#include "server/server_process.h"
#include "server/start_watch.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sv {

inline constexpr const char* windowTitle = "Sandvoll";
inline constexpr const char* frameAutosaveName = "Sandvoll";
inline constexpr int windowWidth = 1440;
inline constexpr int windowHeight = 920;
inline constexpr int windowMinWidth = 900;
inline constexpr int windowMinHeight = 600;
inline constexpr const char* messageHandlerName = "sv";

inline constexpr const char* cantStartTitle = "Sandvoll can't start";
inline constexpr std::size_t startupErrorCharacters = 1200;
inline constexpr const char* notRespondingTitle = "Sandvoll isn't responding";
inline constexpr const char* notRespondingText = "Log: ~/Library/Application Support/Sandvoll/server.log";
// When another account's program holds the port: the window keeps its status page.
[[nodiscard]] std::string portHeldTitle(std::int64_t port);
[[nodiscard]] std::string portHeldText(std::int64_t port);

// How the first load waits for the server. The app uses these values; tests
// shorten the pause.
struct ReadinessSettings {
    double pauseSeconds = 0.5;
    int lastTry = 120;       // the attempt with this number is the last
    double probeTimeout = 1; // seconds for one probe
    // Told, on the main thread, of each answer of the chain; the app sets none.
    std::function<void(bool up)> probed;
};

class AppDelegate {
public:
    explicit AppDelegate(const Globals& values);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch sequence, once, on the main thread.
    void applicationDidFinishLaunching();
    // Runs once when the app is about to quit: stops the server it started
    // and remembers the window's size.
    void applicationWillTerminate();
    // Closing the only window ends the app.
    [[nodiscard]] bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

    // The menu bar: the application menu, Edit and View.
    void buildMenu();
    // Menu and page commands.
    void checkUpdates();
    void reload();

    // Replaces the window's content with a one-line status page, unless the
    // application's page has been asked for. Main thread only.
    void showStatus(const std::string& text);
    // Loads the application's page; no status page replaces it afterwards.
    void loadAppPage();
    // Until firstFrameShown(), pages are not loaded but remembered: the first
    // load starts WebKit's web process, which holds the main thread up, and
    // the window should be drawn first. Then the steps that waited for the
    // frame run, and the application's page is loaded when it was asked
    // for, else the latest status line.
    void holdPagesUntilFirstFrame();
    void firstFrameShown();
    // Runs the step at once, or right after the first frame while pages are held.
    void whenFirstFrameShown(std::function<void()> step);

    // Starts the server program, or tells the user why it could not.
    void startServer();
    // One probe of the server's state endpoint: true only for status 200.
    // Blocks for at most the probe's timeout.
    [[nodiscard]] bool serverUp() const;
    // Probes off the main thread until the server answers, then loads the
    // application page; gives up with a message after the last try.
    void waitAndLoad(int tries);
    // Loads the application page of the server that answered, unless that
    // server runs under another account: then the user is told and the
    // window keeps its status page.
    void loadServerPage();

    // The start-up work: provisioning on the calling (worker) thread, then
    // the server and the first load on the main thread.
    void startupTask();

    std::unique_ptr<platform::Window> window;
    std::unique_ptr<platform::WebSurface> web;
    std::optional<ServerProcess> server;

    // Seams for tests; the app keeps the defaults.
    ReadinessSettings readiness;
    // Where the code shipped with the app lives: the bundle's "app" resource.
    std::string shippedCode;
    std::function<void()> terminateApp;
    std::function<void()> startUpdater;

private:
    void editingCommand(void (platform::WebView::*command)());
    void failStartup(const std::string& errorText);
    [[nodiscard]] std::filesystem::path defaultsPath() const;

    const Globals& globals_;
    ProbePause probePause_;
    bool holdingPages_ = false;
    bool appPageRequested_ = false;
    std::string heldStatus_;
    std::vector<std::function<void()>> afterFirstFrame_;
    // The real view behind `web`, for the clipboard commands.
    platform::WebView* webView_ = nullptr;
};

} // namespace sv
