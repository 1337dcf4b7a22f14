// Evidence for a crash that happens once in a hundred runs. The window and
// end-to-end tests load this library into the program under test with
// LD_PRELOAD. When that program dies from a signal, gdb attaches to it
// before it goes and writes a backtrace of every thread to
// <program>-<pid>.backtrace.txt in SV_CRASH_REPORT_DIR (else in the working
// directory), which is also copied to standard error, so the failing test's
// output shows it.
//
// It works on any machine with gdb: nothing depends on where the system
// sends core files, or on whether it keeps them.
//
// SV_CRASH_TEST=after-window makes the program crash once its first window
// is presented, to prove the above. Only this library reads the variable, so
// it does nothing to a program run without it.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

// Declared here rather than through the toolkit's headers: this library
// links to nothing and looks the toolkit up in the program it is loaded into.
extern "C" {
typedef int gboolean;
typedef struct _GtkWindow GtkWindow;
}

namespace {

// Everything the handler needs is prepared here, before any crash: after one,
// only async-signal-safe calls are allowed.
char reportPath[4096];
char gdbPath[] = "/usr/bin/gdb";
char pidText[24];
char* gdbArgs[16];
alignas(16) char alternateStack[64 * 1024];
const int crashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

void writeAll(int fd, const char* text, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void writeText(int fd, const char* text) { writeAll(fd, text, strlen(text)); }

void copyFile(const char* path, int to)
{
    int from = open(path, O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return;
    char buffer[4096];
    ssize_t count;
    while ((count = read(from, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR))
        if (count > 0)
            writeAll(to, buffer, static_cast<size_t>(count));
    close(from);
}

void onCrash(int signalNumber, siginfo_t*, void*)
{
    int report = open(reportPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (report >= 0) {
        writeText(report, "=== ");
        writeText(report, program_invocation_short_name);
        writeText(report, " (pid ");
        writeText(report, pidText);
        writeText(report, ") died from ");
        writeText(report, sigabbrev_np(signalNumber) ? sigabbrev_np(signalNumber) : "a signal");
        writeText(report, "; backtrace of every thread:\n");
        // Where Yama restricts tracing, a child may not trace its parent
        // unless the parent allows it.
        prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        // vfork runs no fork handlers, which could wait on a lock the
        // crashed thread holds.
        pid_t child = vfork();
        if (child == 0) {
            dup2(report, STDOUT_FILENO);
            dup2(report, STDERR_FILENO);
            execve(gdbPath, gdbArgs, environ);
            _exit(127);
        }
        if (child > 0) {
            int status = 0;
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            if (!WIFEXITED(status) || WEXITSTATUS(status) == 127)
                writeText(report, "(gdb could not be run)\n");
        }
        close(report);
        copyFile(reportPath, STDERR_FILENO);
    }
    // The handler was reset on entry; the signal, sent again, ends the
    // process the way it would have ended without us.
    raise(signalNumber);
}

gboolean crashNow(void*)
{
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
    return 0;
}

} // namespace

extern "C" {

void gtk_window_present(GtkWindow* window)
{
    using Present = void (*)(GtkWindow*);
    using IdleAdd = unsigned (*)(gboolean (*)(void*), void*);
    static Present real = reinterpret_cast<Present>(dlsym(RTLD_NEXT, "gtk_window_present"));
    real(window);
    static bool crashAfterWindow = [] {
        const char* test = getenv("SV_CRASH_TEST");
        return test && strcmp(test, "after-window") == 0;
    }();
    if (crashAfterWindow) {
        auto idleAdd = reinterpret_cast<IdleAdd>(dlsym(RTLD_DEFAULT, "g_idle_add"));
        idleAdd(crashNow, nullptr);
    }
}

} // extern "C"

namespace {

__attribute__((constructor)) void installCrashReport()
{
    if (access(gdbPath, X_OK) != 0)
        return;
    const char* directory = getenv("SV_CRASH_REPORT_DIR");
    if (!directory || !*directory)
        directory = ".";
    std::string pid = std::to_string(getpid());
    std::string path = std::string(directory) + "/" + program_invocation_short_name + "-" + pid + ".backtrace.txt";
    if (path.size() >= sizeof reportPath)
        return;
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    strcpy(reportPath, path.c_str());
    strcpy(pidText, pid.c_str());

    static char batch[] = "-batch", noInit[] = "-nx", attach[] = "-p", ex[] = "-ex";
    static char noDebuginfod[] = "set debuginfod enabled off";
    static char allThreads[] = "thread apply all bt";
    char** arg = gdbArgs;
    for (char* value : {gdbPath, batch, noInit, ex, noDebuginfod, attach, pidText, ex, allThreads})
        *arg++ = value;
    *arg = nullptr;

    // Only this process is watched: the programs it starts (the server, the
    // web engine's helpers) get an environment without us.
    unsetenv("LD_PRELOAD");
    unsetenv("SV_CRASH_REPORT_DIR");

    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = onCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : crashSignals)
        sigaction(signalNumber, &action, nullptr);
}

} // namespace
