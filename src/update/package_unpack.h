#pragma once
// The work directory of one install: the verified package is written there
// and unpacked in place.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

// What running an external program gave: its exit status (not 0 also when it
// could not be started) and its output.
struct ProgramResult {
    int status = -1;
    std::string output;
};

// Runs the program at the given path with the given arguments and waits for
// it. The app passes its command runner; tests pass a local one.
using ProgramRunner = std::function<ProgramResult(
    const std::filesystem::path& executable, const std::vector<std::string>& arguments)>;

inline constexpr std::string_view unzipPath = "/usr/bin/unzip";
inline constexpr std::string_view packageFileName = "update.zip";
inline constexpr std::string_view workDirectoryPrefix = "Sandvoll-Update-";

// A fresh, not yet created work directory: "Sandvoll-Update-<UUID>" in the
// user's temporary directory.
[[nodiscard]] std::filesystem::path newWorkDirectoryPath();

// Creates the work directory (private to the user; it must not exist yet)
// and writes the package bytes to "update.zip" in it. Returns the archive's
// path. Throws std::system_error when either cannot be done.
std::filesystem::path writePackage(const std::filesystem::path& workDirectory, std::string_view package);

// Whether an archive member's name stays inside the directory it is
// unpacked into: relative, and without a ".." component.
[[nodiscard]] bool isSafeArchiveName(std::string_view name);

// Unpacks the archive into the work directory with unzip, never prompting.
// The archive's listing is checked first, because unzip quietly rewrites
// names such as "../x" and "/abs" instead of refusing them. Throws
// UpdateFailure(badPackage) when a name is refused or unzip fails.
void unpackPackage(
    const std::filesystem::path& archive, const std::filesystem::path& workDirectory, const ProgramRunner& run);

// Removes the work directory and everything in it, read-only folders
// included. Errors are ignored: a failed install must not fail again here.
void removeWorkDirectory(const std::filesystem::path& workDirectory) noexcept;

} // namespace sv
