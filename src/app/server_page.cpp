// The server's page, for this user's server only: at the first load, and at
// every load after it.

#include "app/app_delegate.h"
#include "app/bridge/navigation_policy.h"
#include "platform/dispatch.h"
#include "platform/ui.h"
#include "server/port_owner.h"

namespace sv {

std::string portHeldTitle(std::int64_t port) { return "Sandvoll can't use port " + std::to_string(port); }

std::string portHeldText(std::int64_t port)
{
    return "Port " + std::to_string(port) + " is held by another user's program.\n\n" + notRespondingText;
}

std::string portHeldStatus(std::int64_t port)
{
    return "Port " + std::to_string(port) + " is held by another user's program. Choose View › Reload to try again.";
}

bool isAppServerURL(const std::string& url, const Globals& globals)
{
    // The web view hands over addresses in their canonical form, so the
    // host is compared as written.
    const auto parsed = platform::parseURL(url);
    return parsed && parsed->scheme == "http" && parsed->host == localHost && parsed->port == globals.port;
}

void AppDelegate::loadServerPage()
{
    // A server the user started by hand in this account is as good as ours.
    // Another account's would get the window, its page globals and the
    // bridge, so it is never shown; nor is one whose owner cannot be told,
    // which is treated as another account's.
    if (portHeldByOtherUser(globals_.port)) {
        platform::alert(portHeldTitle(globals_.port), portHeldText(globals_.port));
        return;
    }
    loadAppPage();
}

bool AppDelegate::decideNavigation(const platform::NavigationAction& action)
{
    // Our server may have ended and another account's taken the port since
    // the page was first shown: a Reload, a way back, a link or the app's
    // own load would give it the window. Asked here, before any connection,
    // the server is not even sent the request. The web engine does not say
    // which frame a navigation is for, so frames are refused alike.
    if (action.url && isAppServerURL(*action.url, globals_) && portHeldByOtherUser(globals_.port)) {
        refuseForeignServer();
        return false;
    }
    return decidePolicy(action);
}

void AppDelegate::loadCommitted(const std::string& url)
{
    // The port may change hands between the decision and the connection.
    // A second look when the answer is in comes before the new document can
    // post anything, so such a page never reaches the bridge; its line
    // replaces it at once.
    const bool appServer = isAppServerURL(url, globals_);
    if (appServer && portHeldByOtherUser(globals_.port)) {
        bridgeOpen_ = false;
        refuseForeignServer();
        return;
    }
    bridgeOpen_ = appServer;
    // A status line commits as an empty document; what it shows is known.
    if (url != "about:blank") {
        showing_ = { url, {} };
        replaced_.reset();
    }
}

void AppDelegate::serverEnded()
{
    // The port is free from this moment, and another account's program may
    // take it. A connection the engine keeps open to a server it has
    // reached would let such a program answer without a listening socket
    // the owner check could see: one that took the port, answered a poll
    // and stopped listening gets every later request over that connection.
    // So the engine closes them all, and the page, whose polls would go on
    // reaching the port, makes way for a line at once. The app starts no
    // server in the ended one's place.
    serverEnded_ = true;
    web->startAfresh();
    if (isAppServerURL(showing_.url, globals_))
        standIn(serverEndedText);
}

void AppDelegate::afreshBeforeLoading(const std::string& url)
{
    // A connection made just as the server ended may still be open: the
    // load goes once none is, and the owner check comes before its own.
    if (serverEnded_ && isAppServerURL(url, globals_))
        web->startAfresh();
}

void AppDelegate::refuseForeignServer()
{
    // Out of the web view's callback: the line is a load of its own, and the
    // box runs a loop of its own.
    platform::mainAsync([this] {
        standIn(portHeldStatus(globals_.port));
        if (portBoxOpen_)
            return;
        portBoxOpen_ = true;
        platform::alert(portHeldTitle(globals_.port), portHeldText(globals_.port));
        portBoxOpen_ = false;
    });
}

} // namespace sv
