// sandvoll-keeper: the small program between the app and its server that
// stops the server with exactly one SIGTERM however the app ends.
//
// The app forks and execs it at once, so that it starts with a heap and
// threads of its own rather than a copy of the app's (tools that judge a
// process by what it holds when it ends see only this program), and execs
// nothing but the server.
//
//   sandvoll-keeper LINE REPORT LOG DIRECTORY PROGRAM [ARGUMENT...]
//
// LINE is its end of a socket to the app: any byte on it, or its close (the
// app quit, was killed or crashed), is the word to stop the server. REPORT
// is a pipe on which a failed start of the server is written as an errno
// value. LOG (-1 for none) becomes the server's standard output and error.
// The server runs PROGRAM with the ARGUMENTs in DIRECTORY, with this
// program's own environment. The keeper exits with the server's status.
//
// The app starts it with every signal blocked, and it reads nothing else:
// not its environment, nor any file.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reports the reason the server could not start, and ends.
[[noreturn]] void failStart(int report, int error)
{
    (void)!::write(report, &error, sizeof error);
    ::_exit(127);
}

bool parseDescriptor(const char* text, int& fd)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < -1 || value > 1 << 20)
        return false;
    fd = static_cast<int>(value);
    return true;
}

// Dispositions the app had (its handlers are gone with the exec, but what it
// ignored is still ignored) must not reach the server, or it could not be
// stopped.
void resetSignalDispositions()
{
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        (void)::sigaction(signal, &standard, nullptr);
}

void closeOnExec(int fd)
{
    if (fd >= 0)
        (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

struct Plan {
    int line;
    int report;
    int log;
    const char* directory;
    char** argv; // the program, then its arguments
};

// In the server, between the fork and the exec. Never returns.
[[noreturn]] void becomeServer(const Plan& plan, pid_t keeper)
{
    resetSignalDispositions();
    // The keeper stands for the server to whoever stops it by its id: should
    // it be killed outright, so is the server. (Every other way it ends, the
    // server has ended first.) If it died before this line, the signal will
    // never come: go now.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        failStart(plan.report, errno);
    if (::getppid() != keeper)
        ::_exit(0);
    // A group of its own: whoever stops the keeper's group or session
    // reaches the server only through the keeper, so it still gets one
    // signal.
    (void)::setpgid(0, 0);
    if (::chdir(plan.directory) != 0)
        failStart(plan.report, errno);
    if (plan.log >= 0 && (::dup2(plan.log, STDOUT_FILENO) < 0 || ::dup2(plan.log, STDERR_FILENO) < 0))
        failStart(plan.report, errno);
    // Unblocked only now: a terminate signal that came meanwhile ends the
    // child here, with the default action.
    sigset_t none;
    sigemptyset(&none);
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(plan.argv[0], plan.argv);
    failStart(plan.report, errno);
}

volatile sig_atomic_t stopAsked = 0;

void onStopSignal(int) { stopAsked = 1; }
void onChildSignal(int) { }

} // namespace

int main(int argc, char** argv)
{
    Plan plan {};
    if (argc < 6 || !parseDescriptor(argv[1], plan.line) || !parseDescriptor(argv[2], plan.report)
        || !parseDescriptor(argv[3], plan.log) || plan.line < 0 || plan.report < 0)
        return 2;
    plan.directory = argv[4];
    plan.argv = argv + 5;

    resetSignalDispositions();
    struct sigaction handler {};
    handler.sa_handler = onStopSignal;
    for (int signal : { SIGTERM, SIGINT, SIGHUP })
        (void)::sigaction(signal, &handler, nullptr);
    handler.sa_handler = onChildSignal;
    (void)::sigaction(SIGCHLD, &handler, nullptr);

    // A session of its own: a terminal's Ctrl+C or hang-up reaches the app's
    // group, and through the app the server, once; and the server, now in no
    // terminal's background, is never stopped for reading or writing one.
    (void)::setsid();

    // The server keeps none of these but the log, as its output.
    closeOnExec(plan.line);
    closeOnExec(plan.report);
    closeOnExec(plan.log);

    const pid_t keeper = ::getpid();
    const pid_t server = ::fork();
    if (server == 0)
        becomeServer(plan, keeper);
    if (server < 0)
        failStart(plan.report, errno);
    // Nothing of the app's but the line: whoever reads the app's output to
    // its end must not wait for the keeper, nor a mount stay busy for it.
    for (int fd : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, plan.report, plan.log })
        if (fd >= 0)
            ::close(fd);
    (void)!::chdir("/");

    // Signals stay blocked (as the app started it) but while waiting, so
    // none can come between a look at the flags and the wait; and only those
    // handled here come then: any other one that would end the keeper (but
    // SIGKILL, which ends the server too) waits forever instead.
    sigset_t waiting;
    sigfillset(&waiting);
    for (int signal : { SIGTERM, SIGINT, SIGHUP, SIGCHLD })
        sigdelset(&waiting, signal);
    bool stopping = false;
    while (true) {
        int status = 0;
        const pid_t ended = ::waitpid(server, &status, WNOHANG);
        if (ended == server)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0 && errno != EINTR)
            return 127;
        if (stopAsked && !stopping) {
            (void)::kill(server, SIGTERM);
            stopping = true;
        }
        // Any news on the line is a stop: the app's word, or its end.
        pollfd line { plan.line, POLLIN, 0 };
        if (::ppoll(&line, stopping ? 0 : 1, nullptr, &waiting) > 0)
            stopAsked = 1;
    }
}
