#include "server/server_process.h"

#include "platform/dispatch.h"
#include "setup/command_runner.h"
#include "base/unique_fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// In a child: closes every descriptor above the standard three but those in
// `keep` (sorted, ascending; -1 stands for none), without allocating. The
// keeper and the server must not hold the app's windows, sockets or pipes.
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

} // namespace

// Through syscall(): glibc 2.36's header declares pidfd_open without C
// linkage, so C++ cannot link against it.
UniqueFd openPidfd(pid_t pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

std::filesystem::path keeperProgram()
{
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path() : executable.parent_path()) / keeperProgramName;
}

void ServerProcess::terminate() const
{
    // The keeper sends the signal. No SIGPIPE should the keeper be gone
    // already (the server ended on its own).
    if (line && *line) {
        const char stop = 's';
        (void)!::send(line->get(), &stop, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

namespace {

// Without pidfds (kernels before 5.3, and valgrind, which does not know the
// call) the keeper's end is looked for four times a second instead. It is
// still this process's unreaped child, so its id cannot be another's.
void reapOnceEnded(std::shared_ptr<ServerProcess::End> end, pid_t pid, std::function<void()> ended)
{
    siginfo_t info {};
    const int result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG);
    if ((result == 0 && info.si_pid != 0) || (result < 0 && errno == ECHILD)) {
        end->reaped = true;
        if (ended)
            ended();
        return;
    }
    platform::mainAfter(0.25, [end = std::move(end), pid, ended = std::move(ended)] { reapOnceEnded(end, pid, ended); });
}

} // namespace

void ServerProcess::reapWhenEnded(std::function<void()> ended) const
{
    if (!end || end->watched)
        return;
    end->watched = true;
    if (!end->process) {
        reapOnceEnded(end, pid, std::move(ended));
        return;
    }
    // The pidfd turns readable once the keeper has ended, and a wait through
    // it can only ever reap the keeper, whatever else has happened to its id.
    // The source holds the pidfd open for as long as it watches.
    platform::whenReadable(end->process.get(), [end = end, pid = pid, ended = std::move(ended)] {
        siginfo_t info {};
        const int result = ::waitid(P_PIDFD, static_cast<id_t>(end->process.get()), &info, WEXITED | WNOHANG);
        // ECHILD: reaped by someone else (a test's own wait); gone all the
        // same. Anything else (kernels of the first year of pidfds, which
        // cannot wait through them; a debugger holding the ended keeper; a
        // wake-up that was not the keeper's end) goes on as where there are
        // no pidfds, so that the keeper is never left a zombie.
        if ((result == 0 && info.si_pid != 0) || (result < 0 && errno == ECHILD)) {
            end->reaped = true;
            if (ended)
                ended();
        } else {
            reapOnceEnded(end, pid, ended);
        }
    });
}

pid_t ServerProcess::livingPid() const { return end && end->reaped ? 0 : pid; }

ServerLaunch launchServer(const Globals& globals) { return launchServer(globals, childEnvironment(globals.searchPath)); }

ServerLaunch launchServer(const Globals& globals, std::vector<std::string> environment)
{
    ServerLaunch result;

    // Every launch starts the log afresh. When it cannot be opened the
    // server writes where the app writes.
    const UniqueFd log = openFreshLog(globals.support + "/server.log");

    // A failed exec of the keeper or the server is reported through this
    // pipe; a successful one closes it, so the read below sees end of file.
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

    // Everything the child needs is made before the fork: after it, it may
    // not allocate.
    const std::string keeper = keeperProgram().string();
    std::vector<std::string> arguments { keeper, std::to_string(keeperEnd.get()), std::to_string(reportWrite.get()),
        std::to_string(log ? log.get() : -1), globals.project, globals.python, globals.project + "/start.py",
        "--server" };
    auto argv = cStringArray(arguments);
    auto envp = cStringArray(environment);
    std::array<int, 3> keep { log ? log.get() : -1, reportWrite.get(), keeperEnd.get() };
    std::sort(keep.begin(), keep.end());

    // No handler of the app may run in the child before its exec, and the
    // keeper starts with every signal blocked until its own are in place.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) {
        closeInheritedDescriptors(keep);
        for (int fd : keep)
            if (fd >= 0)
                (void)::fcntl(fd, F_SETFD, 0);
        ::execve(argv[0], argv.data(), envp.data());
        const int error = -errno; // negative: the keeper's own exec
        (void)!::write(reportWrite.get(), &error, sizeof error);
        ::_exit(127);
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
        // Opened while nobody can have reaped the keeper: the pidfd is surely its.
        auto end = std::make_shared<ServerProcess::End>();
        end->process = openPidfd(pid);
        result.process = ServerProcess { pid, std::move(appEnd), std::move(end) };
        return result;
    }
    // The server never started, and the keeper ends with it (or never ran):
    // reap it so no zombie is left.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    result.error = execError < 0
        ? "Sandvoll's keeper program " + keeper + " could not be run: " + std::strerror(-execError) + "."
        : launchFailure(execError);
    return result;
}

std::string serverLaunchFailureText(const std::string& error, const std::string& python)
{
    return error + "\n\nPython expected at:\n" + python;
}

} // namespace sv
