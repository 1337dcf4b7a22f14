#include "app/bridge/navigation_policy.h"

#include "platform/ui.h"

#include <algorithm>
#include <cstdio>

namespace sv {

namespace {

// URL schemes are case-insensitive, and only ever ASCII.
bool isOutsideScheme(const std::optional<std::string>& scheme)
{
    if (!scheme)
        return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::ranges::any_of(outsideSchemes, [&](std::string_view allowed) {
        return std::ranges::equal(*scheme, allowed, {}, lower);
    });
}

void carryOut(const platform::NavigationAction& action, HandOff handOff)
{
    if (handOff == HandOff::none)
        return;
    if (handOff == HandOff::open) {
        // Whether some handler took the URL is not looked at.
        action.input->linkOpened = true;
        platform::ui().openURL(*action.url);
        return;
    }
    // One line per press says why; a page that clicks links in a loop
    // would otherwise fill the log.
    if (action.input) {
        if (action.input->refusalTold)
            return;
        action.input->refusalTold = true;
    }
    std::fprintf(stderr, "%s\n", refusalLine(*action.url, handOff).c_str());
}

} // namespace

HandOff outsidePolicy(const platform::NavigationAction& action)
{
    // Only the user hands a URL to another program: a link a page script
    // "clicked" by itself, or a window it opened on its own, goes nowhere.
    if (!action.url || !action.userGesture)
        return HandOff::none;
    if (!isOutsideScheme(action.scheme))
        return HandOff::refusedScheme;
    // The engine counts everything a page does while it handles a press as
    // the user's: the first URL of that press goes, the rest stay.
    if (!action.input || action.input->linkOpened)
        return HandOff::refusedSpent;
    return HandOff::open;
}

NavigationDecision navigationPolicy(const platform::NavigationAction& action)
{
    if (action.type != platform::NavigationType::linkActivated || !action.url)
        return {};
    if (action.host && *action.host == localHost)
        return {};
    // Cancelled whatever becomes of it outside: the page stays.
    return { false, outsidePolicy(action) };
}

std::string refusalLine(std::string_view url, HandOff why)
{
    std::string shown;
    for (const char c : url.substr(0, refusalURLLength)) {
        const auto byte = static_cast<unsigned char>(c);
        shown += byte >= 0x20 && byte < 0x7f ? c : '?';
    }
    if (url.size() > refusalURLLength)
        shown += "…";
    const char* reason = why == HandOff::refusedScheme
        ? "only http, https and mailto links leave the app"
        : "each link that leaves the app needs a click or key press of its own";
    return "Sandvoll: not opening " + shown + ": " + reason;
}

bool decidePolicy(const platform::NavigationAction& action)
{
    const NavigationDecision decision = navigationPolicy(action);
    carryOut(action, decision.handOff);
    return decision.allow;
}

void createWebView(const platform::NavigationAction& action)
{
    // No window is ever made: the URL, whatever its host, is handed off.
    carryOut(action, outsidePolicy(action));
}

} // namespace sv
