#include "update/swap_script.h"

#include "platform/environment.h"
#include "setup/command_runner.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>

namespace sv {

SwapPlan planSwap(int pid, int serverPid, const std::filesystem::path& bundle, const std::filesystem::path& workDirectory)
{
    // "Sandvoll-Update-1B4E28BA-…" gives "1B4E28BA".
    std::string id = workDirectory.filename().string();
    if (id.starts_with(workDirectoryPrefix))
        id.erase(0, workDirectoryPrefix.size());
    id = id.substr(0, 8);
    const std::string name = bundle.filename().string();
    return SwapPlan { pid, serverPid, bundle, bundle.parent_path() / (name + ".new-" + id),
        bundle.parent_path() / (name + ".old-" + id), workDirectory, {} };
}

void claimStagingName(const SwapPlan& plan)
{
    // One call that fails for a name already taken, whatever stands there: a
    // test first and a copy after it would leave a moment in which another
    // process's folder could become the copy's destination.
    if (::mkdir(plan.staged.c_str(), 0700) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot create " + plan.staged.string());
}

void stageNewBundle(const std::filesystem::path& newBundle, const SwapPlan& plan, const ProgramRunner& run)
{
    // Into the claimed folder, which takes the new bundle's modes.
    const auto copied = run("/bin/cp", { "-a", "-T", "--", newBundle.string(), plan.staged.string() });
    if (copied.status != 0) {
        removeTree(plan.staged);
        throw std::runtime_error("cannot copy the new bundle beside the app: " + copied.output);
    }
}

std::vector<std::string> swapScriptArguments(const SwapPlan& plan)
{
    return { "-c", std::string(swapScriptText()), "sandvoll-swap", std::to_string(plan.pid),
        std::to_string(plan.serverPid), plan.bundle.string(), plan.staged.string(), plan.aside.string(),
        plan.work.string(), plan.runningLock.string() };
}

void startSwapScript(const std::vector<std::string>& arguments, const std::filesystem::path& shell, int swapLock)
{
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (int error = posix_spawnattr_init(&attributes))
        throw std::system_error(error, std::generic_category(), "posix_spawnattr_init");
    if (int error = posix_spawn_file_actions_init(&actions)) {
        posix_spawnattr_destroy(&attributes);
        throw std::system_error(error, std::generic_category(), "posix_spawn_file_actions_init");
    }
    // A session of its own: closing the terminal the app was started from,
    // or the app's exit, must not take the script with it. Descriptors the
    // app holds (display connection, pipes) are not the script's business,
    // and the new app would inherit them from it; nor are the signals the
    // app ignores or blocks.
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    int error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (!error)
        error = posix_spawnattr_setsigdefault(&attributes, &all);
    if (!error)
        error = posix_spawnattr_setsigmask(&attributes, &none);
    // The swap lock goes on as descriptor 3: the script and the versions it
    // starts hold it by that number. (A dup2 onto the same number also
    // clears close-on-exec.)
    if (!error && swapLock >= 0)
        error = posix_spawn_file_actions_adddup2(&actions, swapLock, 3);
    if (!error)
        error = posix_spawn_file_actions_addclosefrom_np(&actions, swapLock >= 0 ? 4 : 3);
    pid_t child = -1;
    const std::string shellPath = shell.string();
    std::vector<char*> argv { const_cast<char*>(shellPath.c_str()) };
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The relaunched app must start with the environment this one received,
    // not with what this one set for its own drawing.
    std::vector<std::string> environment = platform::environmentForChildren();
    auto envp = cStringArray(environment);
    if (!error)
        error = posix_spawn(&child, shellPath.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error)
        throw std::system_error(error, std::generic_category(), "cannot start " + shellPath);
}

} // namespace sv
