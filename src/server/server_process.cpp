#include "server/server_process.h"

#include "setup/command_runner.h"
#include "base/unique_fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sv {
namespace {

// Replaces whatever is at `path` by a new, empty file that only this user
// can read; nothing that was there is opened, written or emptied.
UniqueFd replaceWithNewFile(const std::string& path)
{
    std::string temporary = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC)); // mode 0600
    if (!fd)
        return fd;
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        // A directory, say: it stays as it was, and there is no log.
        (void)::unlink(temporary.c_str());
        fd.reset();
    }
    return fd;
}

// Opens the log for a new server: emptied, and readable by this user only,
// since a server's output may hold whatever its pages show. An ordinary log
// is emptied in place, so that whoever follows it goes on reading (and it
// keeps its owner's own permissions). Anything else at its path is never
// written through: a symbolic or hard link would empty its target, and a
// FIFO would hold the launch until someone reads it or pass the output on.
// Those are replaced by a new file; a directory there leaves the server
// without a log.
UniqueFd openFreshLog(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    const int openError = fd ? 0 : errno;
    struct stat info;
    if (fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1) {
        if (::ftruncate(fd.get(), 0) != 0 || ::fcntl(fd.get(), F_SETFL, 0) != 0)
            return {};
        if ((info.st_mode & 077) != 0)
            (void)::fchmod(fd.get(), info.st_mode & 07700);
        return aboveStandardStreams(std::move(fd));
    }
    // ELOOP: a symbolic link; ENXIO: a FIFO nobody reads, or a socket.
    if (fd || openError == ELOOP || openError == ENXIO)
        return aboveStandardStreams(replaceWithNewFile(path));
    return {};
}

std::string launchFailure(int error)
{
    return "The server program could not be run: " + std::string(std::strerror(error)) + ".";
}

// In a child between fork and exec: dispositions the app set (its
// handlers, what it ignores) must not reach the server, or it could not be
// stopped.
void resetSignalDispositions()
{
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        (void)::sigaction(signal, &standard, nullptr);
}

// In a child: closes every descriptor above the standard three but those in
// `keep` (sorted, ascending; -1 stands for none), without allocating. The
// server must not hold the app's windows, sockets or pipes.
template<std::size_t count>
void closeInheritedDescriptors(const std::array<int, count>& keep)
{
    auto closeRange = [](unsigned from, unsigned to) {
        if (from > to || ::close_range(from, to, 0) == 0)
            return;
        // Kernels before 5.9: one descriptor at a time, up to the limit.
        const long limit = ::sysconf(_SC_OPEN_MAX);
        for (unsigned fd = from; fd <= to && static_cast<long>(fd) < limit; ++fd)
            (void)::close(static_cast<int>(fd));
    };
    unsigned from = STDERR_FILENO + 1;
    for (int fd : keep) {
        if (fd >= 0 && static_cast<unsigned>(fd) >= from) {
            closeRange(from, static_cast<unsigned>(fd) - 1);
            from = static_cast<unsigned>(fd) + 1;
        }
    }
    closeRange(from, ~0U);
}

// What the keeper needs, all made before the app forks it.
struct KeeperPlan {
    const char* python;
    char* const* argv;
    char* const* envp;
    const char* directory;
    int log;     // -1: the server writes where the app writes
    int report;  // a failed start is written here as an errno value
    int control; // the keeper's end of its line to the app
};

// In the server, between the keeper's fork and exec. Never returns.
[[noreturn]] void becomeServer(const KeeperPlan& plan, pid_t keeper)
{
    resetSignalDispositions();
    // The keeper stands for the server to whoever stops it by its id: should
    // it be killed outright, so is the server. (Every other way it ends, the
    // server has ended first.) If it died before this line, the signal will
    // never come: go now.
    int error = 0;
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        error = errno;
    else if (::getppid() != keeper)
        ::_exit(0);
    if (!error && ::chdir(plan.directory) != 0)
        error = errno;
    if (!error && plan.log >= 0) {
        if (::dup2(plan.log, STDOUT_FILENO) < 0 || ::dup2(plan.log, STDERR_FILENO) < 0)
            error = errno;
    }
    if (!error) {
        // Unblocked only now: a terminate signal that came meanwhile ends
        // the child here, with the default action.
        sigset_t none;
        sigemptyset(&none);
        (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(plan.python, plan.argv, plan.envp);
        error = errno;
    }
    (void)!::write(plan.report, &error, sizeof error);
    ::_exit(127);
}

volatile sig_atomic_t stopAsked = 0;

void onStopSignal(int) { stopAsked = 1; }
void onChildSignal(int) { }

// The keeper: a copy of the app, between it and the server, that stops the
// server with exactly one SIGTERM however the app ends. The server's own
// parent-death signal would not do: it is tied to the thread that forked,
// and comes again each time a dying app hands the child on to another of its
// threads. The keeper has a single thread; it stops the server when the app
// asks, when the app's end of the line closes (the app quit, was killed or
// crashed), or when it is told to itself; then waits for the server, so that
// its own end never sends a second signal and always means that the server
// has ended. It ends with the server, with the server's exit status.
//
// Only async-signal-safe calls: the app had other threads when it forked.
[[noreturn]] void keepServer(const KeeperPlan& plan)
{
    resetSignalDispositions();
    struct sigaction handler {};
    handler.sa_handler = onStopSignal;
    for (int signal : { SIGTERM, SIGINT, SIGHUP })
        (void)::sigaction(signal, &handler, nullptr);
    handler.sa_handler = onChildSignal;
    (void)::sigaction(SIGCHLD, &handler, nullptr);

    // A session of its own: a terminal's Ctrl+C or hang-up reaches the
    // app's group, and through the app the server, once; and the server,
    // now in no terminal's background, is never stopped for reading or
    // writing one.
    (void)::setsid();
    (void)::prctl(PR_SET_NAME, "sandvoll-keeper");

    const pid_t keeper = ::getpid();
    const pid_t server = ::_Fork();
    if (server == 0)
        becomeServer(plan, keeper);
    if (server < 0) {
        const int error = errno;
        (void)!::write(plan.report, &error, sizeof error);
        ::_exit(127);
    }
    // Nothing of the app's but the line: whoever reads the app's output to
    // its end must not wait for the keeper, nor a mount stay busy for it.
    for (int fd : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, plan.report, plan.log })
        if (fd >= 0)
            ::close(fd);
    (void)!::chdir("/");

    // Signals stay blocked (as the app forked) but while waiting, so none
    // can come between a look at the flags and the wait; and only those
    // handled here come then: any other one that would end the keeper
    // (but SIGKILL, which ends the server too) waits forever instead.
    sigset_t waiting;
    sigfillset(&waiting);
    for (int signal : { SIGTERM, SIGINT, SIGHUP, SIGCHLD })
        sigdelset(&waiting, signal);
    bool stopping = false;
    while (true) {
        int status = 0;
        const pid_t ended = ::waitpid(server, &status, WNOHANG);
        if (ended == server)
            ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        if (ended < 0 && errno != EINTR)
            ::_exit(127);
        if (stopAsked && !stopping) {
            (void)::kill(server, SIGTERM);
            stopping = true;
        }
        // Any news on the line is a stop: the app's word, or its end.
        pollfd line { plan.control, POLLIN, 0 };
        if (::ppoll(&line, stopping ? 0 : 1, nullptr, &waiting) > 0)
            stopAsked = 1;
    }
}

} // namespace

void ServerProcess::terminate() const
{
    // The keeper sends the signal. No SIGPIPE should the keeper be gone
    // already (the server ended on its own).
    if (line && *line) {
        const char stop = 's';
        (void)!::send(line->get(), &stop, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

ServerLaunch launchServer(const Globals& globals) { return launchServer(globals, childEnvironment(globals.searchPath)); }

ServerLaunch launchServer(const Globals& globals, std::vector<std::string> environment)
{
    ServerLaunch result;

    // Everything the children need is made before the fork: after it, they
    // may not allocate.
    std::vector<std::string> arguments { globals.python, globals.project + "/start.py", "--server" };
    auto argv = cStringArray(arguments);
    auto envp = cStringArray(environment);

    // Every launch starts the log afresh. When it cannot be opened the
    // server writes where the app writes.
    const UniqueFd log = openFreshLog(globals.support + "/server.log");

    // A failed exec is reported through this pipe; a successful one closes
    // it, so the read below sees end of file.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        result.error = launchFailure(errno);
        return result;
    }
    UniqueFd reportRead(ends[0]);
    UniqueFd reportWrite = aboveStandardStreams(UniqueFd(ends[1]));
    // The line to the keeper. Only the app holds its end (children it starts
    // later lose it at their exec), so the keeper sees it close when the app
    // ends, however it ends.
    if (!reportWrite || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        result.error = launchFailure(errno);
        return result;
    }
    auto appEnd = std::make_shared<const UniqueFd>(ends[0]);
    UniqueFd keeperEnd = aboveStandardStreams(UniqueFd(ends[1]));
    if (!keeperEnd) {
        result.error = launchFailure(errno);
        return result;
    }
    const KeeperPlan plan { globals.python.c_str(), argv.data(), envp.data(), globals.project.c_str(), log.get(),
        reportWrite.get(), keeperEnd.get() };

    // No handler of the app may run in the children before their
    // dispositions are reset there.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::array<int, 3> keep { plan.log, plan.report, plan.control };
        std::sort(keep.begin(), keep.end());
        closeInheritedDescriptors(keep);
        keepServer(plan);
    }
    const int forkError = pid < 0 ? errno : 0;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    reportWrite.reset();
    keeperEnd.reset();
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
        result.process = ServerProcess { pid, std::move(appEnd) };
        return result;
    }
    // The server never started, and the keeper ends with it: reap it so no
    // zombie is left.
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
