#include "update/install_progress.h"

#include "platform/text.h"

#include <algorithm>

namespace sv {

std::string downloadingText(const std::string& version) { return "Downloading Sandvoll " + version + "\u2026"; }

std::string verifyingText(const std::string& version) { return "Verifying Sandvoll " + version + "\u2026"; }

std::string installingText(const std::string& version) { return "Installing Sandvoll " + version + "\u2026"; }

std::string transferredText(std::uint64_t received, std::uint64_t expected)
{
    if (expected == 0)
        return platform::formatByteSize(received);
    return platform::formatByteSize(received) + " of " + platform::formatByteSize(expected);
}

std::optional<double> transferredFraction(std::uint64_t received, std::uint64_t expected)
{
    if (expected == 0)
        return std::nullopt;
    return std::min(1.0, static_cast<double>(received) / static_cast<double>(expected));
}

} // namespace sv
