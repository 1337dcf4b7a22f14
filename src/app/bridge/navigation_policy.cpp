#include "app/bridge/navigation_policy.h"

#include "platform/ui.h"

namespace sv {

NavigationDecision navigationPolicy(const platform::NavigationAction& action)
{
    if (action.type != platform::NavigationType::linkActivated || !action.url)
        return {};
    if (action.host && *action.host == localHost)
        return {};
    // Only the user hands a URL to another program: a link a page script
    // "clicked" by itself goes nowhere.
    if (!action.userGesture)
        return { false, std::nullopt };
    return { false, action.url };
}

std::optional<std::string> newWindowURL(const platform::NavigationAction& action)
{
    // A window a script opens on its own is a pop-up nobody asked for.
    if (!action.userGesture)
        return std::nullopt;
    return action.url;
}

bool decidePolicy(const platform::NavigationAction& action)
{
    const NavigationDecision decision = navigationPolicy(action);
    // Whether some handler took the URL is not looked at: the link is
    // cancelled in the window either way.
    if (decision.openURL)
        platform::ui().openURL(*decision.openURL);
    return decision.allow;
}

void createWebView(const platform::NavigationAction& action)
{
    if (auto url = newWindowURL(action))
        platform::ui().openURL(*url);
}

} // namespace sv
