#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sv {

inline constexpr std::string_view startingText = "Sandvoll is starting…";

// The one-line page shown while the application's own page is not loaded:
// grey system-font text centred in the window. Only "<" is escaped, so no
// markup can be injected; "&" passes through and may form a reference.
[[nodiscard]] std::string statusPageHTML(std::string_view text);

// The script that tells page scripts they run inside the app. The version is
// inserted verbatim, as the bundle states it.
[[nodiscard]] std::string userScriptSource(std::string_view version, std::int64_t build);

} // namespace sv
