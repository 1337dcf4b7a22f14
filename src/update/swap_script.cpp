#include "update/swap_script.h"

#include "platform/environment.h"
#include "setup/command_runner.h"

#include <spawn.h>
#include <system_error>

namespace sv {

std::string shellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string swapScriptText(int pid, const std::filesystem::path& bundle, const std::filesystem::path& newBundle,
    const std::filesystem::path& workDirectory)
{
    const std::string b = shellQuote(bundle.string());
    // setsid -f: the new app must not belong to the script's session, which
    // ends with the script.
    const std::string executable = shellQuote((bundle / "Contents" / "Linux" / "Sandvoll").string());
    return "while kill -0 " + std::to_string(pid) + " 2>/dev/null; do sleep 0.2; done\n"
        + "rm -rf " + b + "\n"
        + "mv " + shellQuote(newBundle.string()) + " " + b + "\n"
        + "xattr -dr com.apple.quarantine " + b + " 2>/dev/null\n"
        + "setsid -f " + executable + "\n"
        + "rm -rf " + shellQuote(workDirectory.string());
}

void startSwapScript(const std::string& script, const std::filesystem::path& shell)
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
    // and the new app would inherit them from it.
    int error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    if (!error)
        error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t child = -1;
    const std::string shellPath = shell.string();
    char* const argv[] = { const_cast<char*>(shellPath.c_str()), const_cast<char*>("-c"),
        const_cast<char*>(script.c_str()), nullptr };
    // The relaunched app must start with the environment this one received,
    // not with what this one set for its own drawing.
    std::vector<std::string> environment = platform::environmentForChildren();
    auto envp = cStringArray(environment);
    if (!error)
        error = posix_spawn(&child, shellPath.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error)
        throw std::system_error(error, std::generic_category(), "cannot start " + shellPath);
}

} // namespace sv
