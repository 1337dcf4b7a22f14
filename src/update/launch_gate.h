#pragma once
// Keeps launches of the app apart from a swap of its bundle.
//
// Two lock files in the user's runtime directory, named after the app:
// - the running lock, which every instance holds shared for as long as it
//   runs (its copy of the bundle is in use while it does);
// - the swap lock, which a launch holds shared only on its way in: it takes
//   the swap lock, then the running lock, and then lets go of the swap lock.
// The app that installs an update takes the swap lock exclusively before it
// hands over to the swap script, which keeps it until the version it started
// has shown its window. So once the app holds it, every launch that got past
// it already holds the running lock (the script waits until nobody does),
// and every later launch waits at the door. A launch that had to wait starts
// whatever is at the bundle's path then, not the program it was started as,
// which may be the old bundle set aside for removal. A lock ends with the
// last process that holds it, so a launch never waits for a script that died.

#include "base/unique_fd.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

struct InstanceLocks {
    std::filesystem::path swap;
    std::filesystem::path running;
    // Held exclusively by the first of the instances that run at one time.
    std::filesystem::path first;
};

// The locks of the app with the given identifier in the given directory
// (the user's runtime directory in the app).
[[nodiscard]] InstanceLocks instanceLocks(const std::filesystem::path& directory, std::string_view identifier);

// What a launch was told at the door.
struct Admission {
    // What the door did not trust and passed by, one line each, for the
    // launch to report: a lock file of another account's or that cannot be
    // opened, a swap lock that names another bundle than this app's.
    std::vector<std::string> refused;
    // The running lock, held shared; keep it open while the process runs.
    UniqueFd running;
    // Set when a swap was under way: the bundle to start in this process's
    // place (startInstead), now that it is over.
    std::optional<std::filesystem::path> startBundle;
    // Held when no other instance of the app ran as this one came in; keep
    // it open while the process runs. A launch while another instance runs
    // hands over to that one and ends, once the toolkit has found it, so
    // only an instance that holds this may act as the app before then.
    UniqueFd first;
};

// The door, first thing in main. A process that the swap script started
// holds the swap lock already (startedBySwap) and only takes the running
// lock. A lock file that cannot be opened is passed by: without it no swap
// can be under way either. Only a regular file of this account's is used as
// a lock; a link in its place is not followed. A launch that waited for a
// swap starts the bundle the swap lock names only when it is `ownBundle`,
// the launch's own (the bundle the swap replaced), and else goes on as
// itself.
[[nodiscard]] Admission enterAsInstance(
    const InstanceLocks& locks, bool startedBySwap, const std::filesystem::path& ownBundle);

// Takes the swap lock exclusively for a swap of the bundle and records the
// bundle's path in it for the launches that will wait. Waits up to `limit`
// for launches on their way in, and for a swap that is still letting go.
// Throws std::system_error when the lock cannot be had, which includes a
// lock file that is not a regular file of this account's. The descriptor is
// close-on-exec; startSwapScript hands it to the script.
[[nodiscard]] UniqueFd takeSwapLock(const std::filesystem::path& lock, const std::filesystem::path& bundle,
    std::chrono::milliseconds limit = std::chrono::seconds(10));

// Replaces this process with the bundle's executable, with the same
// arguments and environment. Returns only when that fails, with errno set.
void startInstead(const std::filesystem::path& bundle, char** argv);

} // namespace sv
