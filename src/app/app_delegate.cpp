#include "app/app_delegate.h"

#include "app/app_info.h"
#include "app/status_page.h"
#include "app/window_frame.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"

namespace sv {

AppDelegate::AppDelegate(const Globals& values) : globals_(values) {}

void AppDelegate::applicationDidFinishLaunching()
{
    platform::WebViewConfig config;
    config.mediaNeedsUserAction = false;
    config.userScript = userScriptSource(appVersion(), appBuild());
    config.messageHandler = messageHandlerName;
    auto view = platform::WebView::create(std::move(config));

    platform::WindowSpec spec;
    spec.title = windowTitle;
    spec.width = windowWidth;
    spec.height = windowHeight;
    spec.minWidth = windowMinWidth;
    spec.minHeight = windowMinHeight;
    spec.onCloseRequest = [this] {
        if (applicationShouldTerminateAfterLastWindowClosed())
            platform::terminate();
    };
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

    window->present();
    showStatus(std::string(startingText));
    platform::globalAsync([this] { startupTask(); });
}

void AppDelegate::applicationWillTerminate()
{
    if (window) {
        const auto size = window->size();
        saveWindowFrame(defaultsPath(), frameAutosaveName, { size.width, size.height, window->isMaximized() });
    }
}

void AppDelegate::showStatus(const std::string& text) { web->loadHTML(statusPageHTML(text)); }

void AppDelegate::startupTask()
{
    // Provisioning and the server start join here; until then the status
    // page stays with its first line.
}

std::filesystem::path AppDelegate::defaultsPath() const
{
    const auto info = platform::Bundle::main().info();
    std::string identifier = platform::builtInBundleIdentifier();
    if (info) {
        if (auto it = info->find("CFBundleIdentifier"); it != info->end() && !it->second.empty())
            identifier = it->second;
    }
    return userDefaultsPath(globals_.home, identifier);
}

} // namespace sv
