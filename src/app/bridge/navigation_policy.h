#pragma once
// What stays in the window and what goes to the default browser: the web
// view's navigation decisions and its requests for new windows.

#include "platform/web_view.h"

#include <optional>
#include <string>
#include <string_view>

namespace sv {

// Links to this host, exactly as written, stay in the window.
inline constexpr std::string_view localHost = "127.0.0.1";

struct NavigationDecision {
    bool allow = true;
    // Handed to the default handler before the navigation is cancelled.
    std::optional<std::string> openURL;
    bool operator==(const NavigationDecision&) const = default;
};

// Only clicked links are looked at: one with a URL whose host is not exactly
// 127.0.0.1 (no host at all included) is cancelled, and goes to the default
// handler when the user clicked it (a page script's own click goes
// nowhere); everything else (form posts, back and forward, reloads, script
// and redirect loads, links without a URL) loads in the window.
[[nodiscard]] NavigationDecision navigationPolicy(const platform::NavigationAction& action);

// A page that asks for a new window gets none; its URL, when there is one
// and the user caused the request, goes to the default handler, whatever
// its host.
[[nodiscard]] std::optional<std::string> newWindowURL(const platform::NavigationAction& action);

// The web view's callbacks: carry the decision out through the UI surface.
// decidePolicy answers whether the navigation may go ahead.
[[nodiscard]] bool decidePolicy(const platform::NavigationAction& action);
void createWebView(const platform::NavigationAction& action);

} // namespace sv
