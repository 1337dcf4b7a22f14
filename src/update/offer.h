#pragma once
// The texts of the update offer and the reading of the server's job list.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

inline constexpr const char* installButton = "Install and Restart";
inline constexpr const char* laterButton = "Later";

// "Sandvoll <version> is available".
[[nodiscard]] std::string offerTitle(const std::string& version);

// The notes (when present, even empty) and a blank line, the version
// sentence, and the running jobs (when there are any).
[[nodiscard]] std::string offerText(const std::optional<std::string>& notes, const std::string& appVersion,
    const std::vector<std::string>& runningJobs);

// The names of the running jobs in a state endpoint body, sorted by code
// point. A job runs when its "running" is the boolean true (1, "true" and
// a missing member do not count). Anything not shaped like
// {"jobs": {name: {...}, ...}}, including a single job whose state is not
// an object, gives no names at all.
[[nodiscard]] std::vector<std::string> runningJobsFromState(std::string_view body);

// appURL with "api/state" appended as a path component.
[[nodiscard]] std::string stateURL(const std::string& appURL);

} // namespace sv
