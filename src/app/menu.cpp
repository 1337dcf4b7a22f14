// The menu bar and the commands behind it.

#include "app/app_delegate.h"
#include "app/app_info.h"
#include "platform/application.h"
#include "platform/menu.h"
#include "platform/task.h"
#include "update/updater.h"

#include <utility>

namespace sv {

void AppDelegate::buildMenu()
{
    using platform::Menu;
    using platform::MenuItem;
    std::vector<Menu> menus;
    menus.push_back(Menu { "",
        {
            {
                MenuItem { "About Sandvoll", 0, [] { platform::showAboutDialog("Sandvoll", appVersion()); } },
                MenuItem { "Check for Updates…", 0, [this] { checkUpdates(); } },
            },
            { MenuItem { "Quit Sandvoll", 'q', [this] { quit(); } } },
        } });
    // The editing keys are the page's first, as a browser gives them: a page
    // with key handlers of its own (a code editor, say) sees them, and the
    // menu acts only on what the page left alone.
    const auto editing = [this](const char* title, char key, void (platform::WebView::*command)()) {
        return MenuItem { title, key, [this, command] { editingCommand(command); }, true };
    };
    menus.push_back(Menu { "Edit",
        { {
            editing("Cut", 'x', &platform::WebView::cut),
            editing("Copy", 'c', &platform::WebView::copy),
            editing("Paste", 'v', &platform::WebView::paste),
            editing("Select All", 'a', &platform::WebView::selectAll),
        } } });
    menus.push_back(Menu { "View", { { MenuItem { "Reload", 'r', [this] { reload(); } } } } });
    platform::installMenuBar(menus);
}

void AppDelegate::checkUpdates() { platform::startDetached(Updater::shared().check(true)); }

void AppDelegate::reload()
{
    // The user's own try starts the count of renderer ends afresh.
    rendererEnds_.reset();
    rendererStopped_ = false;
    if (replaced_) {
        showing_ = *std::exchange(replaced_, std::nullopt);
        show(showing_);
        return;
    }
    afreshBeforeLoading(showing_.url);
    web->reload();
}

void AppDelegate::editingCommand(void (platform::WebView::*command)())
{
    if (webView_)
        (webView_->*command)();
}

} // namespace sv
