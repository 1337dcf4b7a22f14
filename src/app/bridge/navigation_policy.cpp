#include "app/bridge/navigation_policy.h"

#include "platform/ui.h"

namespace sv {

NavigationDecision navigationPolicy(const platform::NavigationAction& action)
{
    if (action.type != platform::NavigationType::linkActivated || !action.url)
        return {};
    if (action.host && *action.host == localHost)
        return {};
    return { false, action.url };
}

std::optional<std::string> newWindowURL(const platform::NavigationAction& action) { return action.url; }

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
