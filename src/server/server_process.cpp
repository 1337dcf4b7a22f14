#include "server/server_process.h"

#include "setup/command_runner.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace sv {
namespace {

struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

} // namespace

void ServerProcess::terminate() const
{
    if (pid > 0)
        ::kill(pid, SIGTERM);
}

ServerLaunch launchServer(const Globals& globals)
{
    std::vector<std::string> arguments { globals.python, globals.project + "/start.py", "--server" };
    std::vector<std::string> environment = childEnvironment(globals.searchPath);
    auto argv = cStringArray(arguments);
    auto envp = cStringArray(environment);

    FileActions files;
    posix_spawn_file_actions_addchdir_np(&files.actions, globals.project.c_str());

    // Every launch starts the log afresh. When it cannot be opened the
    // server writes where the app writes.
    const std::string log = globals.support + "/server.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd >= 0) {
        posix_spawn_file_actions_adddup2(&files.actions, logFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&files.actions, logFd, STDERR_FILENO);
    }
    // The server must not hold the app's windows, sockets or pipes open.
    posix_spawn_file_actions_addclosefrom_np(&files.actions, STDERR_FILENO + 1);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Signals the app ignores or blocks must not stay ignored in the server,
    // or it could not be stopped.
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int error = posix_spawn(&pid, globals.python.c_str(), &files.actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (logFd >= 0)
        ::close(logFd);

    ServerLaunch result;
    if (error == 0)
        result.process = ServerProcess { pid };
    else
        result.error = "The server program could not be run: " + std::string(std::strerror(error)) + ".";
    return result;
}

std::string serverLaunchFailureText(const std::string& error, const std::string& python)
{
    return error + "\n\nPython expected at:\n" + python;
}

} // namespace sv
