#include "setup/text_file.h"

#include "base/unique_fd.h"
#include "setup/utf8.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sv {

std::optional<std::string> readTextFile(const std::filesystem::path& file)
{
    // O_NONBLOCK only matters for the open of a FIFO, which is then refused
    // by the regular-file check below instead of hanging the launch.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return std::nullopt;
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;

    std::string text;
    text.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size())
            text.resize(text.size() * 2);
        const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    if (!isValidUtf8(text))
        return std::nullopt;
    return text;
}

namespace {

[[noreturn]] void writeFailed(const std::filesystem::path& file, int error)
{
    throw std::filesystem::filesystem_error("Could not write " + file.filename().string(), file,
        std::error_code(error, std::generic_category()));
}

// Writes all of `text`; returns 0 or the error.
int writeAll(int fd, std::string_view text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

void writeTextFileAtomically(const std::filesystem::path& file, std::string_view text)
{
    std::string temporary = file.string() + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd)
        writeFailed(file, errno);

    int error = 0;
    // mkostemp creates the file for its owner only; a stamp is ordinary data.
    if (::fchmod(fd.get(), 0644) != 0)
        error = errno;
    if (!error)
        error = writeAll(fd.get(), text);
    // Without the flush a crash soon after the rename could leave an empty
    // file under the final name, which would read as a different stamp.
    if (!error && ::fsync(fd.get()) != 0)
        error = errno;
    if (fd.reset() != 0 && !error)
        error = errno;
    if (!error && ::rename(temporary.c_str(), file.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        writeFailed(file, error);
    }
}

} // namespace sv
