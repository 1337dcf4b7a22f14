#pragma once
// The running operating system's version, for releases that need a newer one.

#include <compare>
#include <cstdint>
#include <string_view>

namespace sv::platform {

struct SystemVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
    auto operator<=>(const SystemVersion&) const = default;
};

// On Linux the system a release depends on is the kernel, so the version is
// the kernel release's leading major.minor.patch as uname reports it.
[[nodiscard]] SystemVersion runningSystemVersion();

// The leading dot-separated numbers of a kernel release text such as
// "6.1.0-18-amd64" (6.1.0); numbers it lacks count as 0.
[[nodiscard]] SystemVersion parseKernelRelease(std::string_view release);

} // namespace sv::platform
