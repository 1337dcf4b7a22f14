#include "server/server_process.h"

#include "platform/dispatch.h"
#include "setup/command_runner.h"
#include "base/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sv {
namespace {

// Opens the log for a new server: emptied, and readable by this user only,
// since a server's output may hold whatever its pages show. An existing
// log keeps everything else about it (owner, the owner's own permissions).
UniqueFd openFreshLog(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    struct stat info;
    if (fd && ::fstat(fd.get(), &info) == 0 && (info.st_mode & 077) != 0)
        (void)::fchmod(fd.get(), info.st_mode & 07700);
    return aboveStandardStreams(std::move(fd));
}

std::string launchFailure(int error)
{
    return "The server program could not be run: " + std::string(std::strerror(error)) + ".";
}

// In the child, between fork and exec: only async-signal-safe calls. Never
// returns; a failure is reported through `report` as an errno value.
[[noreturn]] void becomeServer(const char* python, char* const argv[], char* const envp[], const char* directory,
    int logFd, pid_t app, int report)
{
    // Dispositions the app set (its handlers, what it ignores) must not
    // reach the server, or it could not be stopped.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        (void)::sigaction(signal, &standard, nullptr);

    // The server ends with the app however the app ends: quit, kill, crash
    // or a lost display. The signal is tied to the thread that forked, which
    // is why the app starts servers from its main thread only. If the app
    // already died before this line, the signal will never come: go now.
    int error = 0;
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0)
        error = errno;
    else if (::getppid() != app)
        ::_exit(0);

    if (!error && ::chdir(directory) != 0)
        error = errno;
    if (!error && logFd >= 0) {
        if (::dup2(logFd, STDOUT_FILENO) < 0 || ::dup2(logFd, STDERR_FILENO) < 0)
            error = errno;
    }
    if (!error) {
        // Unblocked only now: a parent-death signal that came meanwhile
        // ends the child here, with the default action.
        sigset_t none;
        sigemptyset(&none);
        (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(python, argv, envp);
        error = errno;
    }
    (void)!::write(report, &error, sizeof error);
    ::_exit(127);
}

// In the child: closes every descriptor above the standard three but the two
// it still needs (the report pipe and the log, both close-on-exec), without
// allocating. The server must not hold the app's windows, sockets or pipes.
void closeInheritedDescriptors(int keepA, int keepB)
{
    const auto keepLow = static_cast<unsigned>(std::min(keepA, keepB));
    const auto keepHigh = static_cast<unsigned>(std::max(keepA, keepB));
    auto closeRange = [](unsigned from, unsigned to) {
        if (from > to || ::close_range(from, to, 0) == 0)
            return;
        // Kernels before 5.9: one descriptor at a time, up to the limit.
        const long limit = ::sysconf(_SC_OPEN_MAX);
        for (unsigned fd = from; fd <= to && static_cast<long>(fd) < limit; ++fd)
            (void)::close(static_cast<int>(fd));
    };
    closeRange(STDERR_FILENO + 1, keepLow - 1);
    closeRange(keepLow + 1, keepHigh - 1);
    closeRange(keepHigh + 1, ~0U);
}

} // namespace

void ServerProcess::terminate() const
{
    if (pid > 0)
        ::kill(pid, SIGTERM);
}

ServerLaunch launchServer(const Globals& globals)
{
    ServerLaunch result;
    if (!platform::isMainThread()) {
        // The server's end is tied to the thread that starts it; a worker
        // thread may end long before the app does.
        result.error = "The server must be started from the app's main thread.";
        return result;
    }

    // Everything the child needs is made before the fork: after it, the
    // child may not allocate.
    std::vector<std::string> arguments { globals.python, globals.project + "/start.py", "--server" };
    std::vector<std::string> environment = childEnvironment(globals.searchPath);
    auto argv = cStringArray(arguments);
    auto envp = cStringArray(environment);

    // Every launch starts the log afresh. When it cannot be opened the
    // server writes where the app writes.
    const UniqueFd log = openFreshLog(globals.support + "/server.log");

    // The child reports a failed exec through this pipe; a successful exec
    // closes it, so the read below sees end of file.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        result.error = launchFailure(errno);
        return result;
    }
    UniqueFd reportRead(ends[0]);
    UniqueFd reportWrite = aboveStandardStreams(UniqueFd(ends[1]));
    if (!reportWrite) {
        result.error = launchFailure(errno);
        return result;
    }

    // No handler of the app may run in the child before its dispositions
    // are reset there.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t app = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        closeInheritedDescriptors(reportWrite.get(), log ? log.get() : reportWrite.get());
        becomeServer(globals.python.c_str(), argv.data(), envp.data(), globals.project.c_str(), log.get(), app,
            reportWrite.get());
    }
    const int forkError = pid < 0 ? errno : 0;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    reportWrite.reset();
    if (pid < 0) {
        result.error = launchFailure(forkError);
        return result;
    }

    int execError = 0;
    ssize_t n;
    do
        n = ::read(reportRead.get(), &execError, sizeof execError);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof execError)) {
        result.process = ServerProcess { pid };
        return result;
    }
    // The child never became the server; reap it so no zombie is left.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    result.error = launchFailure(execError);
    return result;
}

std::string serverLaunchFailureText(const std::string& error, const std::string& python)
{
    return error + "\n\nPython expected at:\n" + python;
}

} // namespace sv
