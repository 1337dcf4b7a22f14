#pragma once
// The user's temporary directory, and the one for files that live only as
// long as the user's session.

#include <filesystem>

namespace sv::platform {

// $TMPDIR when it is set and not empty, else /tmp; GLib reads the variable
// once per process, so a change after the first call is not seen.
[[nodiscard]] std::filesystem::path temporaryDirectory();

// $XDG_RUNTIME_DIR (private to the user, emptied when the session ends);
// without one, the user's cache directory, made if missing. Read once per
// process, like the temporary directory.
[[nodiscard]] std::filesystem::path userRuntimeDirectory();

} // namespace sv::platform
