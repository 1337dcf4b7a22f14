#include "setup/command_runner.h"

#include "setup/unique_fd.h"
#include "setup/utf8.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sv {
namespace {

// A pipe raised to this size lets a child that prints a lot run well ahead
// before it has to wait for us. Output is collected in a buffer that starts
// small and doubles.
constexpr std::size_t pipeSize = 1 << 20;
constexpr std::size_t firstBuffer = 64 << 10;

std::string startFailure(const std::string& path, const std::optional<std::string>& cwd, int error)
{
    std::string text = "Could not start " + path;
    if (cwd)
        text += " in " + *cwd;
    return text + ": " + std::strerror(error);
}

// Moves a descriptor above the standard three, so that making it the
// child's standard output or error is always a real duplication (a dup2 onto
// itself would leave the close-on-exec flag set).
UniqueFd aboveStdio(UniqueFd fd)
{
    if (fd.get() > STDERR_FILENO)
        return fd;
    return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// This process's environment with PATH replaced (or added).
std::vector<std::string> childEnvironment(const std::string& searchPath)
{
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::string_view(*entry).starts_with("PATH="))
            continue;
        entries.emplace_back(*entry);
    }
    entries.push_back("PATH=" + searchPath);
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

bool containsNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// Reads until end of file, checking UTF-8 as the bytes arrive so that the
// check overlaps with the child's own work. Once the output is known not to
// be UTF-8 the rest is still drained (the child must not block on a full
// pipe) but no longer kept.
std::string readAll(int fd)
{
    std::string output;
    std::size_t used = 0;
    std::size_t checked = 0;
    bool invalid = false;
    std::string discard;
    for (;;) {
        char* target;
        std::size_t room;
        if (invalid) {
            discard.resize(pipeSize);
            target = discard.data();
            room = discard.size();
        } else {
            if (output.size() - used < firstBuffer)
                output.resize(std::max(output.size() * 2, used + firstBuffer));
            target = output.data() + used;
            room = output.size() - used;
        }
        const ssize_t n = ::read(fd, target, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (invalid)
            continue;
        used += static_cast<std::size_t>(n);
        const Utf8Scan scan = scanUtf8(std::string_view(output.data() + checked, used - checked));
        checked += scan.validLength;
        if (scan.invalid) {
            invalid = true;
            output = std::string();
        }
    }
    // A sequence cut off by the end of the output is as invalid as a bad one.
    if (invalid || checked != used)
        return {};
    output.resize(used);
    return output;
}

int waitForExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return WTERMSIG(status);
    return -1;
}

} // namespace

RunResult run(const Globals& globals, const std::string& path, const std::vector<std::string>& arguments,
    const std::optional<std::string>& cwd)
{
    // Strings with a NUL cannot cross exec intact; refuse rather than pass
    // a silently shortened argument.
    bool hasNul = containsNul(path) || (cwd && containsNul(*cwd)) || containsNul(globals.searchPath);
    for (const auto& argument : arguments)
        hasNul = hasNul || containsNul(argument);
    if (hasNul)
        return { -1, startFailure(path, cwd, EINVAL) };

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return { -1, startFailure(path, cwd, errno) };
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd = aboveStdio(UniqueFd(ends[1]));
    if (!writeEnd)
        return { -1, startFailure(path, cwd, errno) };
    // Best effort: a larger pipe means fewer switches between us and a child
    // that prints a lot. The system may refuse; the default then serves.
    (void)::fcntl(readEnd.get(), F_SETPIPE_SZ, static_cast<int>(pipeSize));

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDERR_FILENO);
    if (cwd)
        posix_spawn_file_actions_addchdir_np(&setup.actions, cwd->c_str());
    // Descriptors opened elsewhere in the process without close-on-exec
    // (by libraries, or by another thread right now) must not reach the
    // child: one holding another run's pipe would delay that run's end.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

    // The child starts with no blocked signals and default dispositions,
    // whatever this thread blocks or this process ignores.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argvStrings;
    argvStrings.reserve(arguments.size() + 1);
    argvStrings.push_back(path);
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    auto argv = pointers(argvStrings);
    auto envStrings = childEnvironment(globals.searchPath);
    auto envp = pointers(envStrings);

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    // Our copy of the write end must go, or the read below never sees the end.
    writeEnd.reset();
    if (error != 0)
        return { -1, startFailure(path, cwd, error) };

    std::string output = readAll(readEnd.get());
    readEnd.reset();
    const int status = waitForExit(pid);
    return { status, std::move(output) };
}

std::optional<std::string> which(const Globals& globals, const std::vector<std::string>& names)
{
    std::string_view rest = globals.searchPath;
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view directory = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (directory.empty())
            continue;
        for (const auto& name : names) {
            std::string candidate(directory);
            candidate += '/';
            candidate += name;
            if (isExecutableFile(candidate))
                return candidate;
        }
    }
    return std::nullopt;
}

bool isExecutableFile(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace sv
