#pragma once
// The running app's own version, build number and identifier, read from its
// bundle.

#include "base/bundle_info.h"

#include <cstdint>
#include <string>

namespace sv {

// CFBundleIdentifier of the running bundle, else the build's own identifier.
[[nodiscard]] std::string appBundleIdentifier();

// Evaluated afresh from the running bundle on every call.
[[nodiscard]] std::string appVersion();
[[nodiscard]] std::int64_t appBuild();

} // namespace sv
