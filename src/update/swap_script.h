#pragma once
// The shell script that replaces the app's bundle once the app has quit and
// starts the new version. It runs outside the app, which is gone by then.

#include "update/package_unpack.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

// What one swap works on. The staged bundle and the old bundle's place aside
// are beside the bundle, on its file system, so that putting either in place
// is a rename that cannot half happen.
struct SwapPlan {
    int pid = 0;       // the app, which must end before the bundle is touched
    int serverPid = 0; // the server it started (0: none), ended before the new version starts
    std::filesystem::path bundle;
    std::filesystem::path staged; // "<bundle name>.new-<id>"
    std::filesystem::path aside;  // "<bundle name>.old-<id>"
    std::filesystem::path work;
    // Held shared by every running instance (launch_gate.h): the swap waits
    // until nobody holds it.
    std::filesystem::path runningLock;
};

// A plan for the bundle, with names beside it made from the work
// directory's random part, so that they are free.
[[nodiscard]] SwapPlan planSwap(int pid, int serverPid, const std::filesystem::path& bundle,
    const std::filesystem::path& workDirectory);

// Makes plan.staged, an empty folder private to the user, which from then on
// is this install's to fill and to remove. The name is made to be free;
// should something be there after all, it is not ours to copy into or to
// remove, and std::system_error is thrown.
void claimStagingName(const SwapPlan& plan);

// Copies the new bundle (in the work directory) into plan.staged, which
// claimStagingName made, keeping links and file modes; while this runs the
// app still runs, and nothing of the old bundle is touched. On failure (no
// room beside the app, say) the partial copy is removed and
// std::runtime_error is thrown: the user hears that the update could not be
// downloaded, and the app keeps running.
void stageNewBundle(const std::filesystem::path& newBundle, const SwapPlan& plan, const ProgramRunner& run);

// The script (src/update/swap.sh). It takes its values as arguments, so no
// path is ever part of the text the shell reads as a command. It waits until
// the app, then its server, then every other instance have ended (a zombie
// counts as ended), moves the old bundle aside and the staged one into its
// place, starts the new version and waits until it has shown its window; if
// it ended or did not show one in time, the old bundle goes back and the old
// version starts again, told why. Then it removes the old bundle and the
// work directory. It holds the swap lock (launch_gate.h) on descriptor 3
// throughout, and hands it on to the version it starts.
[[nodiscard]] std::string_view swapScriptText();

// The shell's arguments for the plan: "-c", the script, "sandvoll-swap" (the
// script's $0), the pid, the server's pid, bundle, staged, aside, work and
// the running lock.
[[nodiscard]] std::vector<std::string> swapScriptArguments(const SwapPlan& plan);

// Starts the shell with the arguments (after its own name) in a session of
// its own, so that it outlives the app and the app's terminal, and does not
// wait for it. It inherits the app's environment and standard streams, the
// swap lock (when one is given) as descriptor 3, no other open files, and no
// ignored or blocked signals. Throws std::system_error when the shell cannot
// be started; the caller then keeps running and reports a download failure.
void startSwapScript(
    const std::vector<std::string>& arguments, const std::filesystem::path& shell = "/bin/sh", int swapLock = -1);

// What the swap script tells the versions it starts, through the environment.
inline constexpr const char* startedFileVariable = "SANDVOLL_UPDATE_STARTED_FILE";
inline constexpr const char* notInstalledVariable = "SANDVOLL_UPDATE_NOT_INSTALLED";
inline constexpr const char* swapLockVariable = "SANDVOLL_UPDATE_SWAP_LOCK_FD";

} // namespace sv
