#pragma once
// What a bundle's information dictionary says about it (version, build,
// identifier), and where the user defaults of a bundle identifier live. Plain
// values in, plain values out: the running bundle is read in the floors above.

#include <cstdint>
#include <filesystem>
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
// CFBundleIdentifier as written (empty included), or nothing.
[[nodiscard]] std::optional<std::string> identifierFromInfo(const std::optional<InfoDictionary>& info);

// ~/Library/Preferences/<identifier>.plist for the given home.
[[nodiscard]] std::filesystem::path userDefaultsPath(const std::string& home, const std::string& bundleIdentifier);

} // namespace sv
