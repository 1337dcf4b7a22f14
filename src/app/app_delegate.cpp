#include "app/app_delegate.h"

#include "app/app_info.h"
#include "app/bridge/navigation_policy.h"
#include "app/bridge/script_message.h"
#include "app/status_page.h"
#include "app/window_frame.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "server/port_owner.h"
#include "setup/code_sync.h"
#include "update/relaunch.h"
#include "update/updater.h"

#include <utility>

namespace sv {

AppDelegate::AppDelegate(const Globals& values)
    : shippedCode(shippedCodeDirectory(platform::Bundle::main()))
    , terminateApp([] { platform::terminate(); })
    , startUpdater([this] {
        Updater::shared().followServer([this] { return server ? static_cast<int>(server->livingPid()) : 0; });
        Updater::shared().askServerOnlyWhileOurs([this] { return portHeldByOtherUser(globals_.port); });
        // The update quits the app, so the page has its say first, as at Quit.
        Updater::shared().askBeforeQuitting([this](std::function<void(bool)> answer) {
            web->askToLeave(std::move(answer));
        });
        Updater::shared().start();
    })
    , globals_(values)
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Provisioning needs no window: started first, it runs while the window
    // is made and drawn, and the server starts right at the first frame,
    // unless it started before the toolkit did (see startupTask and
    // startServerEarly). Whatever the task shows runs on the main queue, so
    // after this sequence.
    platform::globalAsync([this] { startupTask(); });

    buildMenu();

    platform::WebViewConfig config;
    config.mediaNeedsUserAction = false;
    // A page's login survives a restart, as in a browser.
    config.keepCookies = true;
    config.userScript = userScriptSource(appVersion(), appBuild());
    config.messageHandler = messageHandlerName;
    config.appOrigin = appOrigin(globals_);
    config.onMessage = [this](const platform::ScriptMessage& message) {
        if (bridgeOpen_)
            didReceiveScriptMessage(message, Updater::shared());
    };
    config.decideNavigation = [this](const platform::NavigationAction& action) { return decideNavigation(action); };
    config.onLoadCommitted = [this](const std::string& url) { loadCommitted(url); };
    config.onWebProcessEnded = [this] { webProcessEnded(); };
    config.onNewWindow = [](const platform::NavigationAction& action) { createWebView(action); };
    auto view = platform::WebView::create(std::move(config));
    webView_ = view.get();

    platform::WindowSpec spec;
    spec.title = windowTitle;
    spec.width = windowWidth;
    spec.height = windowHeight;
    spec.minWidth = windowMinWidth;
    spec.minHeight = windowMinHeight;
    spec.onCloseRequest = [this] { windowCloseRequested(); };
    window = platform::Window::create(spec, *view);
    web = std::move(view);

    // The window manager centres a new window; a saved frame, when there is
    // one, wins over the default size.
    if (auto frame = loadWindowFrame(defaultsPath(), frameAutosaveName, windowMinWidth, windowMinHeight)) {
        window->setSize({ frame->width, frame->height });
        if (frame->maximized)
            window->maximize();
    }
    platform::onWillTerminate([this] { applicationWillTerminate(); });

    holdPagesUntilFirstFrame();
    window->present();
    showStatus(std::string(startingText));
    window->afterFirstFrame([this] {
        firstFrameShown();
        // Brought up by an update: its script waits for this window.
        finishRelaunch();
    });
}

void AppDelegate::applicationWillTerminate()
{
    // A server that was already running when the app started is not ours
    // to stop.
    if (server)
        server->terminate();
    if (window) {
        const auto size = window->size();
        saveWindowFrame(defaultsPath(), frameAutosaveName, { size.width, size.height, window->isMaximized() });
    }
}

void AppDelegate::quit()
{
    if (std::exchange(quitAsked_, true))
        return;
    // Unsaved work in the page is never thrown away without the person's say.
    web->askToLeave([this](bool leave) {
        quitAsked_ = false;
        if (leave)
            terminateApp();
    });
}

void AppDelegate::windowCloseRequested()
{
    if (applicationShouldTerminateAfterLastWindowClosed())
        quit();
}

void AppDelegate::showStatus(const std::string& text)
{
    if (appPageRequested_)
        return;
    showing_ = { {}, text };
    if (!holdingPages_)
        show(showing_);
}

void AppDelegate::loadAppPage()
{
    appPageRequested_ = true;
    showing_ = { globals_.appURL, {} };
    if (!holdingPages_)
        show(showing_);
}

void AppDelegate::show(const Page& page)
{
    if (page.url.empty()) {
        web->loadHTML(statusPageHTML(page.line));
        return;
    }
    afreshBeforeLoading(page.url);
    web->loadURL(page.url);
}

void AppDelegate::standIn(const std::string& line)
{
    // A second stand-in keeps the page the first one replaced.
    if (!replaced_)
        replaced_ = showing_;
    showing_ = { {}, line };
    show(showing_);
}

void AppDelegate::webProcessEnded()
{
    // Once stopped, only the user's Reload loads anything: a page that
    // takes every renderer down would otherwise never let go.
    if (rendererStopped_ || holdingPages_)
        return;
    if (rendererEnds_.mayReload(RendererEnds::Clock::now())) {
        // The app's page goes through the owner check again, like any load.
        show(showing_);
        return;
    }
    rendererStopped_ = true;
    standIn(pageStoppedText);
}

void AppDelegate::holdPagesUntilFirstFrame() { holdingPages_ = true; }

void AppDelegate::whenFirstFrameShown(std::function<void()> step)
{
    if (holdingPages_)
        afterFirstFrame_.push_back(std::move(step));
    else
        step();
}

void AppDelegate::firstFrameShown()
{
    if (!holdingPages_)
        return;
    holdingPages_ = false;
    // What the engine kept from an earlier run may have been served by
    // another account's program that had the port then: a service worker
    // or a cached page would answer for the app's server before any
    // connection, and so before the owner check. Gone before the first
    // load, which waits for it; asked for once the window has been drawn,
    // since it starts the engine's network process.
    web->startAfresh();
    // The server starts before the first page load, which holds the main
    // thread up while WebKit starts its web process.
    for (auto& step : std::exchange(afterFirstFrame_, {}))
        step();
    show(showing_);
}

std::filesystem::path AppDelegate::defaultsPath() const
{
    return userDefaultsPath(globals_.home, appBundleIdentifier());
}

} // namespace sv
