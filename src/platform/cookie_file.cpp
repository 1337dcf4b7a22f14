#include "platform/cookie_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace sv::platform {
namespace {

std::nullopt_t notKept(const std::filesystem::path& file, const std::string& why)
{
    std::fprintf(stderr, "Sandvoll: cookies are kept only until the app quits: %s %s\n", file.c_str(), why.c_str());
    return std::nullopt;
}

} // namespace

std::optional<std::filesystem::path> prepareCookieFile(const std::filesystem::path& folder)
{
    const auto file = folder / cookieFileName;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        std::filesystem::create_directories(folder, error);
        if (error)
            return notKept(file, "cannot be made: " + error.message());
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    }
    // Never through a link, and never held up by a FIFO nobody writes to.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return notKept(file, errno == ELOOP ? "is a link" : std::string("cannot be opened: ") + std::strerror(errno));
    std::string problem;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        problem = "is not a file";
    else if ((info.st_mode & 077) != 0 && ::fchmod(fd, info.st_mode & 07700) != 0)
        problem = std::string("cannot be made private: ") + std::strerror(errno);
    ::close(fd);
    if (!problem.empty())
        return notKept(file, problem);
    return file;
}

} // namespace sv::platform
