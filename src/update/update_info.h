#pragma once
// The update feed: one JSON object describing the newest release, and the
// address it is fetched from.

#include "platform/http.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sv {

struct UpdateInfo {
    std::string version; // shown to the user, never compared
    std::int64_t build = 0; // newer when greater than the running build
    std::string url; // the package to download
    std::string sha256; // hexadecimal digest of the package
    std::string signature; // Base64 Ed25519 signature over the package
    std::optional<std::string> notesEN;
    std::optional<std::string> minimumSystemVersion;
    // Not the feed's to say: how near the server it came from is, which the
    // package request may not go nearer than. Anyone may serve a feed, since
    // only the package is signed.
    platform::AddressScope feedScope = platform::AddressScope::publicInternet;

    bool operator==(const UpdateInfo&) const = default;
};

// Why a feed body was not an UpdateInfo. Never shown to the user.
class FeedDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Decodes a feed body strictly: a JSON object whose members "version", "url",
// "sha256" and "signature" are strings ("url" one that parses as a URL) and
// "build" a whole number within the signed 64-bit range; "notesEN" and
// "minimumSystemVersion" are strings, null or missing; other members are
// ignored. "build" is judged by its written value, so 12, 12.0 and 1.2e1 are
// all 12, while 12.5, 12.0000000000000001, 9223372036854775808, "12" and true
// fail. Throws FeedDecodeError for the first member that fails.
[[nodiscard]] UpdateInfo decodeUpdateInfo(std::string_view body);

// Where the feed is published unless the user default says otherwise: the
// build's SANDVOLL_UPDATE_FEED_URL, https://<host>/update.json.
inline constexpr std::string_view defaultFeed = SV_DEFAULT_FEED;

// The feed address: the user default when it is a URL (any scheme, relative
// ones included, used unchanged), else the default feed. An empty or
// malformed default falls back silently.
[[nodiscard]] std::string chooseFeedURL(const std::optional<std::string>& userDefault, std::string_view fallback);

// The string default "updateFeedURL" in the given user defaults file, read now.
[[nodiscard]] std::optional<std::string> readFeedURLDefault(const std::filesystem::path& userDefaults);

} // namespace sv
