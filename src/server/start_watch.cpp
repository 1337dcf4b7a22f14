#include "server/start_watch.h"

#include "platform/dispatch.h"
#include "server/server_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sv {
namespace {

// A listener answers a loopback connect at once; waiting longer only
// matters for one whose queue is full, which is not ready anyway.
constexpr std::chrono::milliseconds connectPatience { 100 };


// Empties the queue; true when it held the log's last close for writing.
bool drainSeesClose(int fd)
{
    alignas(inotify_event) char events[4096];
    bool closed = false;
    ssize_t length;
    while ((length = ::read(fd, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            closed = closed || (event->mask & IN_CLOSE_WRITE) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return closed;
}

} // namespace

bool acceptsConnections(int port, std::chrono::milliseconds patience)
{
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false; // refused: nothing listens yet
    pollfd connected { socket.get(), POLLOUT, 0 };
    if (::poll(&connected, 1, static_cast<int>(patience.count())) != 1)
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

ServerStartWatch::ServerStartWatch(pid_t pid, const std::string& log, int port)
    : pid_(pid)
    , process_(openPidfd(pid))
    , output_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , port_(port)
{
    // The log is closed for writing when the server and every process that
    // inherited its output have ended: without pidfds (kernels before 5.3,
    // valgrind) that is the moment to look whether it has ended.
    if (output_ && ::inotify_add_watch(output_.get(), log.c_str(), IN_MODIFY | IN_CLOSE_WRITE) < 0)
        output_.reset();
}

bool ServerStartWatch::hasEnded() const
{
    if (process_) {
        pollfd ended { process_.get(), POLLIN, 0 };
        return ::poll(&ended, 1, 0) == 1;
    }
    // The server is our child, and without pidfds nobody reaps it, so it
    // stays to be seen.
    siginfo_t info {};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

bool ServerStartWatch::outputCloseIsTheEnd() const
{
    // A process closes its files before it becomes a zombie, so right after
    // the close waitid() may not see the end yet, and without a pidfd nothing
    // would wake the poll when it comes. The close is the last sign of the
    // end that can be watched then, and it counts as the end. (A server that
    // closed its output and lived on is only probed early.)
    return !process_;
}

ServerStartWatch::Event ServerStartWatch::waitUntil(std::chrono::steady_clock::time_point deadline) const
{
    using namespace std::chrono;
    // Whatever happened since the last look. The queue is emptied before the
    // looks, so that what happens after them still wakes the poll below.
    if (output_ && drainSeesClose(output_.get()) && outputCloseIsTheEnd())
        return Event::exited;
    if (hasEnded())
        return Event::exited;
    if (acceptsConnections(port_, connectPatience))
        return Event::listening;
    while (true) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return Event::none;
        // Descriptors of -1 are skipped by poll.
        pollfd watched[2] = { { process_.get(), POLLIN, 0 }, { output_.get(), POLLIN, 0 } };
        const int ready = ::poll(watched, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            // Nothing left to watch with: the plain pause.
            std::this_thread::sleep_until(deadline);
            return Event::none;
        }
        if (watched[0].revents)
            return Event::exited;
        if (watched[1].revents) {
            if (drainSeesClose(output_.get()) && outputCloseIsTheEnd())
                return Event::exited;
            if (hasEnded())
                return Event::exited;
            if (acceptsConnections(port_, std::min(connectPatience, left)))
                return Event::listening;
        }
    }
}

void ProbePause::watchServerStart(pid_t pid, const std::string& log, int port)
{
    watch_ = std::make_shared<const ServerStartWatch>(pid, log, port);
}

void ProbePause::then(double seconds, std::function<void()> next)
{
    if (!watch_) {
        platform::mainAfter(seconds, std::move(next));
        return;
    }
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    // The wait blocks, so it runs on a worker beside the probes; the chain
    // goes on where it was.
    platform::probeAsync([this, watch = watch_, deadline, next = std::move(next)]() mutable {
        const auto event = watch->waitUntil(deadline);
        platform::mainAsync([this, watch, event, next = std::move(next)] {
            // Once the port has opened or the process has ended, the start is
            // over: a server that then answers 503 gets the full pauses, and
            // one that has ended is not waited for again.
            if (event != ServerStartWatch::Event::none && watch_ == watch)
                watch_.reset();
            next();
        });
    });
}

} // namespace sv
