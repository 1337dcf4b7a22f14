#pragma once
// The page's one-way channel to the app: messages posted to the "sv" handler.

#include "platform/web_view.h"

#include <string_view>

namespace sv {

class Updater;

inline constexpr std::string_view checkUpdatesMessage = "checkUpdates";

// True only for the exact string "checkUpdates" posted to "sv". Other
// names, other strings (other capitalisation or blanks included) and bodies
// that are not strings are nothing.
[[nodiscard]] bool isCheckUpdatesMessage(const platform::ScriptMessage& message);

// The handler: a known message starts a manual check on the main loop and
// returns at once; anything else leaves no trace. Nothing goes back to the page.
void didReceiveScriptMessage(const platform::ScriptMessage& message, Updater& updater);

} // namespace sv
