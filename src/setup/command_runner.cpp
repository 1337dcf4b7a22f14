#include "setup/command_runner.h"

#include "platform/environment.h"
#include "base/unique_fd.h"
#include "setup/utf8.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <spawn.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sv {
namespace {

// Output is collected in a buffer that starts at this size and doubles.
// (The pipe keeps its default size: reads of a pipe's worth leave the bytes
// in cache for the UTF-8 check, which measured faster than a larger pipe.)
constexpr std::size_t firstBuffer = 64 << 10;
// The most one read brings once the buffer is full.
constexpr std::size_t readSize = 64 << 10;

// The unchecked end of what was read: at most a character's first bytes.
constexpr std::size_t mostUnchecked = 3;

// The buffer stops growing once it holds three times what is kept, and one
// read more: from then on the oldest bytes go by moving what is kept to the
// front, which costs a third of a byte or less per byte read.
std::size_t bufferLimit(std::size_t keep)
{
    const std::size_t more = readSize + mostUnchecked;
    return keep > (SIZE_MAX - more) / 3 ? SIZE_MAX : 3 * keep + more;
}

std::string startFailure(const std::string& path, const std::optional<std::string>& cwd, int error)
{
    std::string text = "Could not start " + path;
    if (cwd)
        text += " in " + *cwd;
    return text + ": " + std::strerror(error);
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

bool containsNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// The bytes read so far, in an anonymous mapping that doubles with mremap:
// growing moves page tables instead of copying bytes, and fresh pages come
// zeroed from the kernel, so nothing is filled twice.
class OutputBuffer {
public:
    OutputBuffer() = default;
    ~OutputBuffer()
    {
        if (data_)
            ::munmap(data_, capacity_);
    }
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    [[nodiscard]] char* data() const { return static_cast<char*>(data_); }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }

    void grow()
    {
        const std::size_t larger = capacity_ ? capacity_ * 2 : firstBuffer;
        void* moved = data_ ? ::mremap(data_, capacity_, larger, MREMAP_MAYMOVE)
                            : ::mmap(nullptr, larger, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (moved == MAP_FAILED)
            throw std::bad_alloc();
        data_ = moved;
        capacity_ = larger;
    }

private:
    void* data_ = nullptr;
    std::size_t capacity_ = 0;
};

ssize_t readSome(int fd, char* data, std::size_t size)
{
    ssize_t n;
    do
        n = ::read(fd, data, size);
    while (n < 0 && errno == EINTR);
    return n;
}

// Reads until end of file, checking UTF-8 as the bytes arrive so that the
// check overlaps with the child's own work, and keeps the last `keep`
// bytes. The whole output is checked, not only what is kept: one
// bad byte anywhere makes it not text. Once it is known not to be UTF-8 the
// rest is still drained (the child must not block on a full pipe) but no
// longer kept.
std::string readTail(int fd, std::size_t keep)
{
    const std::size_t limit = bufferLimit(keep);
    OutputBuffer buffer;
    std::size_t used = 0;
    std::size_t checked = 0;
    bool invalid = false;
    char spare[readSize];
    for (;;) {
        ssize_t n;
        if (invalid) {
            n = readSome(fd, spare, sizeof spare);
        } else if (used < buffer.capacity()) {
            n = readSome(fd, buffer.data() + used, buffer.capacity() - used);
        } else {
            // Full (or not yet made): make room only when there is more, so
            // output that exactly fills the buffer costs nothing.
            n = readSome(fd, spare, sizeof spare);
            if (n > 0) {
                if (buffer.capacity() < limit) {
                    buffer.grow();
                } else {
                    // Only checked bytes go: a character's first bytes wait
                    // for the rest of it.
                    const std::size_t dropped = std::min(used - keep, checked);
                    std::memmove(buffer.data(), buffer.data() + dropped, used - dropped);
                    used -= dropped;
                    checked -= dropped;
                }
                std::memcpy(buffer.data() + used, spare, static_cast<std::size_t>(n));
            }
        }
        if (n <= 0)
            break;
        if (invalid)
            continue;
        used += static_cast<std::size_t>(n);
        const Utf8Scan scan = scanUtf8(std::string_view(buffer.data() + checked, used - checked));
        checked += scan.validLength;
        invalid = scan.invalid;
    }
    // A sequence cut off by the end of the output is as invalid as a bad one.
    if (invalid || checked != used)
        return {};
    // The whole is UTF-8, so a continuation byte at the start of what is kept
    // means the cut went through a character: its remains go too.
    std::size_t from = used > keep ? used - keep : 0;
    while (from < used && (static_cast<unsigned char>(buffer.data()[from]) & 0xC0) == 0x80)
        ++from;
    return std::string(buffer.data() + from, used - from);
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

std::vector<std::string> childEnvironment(const std::string& searchPath)
{
    std::vector<std::string> entries = platform::environmentForChildren();
    std::erase_if(entries, [](const std::string& entry) { return entry.starts_with("PATH="); });
    entries.push_back("PATH=" + searchPath);
    return entries;
}

std::vector<char*> cStringArray(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

RunResult run(const Globals& globals, const std::string& path, const std::vector<std::string>& arguments,
    const std::optional<std::string>& cwd, std::size_t keep)
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
    UniqueFd writeEnd = aboveStandardStreams(UniqueFd(ends[1]));
    if (!writeEnd)
        return { -1, startFailure(path, cwd, errno) };

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
    auto argv = cStringArray(argvStrings);
    auto envStrings = childEnvironment(globals.searchPath);
    auto envp = cStringArray(envStrings);

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    // Our copy of the write end must go, or the read below never sees the end.
    writeEnd.reset();
    if (error != 0)
        return { -1, startFailure(path, cwd, error) };

    std::string output = readTail(readEnd.get(), keep);
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
