#include "update/launch_gate.h"

#include "update/package_check.h"

#include <cerrno>
#include <string>
#include <sys/file.h>
#include <system_error>
#include <thread>
#include <vector>

namespace sv {
namespace {

// Only ever a file of our own: a link put in its place is not followed.
UniqueFd openLock(const std::filesystem::path& path)
{
    return UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

bool lockWaiting(int fd, int operation)
{
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

InstanceLocks instanceLocks(const std::filesystem::path& directory, std::string_view identifier)
{
    const std::string name(identifier);
    return { directory / (name + ".swap.lock"), directory / (name + ".running.lock"),
        directory / (name + ".first.lock") };
}

Admission enterAsInstance(const InstanceLocks& locks, bool startedBySwap)
{
    Admission admission;
    // Held until the running lock is: the app that takes the swap lock
    // exclusively then knows of every launch that got in before it.
    UniqueFd door;
    if (!startedBySwap) {
        door = openLock(locks.swap);
        if (door && ::flock(door.get(), LOCK_SH | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || !lockWaiting(door.get(), LOCK_SH)) {
                door.reset();
            } else {
                // The bundle this program came from may have been set aside
                // or removed meanwhile; what is at the bundle's path now is
                // the version to run.
                const std::filesystem::path bundle = readAll(door.get());
                if (bundle.is_absolute()) {
                    admission.startBundle = bundle;
                    return admission;
                }
            }
        }
    }
    admission.running = openLock(locks.running);
    if (admission.running && !lockWaiting(admission.running.get(), LOCK_SH))
        admission.running.reset();
    admission.first = openLock(locks.first);
    if (admission.first && ::flock(admission.first.get(), LOCK_EX | LOCK_NB) != 0)
        admission.first.reset();
    return admission;
}

UniqueFd takeSwapLock(
    const std::filesystem::path& lock, const std::filesystem::path& bundle, std::chrono::milliseconds limit)
{
    UniqueFd fd = openLock(lock);
    if (!fd)
        throw std::system_error(errno, std::generic_category(), "cannot open " + lock.string());
    // Launches hold it shared only for a moment; the version a swap started
    // lets go once its window has shown. Polled, so that a holder that never
    // lets go costs this install, not the app.
    const auto until = std::chrono::steady_clock::now() + limit;
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "cannot lock " + lock.string());
        if (std::chrono::steady_clock::now() >= until)
            throw std::system_error(EWOULDBLOCK, std::generic_category(), lock.string() + " stays locked");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string text = bundle.string();
    if (::ftruncate(fd.get(), 0) != 0
        || ::pwrite(fd.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        throw std::system_error(errno, std::generic_category(), "cannot write " + lock.string());
    return fd;
}

void startInstead(const std::filesystem::path& bundle, char** argv)
{
    const auto executable = bundle / bundleExecutable;
    std::vector<char*> arguments { const_cast<char*>(executable.c_str()) };
    for (int i = 1; argv && argv[0] && argv[i]; ++i)
        arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    ::execv(executable.c_str(), arguments.data());
}

} // namespace sv
