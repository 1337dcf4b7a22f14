#pragma once
// The user's temporary directory.

#include <filesystem>

namespace sv::platform {

// $TMPDIR when it is set and not empty, else /tmp; GLib reads the variable
// once per process, so a change after the first call is not seen.
[[nodiscard]] std::filesystem::path temporaryDirectory();

} // namespace sv::platform
