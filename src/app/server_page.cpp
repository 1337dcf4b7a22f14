// The first load of the server's page, for this user's server only.

#include "app/app_delegate.h"
#include "platform/ui.h"
#include "server/port_owner.h"

namespace sv {

std::string portHeldTitle(std::int64_t port) { return "Sandvoll can't use port " + std::to_string(port); }

std::string portHeldText(std::int64_t port)
{
    return "Port " + std::to_string(port) + " is held by another user's program.\n\n" + notRespondingText;
}

void AppDelegate::loadServerPage()
{
    // A server the user started by hand in this account is as good as ours.
    // Another account's would get the window, its page globals and the
    // bridge, so it is never shown.
    if (portHeldByOtherUser(globals_.port)) {
        platform::alert(portHeldTitle(globals_.port), portHeldText(globals_.port));
        return;
    }
    loadAppPage();
}

} // namespace sv
