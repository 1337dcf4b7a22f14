#pragma once
// What a bundle on disk says its build is, for checks that must fail, not
// crash, when a test finds no bundle (or a broken one) where it expects one.

#include "platform/bundle.h"

#include <filesystem>
#include <optional>
#include <string>

namespace sv::test {

// The CFBundleVersion text of the bundle at `root`; nothing when there is no
// readable Info.plist there or it names no build.
[[nodiscard]] inline std::optional<std::string> bundleBuild(const std::filesystem::path& root)
{
    const auto info = platform::Bundle::at(root).info();
    if (!info)
        return std::nullopt;
    const auto it = info->find("CFBundleVersion");
    if (it == info->end())
        return std::nullopt;
    return it->second;
}

} // namespace sv::test
