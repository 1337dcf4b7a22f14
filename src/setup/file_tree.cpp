#include "setup/file_tree.h"

#include "base/unique_fd.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sv {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(const fs::path& from, const fs::path& to, int error)
{
    throw fs::filesystem_error("Could not copy the application code", from, to,
        std::error_code(error, std::generic_category()));
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

constexpr unsigned int permissionBits = 07777;

// In-kernel copy where the file system offers it, plain reads and writes
// where it does not (copies between file systems on older kernels, or file
// systems without the call).
void copyContent(int in, int out, const fs::path& from, const fs::path& to)
{
    bool kernelCopy = true;
    for (;;) {
        if (kernelCopy) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n > 0)
                continue;
            if (n == 0)
                return;
            if (errno == EINTR)
                continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                kernelCopy = false;
                continue;
            }
            fail(from, to, errno);
        }
        char buffer[128 * 1024];
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(from, to, errno);
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fail(from, to, errno);
            }
            done += w;
        }
    }
}

void copyFile(int fromDir, int toDir, const char* name, const struct stat& info, const fs::path& from,
    const fs::path& to)
{
    UniqueFd in(::openat(fromDir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
    if (!in)
        fail(from, to, errno);
    UniqueFd out(::openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out)
        fail(from, to, errno);
    copyContent(in.get(), out.get(), from, to);
    const struct timespec times[2] = { info.st_atim, info.st_mtim };
    if (::fchmod(out.get(), info.st_mode & permissionBits) != 0 || ::futimens(out.get(), times) != 0)
        fail(from, to, errno);
    if (out.reset() != 0)
        fail(from, to, errno);
}

void copyLink(int fromDir, int toDir, const char* name, const struct stat& info, const fs::path& from,
    const fs::path& to)
{
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(fromDir, name, target.data(), target.size());
        if (n < 0)
            fail(from, to, errno);
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            break;
        }
        target.resize(target.size() * 2);
    }
    if (::symlinkat(target.c_str(), toDir, name) != 0)
        fail(from, to, errno);
    const struct timespec times[2] = { info.st_atim, info.st_mtim };
    // Some file systems cannot time-stamp a link; the link itself is what counts.
    (void)::utimensat(toDir, name, times, AT_SYMLINK_NOFOLLOW);
}

// Copies the entries of one directory into another that exists and is
// writable, then gives the target the source's mode and time (last, as
// filling it changes its time and its mode may forbid filling it).
void copyDirectory(int fromDir, int toDir, const struct stat& info, const fs::path& from, const fs::path& to)
{
    const int listFd = ::dup(fromDir);
    if (listFd < 0)
        fail(from, to, errno);
    DirPtr listing(::fdopendir(listFd));
    if (!listing) {
        ::close(listFd);
        fail(from, to, errno);
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (!entry) {
            if (errno != 0)
                fail(from, to, errno);
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        const fs::path fromEntry = from / name;
        const fs::path toEntry = to / name;
        struct stat entryInfo;
        if (::fstatat(fromDir, name, &entryInfo, AT_SYMLINK_NOFOLLOW) != 0)
            fail(fromEntry, toEntry, errno);
        if (S_ISREG(entryInfo.st_mode)) {
            copyFile(fromDir, toDir, name, entryInfo, fromEntry, toEntry);
        } else if (S_ISLNK(entryInfo.st_mode)) {
            copyLink(fromDir, toDir, name, entryInfo, fromEntry, toEntry);
        } else if (S_ISDIR(entryInfo.st_mode)) {
            if (::mkdirat(toDir, name, 0700) != 0)
                fail(fromEntry, toEntry, errno);
            UniqueFd fromChild(::openat(fromDir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
            if (!fromChild)
                fail(fromEntry, toEntry, errno);
            UniqueFd toChild(::openat(toDir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
            if (!toChild)
                fail(fromEntry, toEntry, errno);
            copyDirectory(fromChild.get(), toChild.get(), entryInfo, fromEntry, toEntry);
        } else {
            fail(fromEntry, toEntry, ENOTSUP);
        }
    }
    const struct timespec times[2] = { info.st_atim, info.st_mtim };
    if (::fchmod(toDir, info.st_mode & permissionBits) != 0 || ::futimens(toDir, times) != 0)
        fail(from, to, errno);
}

} // namespace

void copyTree(const fs::path& from, const fs::path& to)
{
    UniqueFd fromDir(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fromDir)
        fail(from, to, errno);
    struct stat info;
    if (::fstat(fromDir.get(), &info) != 0)
        fail(from, to, errno);
    if (::mkdir(to.c_str(), 0700) != 0)
        fail(from, to, errno);
    UniqueFd toDir(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!toDir)
        fail(from, to, errno);
    copyDirectory(fromDir.get(), toDir.get(), info, from, to);
}

void removeTree(const fs::path& path, std::error_code& error)
{
    error.clear();
    fs::remove_all(path, error);
    if (!error || (error != std::errc::permission_denied && error != std::errc::operation_not_permitted))
        return;

    // Give the owner write and search rights on every directory inside, then
    // try again. Links are not followed, so nothing outside the tree changes.
    std::error_code walkError;
    struct stat top;
    if (::lstat(path.c_str(), &top) == 0 && S_ISDIR(top.st_mode))
        ::chmod(path.c_str(), (top.st_mode & permissionBits) | S_IRWXU);
    for (auto it = fs::recursive_directory_iterator(path, walkError);
         !walkError && it != fs::recursive_directory_iterator(); it.increment(walkError)) {
        struct stat info;
        if (::lstat(it->path().c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            ::chmod(it->path().c_str(), (info.st_mode & permissionBits) | S_IRWXU);
    }
    error.clear();
    fs::remove_all(path, error);
}

} // namespace sv
