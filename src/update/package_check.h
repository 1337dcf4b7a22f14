#pragma once
// Does the unpacked update fit the running app, and can it be put in place?

#include "platform/bundle.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sv {

// What the checks need to know about the running app.
struct RunningApp {
    std::filesystem::path bundle; // its .app directory; empty when it runs outside one
    std::optional<std::string> identifier;
    std::int64_t build = 0;
};

// The running app as described by its bundle (Bundle::main() in the app).
[[nodiscard]] RunningApp runningAppFrom(const platform::Bundle& bundle);

// The first entry of the work directory, in the order the file system lists
// them, whose name ends in ".app" (exactly, in lower case). Only the top
// level is searched. Throws UpdateFailure(badPackage) when there is none, and
// std::filesystem::filesystem_error when the directory cannot be listed.
[[nodiscard]] std::filesystem::path findNewBundle(const std::filesystem::path& workDirectory);

// Where a bundle keeps the executable that the swap script starts.
inline constexpr std::string_view bundleExecutable = "Contents/Linux/Sandvoll";

// Throws UpdateFailure(badPackage) unless the new bundle is a real directory
// (not a link), has the running app's identifier (or both have none), a
// CFBundleVersion that is a whole number greater than the running build,
// and an executable file at bundleExecutable.
void checkNewBundle(const std::filesystem::path& newBundle, const RunningApp& running);

// Throws UpdateFailure(notWritable) unless the current user may write in the
// folder that holds the running app's bundle.
void checkAppFolderWritable(const std::filesystem::path& runningBundle);

} // namespace sv
