#include "update/launch_gate.h"

#include "update/package_check.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <vector>

namespace sv {
namespace {

// Only ever a file of our own: a link put in its place is not followed, and
// a file that another account made is neither waited for nor believed, since
// what the swap lock holds is a program to run. Such a file fails with
// EPERM.
UniqueFd openLock(const std::filesystem::path& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    struct stat status {};
    if (fd && (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid())) {
        (void)fd.reset();
        errno = EPERM;
    }
    return fd;
}

// Why a lock file could not be opened, from openLock's errno.
std::string whyNotOpened(const std::filesystem::path& path, int error)
{
    if (error == EPERM)
        return path.string() + " is not a file of this account's";
    if (error == ELOOP)
        return path.string() + " is a link";
    return "cannot open " + path.string() + ": " + std::strerror(error);
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

Admission enterAsInstance(const InstanceLocks& locks, bool startedBySwap, const std::filesystem::path& ownBundle)
{
    Admission admission;
    const auto openOrRefuse = [&](const std::filesystem::path& path) {
        UniqueFd fd = openLock(path);
        if (!fd)
            admission.refused.push_back(whyNotOpened(path, errno));
        return fd;
    };
    // Held until the running lock is: the app that takes the swap lock
    // exclusively then knows of every launch that got in before it.
    UniqueFd door;
    if (!startedBySwap) {
        door = openOrRefuse(locks.swap);
        if (door && ::flock(door.get(), LOCK_SH | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || !lockWaiting(door.get(), LOCK_SH)) {
                door.reset();
            } else {
                // The bundle this program came from may have been set aside
                // or removed meanwhile; what is at the bundle's path now is
                // the version to run. A swap only ever replaces the bundle
                // at the path this launch came from, so any other path is
                // not one to run.
                const std::filesystem::path bundle = readAll(door.get());
                if (!ownBundle.empty() && bundle == ownBundle) {
                    admission.startBundle = bundle;
                    return admission;
                }
                if (!bundle.empty())
                    admission.refused.push_back(locks.swap.string() + " names " + bundle.string()
                        + ", which is not this app's bundle; it is not started");
            }
        }
    }
    admission.running = openOrRefuse(locks.running);
    if (admission.running && !lockWaiting(admission.running.get(), LOCK_SH))
        admission.running.reset();
    admission.first = openOrRefuse(locks.first);
    if (admission.first && ::flock(admission.first.get(), LOCK_EX | LOCK_NB) != 0)
        admission.first.reset();
    return admission;
}

UniqueFd takeSwapLock(
    const std::filesystem::path& lock, const std::filesystem::path& bundle, std::chrono::milliseconds limit)
{
    UniqueFd fd = openLock(lock);
    if (!fd) {
        const int error = errno;
        throw std::system_error(error, std::generic_category(), whyNotOpened(lock, error));
    }
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
