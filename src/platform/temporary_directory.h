#pragma once
// The user's temporary directory, and the one for files that live only as
// long as the user's session.

#include <filesystem>

namespace sv::platform {

// $TMPDIR when it is set and not empty, else /tmp; GLib reads the variable
// once per process, so a change after the first call is not seen.
[[nodiscard]] std::filesystem::path temporaryDirectory();

// $XDG_RUNTIME_DIR (private to the user, emptied when the session ends)
// when it names a private directory; without one, the user's cache
// directory, made if missing. Read once per process, like the temporary
// directory.
[[nodiscard]] std::filesystem::path userRuntimeDirectory();

// Whether the directory is one that the XDG base-directory rules allow as
// the runtime directory: a directory (links followed) of this process's
// user, which no other account may enter, list or write to. Files there are
// the user's own; in a folder others may write to, such as one with mode
// 1777, anyone could have put them there.
[[nodiscard]] bool isPrivateDirectory(const std::filesystem::path& directory);

} // namespace sv::platform
