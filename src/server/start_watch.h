#pragma once
// The pause between two readiness probes, cut short when the server the app
// has just started begins to accept connections or ends.

#include "base/unique_fd.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace sv {

// Watches a server process the app has just started for the two moments
// after which a probe is worth making at once: its port begins to accept
// connections, or the process ends.
//
// Linux gives an unprivileged process no event for "a socket began to
// listen on this port" (the socket-diagnostics multicast only reports
// sockets that are destroyed, and needs privileges; BPF, perf and audit need
// them too; a seccomp listener or ptrace would change the server itself). What
// it does give without any polling is the end of a child (a pidfd becomes
// readable) and every write to a file (inotify). A server says on its output
// that it serves once it listens, as the example does with "Serving on …",
// so each write to server.log is a moment at which the port may have opened,
// and one loopback connect, refused within microseconds while nothing
// listens, tells. The watch does nothing between those moments: no timer
// and no retry of its own. A server that writes nothing before it answers is
// found by the probe after the usual pause, as before.
class ServerStartWatch {
public:
    enum class Event { listening, exited, none };

    // Watches process `pid`, a child of this process not yet reaped (it is
    // reaped only through a pidfd, so never where the watch has none), the
    // log file it writes, and 127.0.0.1:`port`. What cannot be watched (a
    // log that could not be opened) is simply never reported.
    ServerStartWatch(pid_t pid, const std::string& log, int port);

    // Blocks until the port accepts a connection, the process has ended or the
    // deadline has passed, whichever comes first; `none` for the deadline.
    // Where the end of a process cannot be watched (no pidfds), the last close
    // of its log counts as its end. One caller at a time.
    [[nodiscard]] Event waitUntil(std::chrono::steady_clock::time_point deadline) const;

private:
    [[nodiscard]] bool hasEnded() const;
    [[nodiscard]] bool outputCloseIsTheEnd() const;

    pid_t pid_;
    UniqueFd process_;
    UniqueFd output_;
    int port_;
};

// True when something accepts a TCP connection on 127.0.0.1:`port` within
// `patience` (a listener whose queue is full does not).
[[nodiscard]] bool acceptsConnections(int port, std::chrono::milliseconds patience);

// The pause between two probes of one readiness chain. Main thread only.
class ProbePause {
public:
    // Until the server's port has opened or the process has ended, pauses
    // end at whichever of those comes first.
    void watchServerStart(pid_t pid, const std::string& log, int port);

    // Runs `next` on the main thread `seconds` from now, or sooner as above.
    void then(double seconds, std::function<void()> next);

    // The server has answered, so its port is open: pauses take their full
    // length from now on.
    void startIsOver() { watch_.reset(); }

private:
    std::shared_ptr<const ServerStartWatch> watch_;
};

} // namespace sv
