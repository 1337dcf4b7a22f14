#pragma once
// What the progress window of an install says.

#include <cstdint>
#include <optional>
#include <string>

namespace sv {

inline constexpr const char* progressTitle = "Updating Sandvoll";
inline constexpr const char* cancelButton = "Cancel";

// "Downloading Sandvoll 1.1.0…", "Verifying Sandvoll 1.1.0…",
// "Installing Sandvoll 1.1.0…".
[[nodiscard]] std::string downloadingText(const std::string& version);
[[nodiscard]] std::string verifyingText(const std::string& version);
[[nodiscard]] std::string installingText(const std::string& version);

// "12.3 MB of 45.6 MB", or "12.3 MB" while the server has not said how much
// it sends (expected 0).
[[nodiscard]] std::string transferredText(std::uint64_t received, std::uint64_t expected);

// How full the bar is: received of expected, at most 1; nothing when the
// size is not known.
[[nodiscard]] std::optional<double> transferredFraction(std::uint64_t received, std::uint64_t expected);

} // namespace sv
