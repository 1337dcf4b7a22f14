#pragma once
// Owns one file descriptor and closes it exactly once.

#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace sv {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd_(fd)
    {
    }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    // Closes the descriptor; returns close()'s result (0 when there was none).
    // A failed close still releases the descriptor on Linux, so it is never
    // retried.
    int reset(int fd = -1)
    {
        const int old = std::exchange(fd_, fd);
        return old >= 0 ? ::close(old) : 0;
    }

private:
    int fd_ = -1;
};

// Moves a descriptor above the standard three (when this process runs with
// one of them closed, a new descriptor can take its number), so that making
// it a child's standard output or error is always a real duplication: a dup2
// onto itself would leave the close-on-exec flag set. Keeps close-on-exec.
[[nodiscard]] inline UniqueFd aboveStandardStreams(UniqueFd fd)
{
    if (!fd || fd.get() > STDERR_FILENO)
        return fd;
    return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

} // namespace sv
