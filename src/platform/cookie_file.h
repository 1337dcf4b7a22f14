#pragma once
// The one file in which the web view keeps its cookies between launches.

#include <filesystem>
#include <optional>

namespace sv::platform {

inline constexpr const char* cookieFileName = "cookies.sqlite";

// Readies `folder`/cookies.sqlite for the engine: the folder is made when
// missing (readable by this user only), the file too, empty; a file that is
// there keeps what it holds and is narrowed to this user, since cookies are
// logins. The engine then keeps its database in it, and the modes stay as
// they are whatever the process's umask. Anything else at that path (a link,
// a folder) is left as it is and the answer is nullopt, the reason on
// stderr: cookies then last only as long as the app.
[[nodiscard]] std::optional<std::filesystem::path> prepareCookieFile(const std::filesystem::path& folder);

} // namespace sv::platform
