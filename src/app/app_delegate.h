#pragma once
// The one application delegate: owns the window, the web view and the
// server process for the life of the app.

#include "app/renderer_ends.h"
#include "base/globals.h"
#include "platform/web_view.h"
#include "platform/window.h"
#include "server/server_process.h"
#include "server/start_watch.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
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
// When another account's program holds the port: the window keeps its status
// page at the first load; a later load is replaced by the status line.
[[nodiscard]] std::string portHeldTitle(std::int64_t port);
[[nodiscard]] std::string portHeldText(std::int64_t port);
[[nodiscard]] std::string portHeldStatus(std::int64_t port);
// Shown instead of a page whose web process keeps ending.
inline constexpr const char* pageStoppedText = "The page stopped working. Choose View › Reload to try again.";
// Shown instead of the server's page once the server the app started has ended.
inline constexpr const char* serverEndedText = "The server has stopped. Quit Sandvoll and open it again to start it anew.";

// True for an address on the app's own server: http, host 127.0.0.1 and
// the app's port, whatever the path.
[[nodiscard]] bool isAppServerURL(const std::string& url, const Globals& globals);

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
    // Quit from the menu or its key, and closing the window: the page is
    // asked first, as a browser asks a tab it closes, and the app ends only
    // when it agrees. A request while the page's answer is awaited adds
    // nothing. (The start-up error's quit and the stop signals ask nothing.)
    void quit();
    void windowCloseRequested();

    // The menu bar: the application menu, Edit and View.
    void buildMenu();
    // Menu and page commands. Reload reloads what the window shows; where a
    // status line stands in for a page (see standIn), it loads that page.
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
    // The same probe, telling a server that answered "not ready" from no
    // answer at all, and from another account's program on the port, which
    // is not asked.
    enum class ProbeAnswer { none, notReady, ready, foreign };
    [[nodiscard]] ProbeAnswer probe() const;
    // Probes off the main thread until the server answers, then loads the
    // application page; gives up with a message after the last try.
    void waitAndLoad(int tries);
    // Loads the application page of the server that answered, unless that
    // server runs under another account: then the user is told and the
    // window keeps its status page.
    void loadServerPage();

    // The web view's callbacks. Every navigation to the app's server, in
    // any frame and of any kind, is refused while another account's
    // program holds the port; a load that commits while it does is replaced
    // before its document may post to the app.
    [[nodiscard]] bool decideNavigation(const platform::NavigationAction& action);
    void loadCommitted(const std::string& url);
    // The server the app started has ended: see server_page.cpp.
    void serverEnded();
    // The page's web process has ended: loads what the window showed again,
    // or, at the third end within a minute, a status line that says so.
    void webProcessEnded();
    // Whether the document shown may use the bridge: one on the app's
    // server that was this user's when it committed.
    [[nodiscard]] bool bridgeOpen() const { return bridgeOpen_; }

    // The start-up work: provisioning on the calling (worker) thread, then
    // the server and the first load on the main thread.
    void startupTask();
    // When provisioning has nothing to do and nothing accepts connections on
    // the port, the server need not wait for the window: this launches it at
    // once, on a thread of its own, and the start-up task takes it over at
    // the first frame. Otherwise (and without this call) the task does it
    // all in order at the first frame. Call it on the main thread, before
    // the start-up task.
    void startServerEarly();

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
    // What the window shows or is loading: a page at `url`, or else the
    // one-line page with `line`.
    struct Page {
        std::string url;
        std::string line;
    };
    void show(const Page& page);
    // Before a load of `url`: once the server has ended, a load of its page
    // starts the web view afresh first.
    void afreshBeforeLoading(const std::string& url);
    // Puts a status line in place of the page the window shows, which
    // Reload then brings back.
    void standIn(const std::string& line);
    // Another account's program holds the port: one box per refused load,
    // never a second one while the first is open.
    void refuseForeignServer();
    void editingCommand(void (platform::WebView::*command)());
    void failStartup(const std::string& errorText);
    // The server's part of the start-up: the launch the early start made,
    // or else the probe and, when nothing answers, the launch.
    void serverStep(const std::optional<ServerLaunch>& early);
    // Keeps a launched server, or tells the user why it could not start.
    void adoptServerLaunch(const ServerLaunch& launch);
    [[nodiscard]] std::filesystem::path defaultsPath() const;

    const Globals& globals_;
    ProbePause probePause_;
    bool holdingPages_ = false;
    bool appPageRequested_ = false;
    Page showing_;
    std::optional<Page> replaced_;
    bool bridgeOpen_ = false;
    bool portBoxOpen_ = false;
    // The server the app started has ended; from then on each load of the
    // server's page starts the web view afresh first.
    bool serverEnded_ = false;
    bool quitAsked_ = false;
    RendererEnds rendererEnds_;
    bool rendererStopped_ = false;
    std::vector<std::function<void()>> afterFirstFrame_;
    // Set by startServerEarly: nothing when it left the server to the first frame.
    std::future<std::optional<ServerLaunch>> earlyServer_;
    // The real view behind `web`, for the clipboard commands.
    platform::WebView* webView_ = nullptr;
    // Held weakly by callbacks that may come after the delegate is gone.
    std::shared_ptr<AppDelegate*> self_ = std::make_shared<AppDelegate*>(this);
};

} // namespace sv
