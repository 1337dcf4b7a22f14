#include "base/bundle_info.h"

#include <charconv>

namespace sv {

std::optional<std::int64_t> parseSignedInteger(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    // Parse the magnitude unsigned so that the minimum value still fits.
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    constexpr std::uint64_t maxPositive = static_cast<std::uint64_t>(INT64_MAX);
    if (!negative) {
        if (magnitude > maxPositive)
            return std::nullopt;
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > maxPositive + 1)
        return std::nullopt;
    return magnitude == maxPositive + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
}

std::string versionFromInfo(const std::optional<InfoDictionary>& info)
{
    if (info) {
        if (auto it = info->find("CFBundleShortVersionString"); it != info->end())
            return it->second;
    }
    return "?";
}

std::int64_t buildFromInfo(const std::optional<InfoDictionary>& info)
{
    std::string text;
    if (info) {
        if (auto it = info->find("CFBundleVersion"); it != info->end())
            text = it->second;
    }
    return parseSignedInteger(text).value_or(0);
}

std::optional<std::string> identifierFromInfo(const std::optional<InfoDictionary>& info)
{
    if (!info)
        return std::nullopt;
    const auto it = info->find("CFBundleIdentifier");
    if (it == info->end())
        return std::nullopt;
    return it->second;
}

std::filesystem::path userDefaultsPath(const std::string& home, const std::string& bundleIdentifier)
{
    return std::filesystem::path(home) / "Library" / "Preferences" / (bundleIdentifier + ".plist");
}

} // namespace sv
