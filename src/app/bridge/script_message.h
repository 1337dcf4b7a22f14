#pragma once
// The page's one-way channel to the app: messages posted to the "sv" handler.

#include "base/globals.h"
#include "platform/web_view.h"

#include <string>
#include <string_view>

namespace sv {

class Updater;

inline constexpr std::string_view checkUpdatesMessage = "checkUpdates";

// The only origin whose pages may post: the app's own server,
// "http://127.0.0.1:8766" (appURL without its path).
[[nodiscard]] std::string appOrigin(const Globals& globals);

// True only for the exact string "checkUpdates" posted to "sv". Other
// names, other strings (other capitalisation or blanks included) and bodies
// that are not strings are nothing.
[[nodiscard]] bool isCheckUpdatesMessage(const platform::ScriptMessage& message);

// The handler: a known message starts a manual check on the main loop and
// returns at once, unless a check the page asked for is still running or
// showing its message box; anything else leaves no trace. Nothing goes back
// to the page.
void didReceiveScriptMessage(const platform::ScriptMessage& message, Updater& updater);

} // namespace sv
