#pragma once
// The work directory of one install: the verified package is written there
// and unpacked in place.

#include "base/unique_fd.h"

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
// given temporary directory (the user's, in the app).
[[nodiscard]] std::filesystem::path newWorkDirectoryPath(const std::filesystem::path& temporaryDirectory);

// Creates the work directory (private to the user; it must not exist yet)
// and in it the empty file "update.zip" that the download is written to.
// Returns that file, open for writing. Throws std::system_error when either
// cannot be made.
[[nodiscard]] UniqueFd createWorkDirectory(const std::filesystem::path& workDirectory);

// Writes all of the bytes to the file; false when that fails (a full disk).
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);

// Whether an archive member's name stays inside the directory it is
// unpacked into: relative, and without a ".." component.
[[nodiscard]] bool isSafeArchiveName(std::string_view name);

// Unpacks the archive into the work directory with unzip, never prompting.
// The archive's listing is checked first, because unzip quietly rewrites
// names such as "../x" and "/abs" instead of refusing them. Throws
// UpdateFailure(badPackage) when a name is refused or unzip fails.
void unpackPackage(
    const std::filesystem::path& archive, const std::filesystem::path& workDirectory, const ProgramRunner& run);

// Removes a tree that an install made (the work directory, a staged
// bundle) and everything in it, read-only folders included. Errors are
// ignored: a failed install must not fail again here.
void removeTree(const std::filesystem::path& tree) noexcept;

} // namespace sv
