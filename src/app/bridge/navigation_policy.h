#pragma once
// What stays in the window and what goes to the default browser: the web
// view's navigation decisions and its requests for new windows.

#include "platform/web_view.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace sv {

// Links to this host, exactly as written, stay in the window.
inline constexpr std::string_view localHost = "127.0.0.1";

// The only schemes handed to the desktop. Any other would start whatever
// program claims it (a file viewer for file:, any custom handler), on a
// page's say-so.
inline constexpr std::array<std::string_view, 3> outsideSchemes { "http", "https", "mailto" };

// What becomes of a URL that would leave the window.
enum class HandOff {
    none,          // nothing: it stays in the window, or no user asked for it
    open,          // it goes to the default handler
    refusedScheme, // not http, https or mailto
    refusedSpent,  // this press has already opened one, or there was no press
};

struct NavigationDecision {
    bool allow = true;
    HandOff handOff = HandOff::none;
    bool operator==(const NavigationDecision&) const = default;
};

// Whether the URL of an action may leave the app: only what the user caused
// (a page script's own click or pop-up goes nowhere, quietly), only http,
// https and mailto, and at most one URL per press, whatever the page does
// while handling it. A page that asks for a new window gets none: its URL,
// whatever its host, is handed off as this says.
[[nodiscard]] HandOff outsidePolicy(const platform::NavigationAction& action);

// Only clicked links are looked at: one with a URL whose host is not exactly
// 127.0.0.1 (no host at all included) is cancelled, and handed off as
// outsidePolicy() says; everything else (form posts, back and forward,
// reloads, script and redirect loads, links without a URL) loads in the
// window.
[[nodiscard]] NavigationDecision navigationPolicy(const platform::NavigationAction& action);

// The line on stderr that says why a URL did not leave the app. The URL is
// the page's text: it is cut to a readable length and anything but
// printable ASCII shows as '?', so it cannot garble the terminal.
[[nodiscard]] std::string refusalLine(std::string_view url, HandOff why);
inline constexpr std::size_t refusalURLLength = 200;

// The web view's callbacks: carry the decision out through the UI surface.
// decidePolicy answers whether the navigation may go ahead.
[[nodiscard]] bool decidePolicy(const platform::NavigationAction& action);
void createWebView(const platform::NavigationAction& action);

} // namespace sv
