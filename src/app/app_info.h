#pragma once
// The app's own version and build number, read from its bundle.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sv {

using InfoDictionary = std::map<std::string, std::string>;

// Base-10 with one optional leading '+' or '-' and at least one ASCII digit,
// nothing else, within the signed 64-bit range.
[[nodiscard]] std::optional<std::int64_t> parseSignedInteger(std::string_view text);

// CFBundleShortVersionString, or "?".
[[nodiscard]] std::string versionFromInfo(const std::optional<InfoDictionary>& info);
// CFBundleVersion as a number, or 0.
[[nodiscard]] std::int64_t buildFromInfo(const std::optional<InfoDictionary>& info);

// CFBundleIdentifier of the running bundle, else the build's own identifier.
[[nodiscard]] std::string appBundleIdentifier();

// Evaluated afresh from the running bundle on every call.
[[nodiscard]] std::string appVersion();
[[nodiscard]] std::int64_t appBuild();

} // namespace sv
