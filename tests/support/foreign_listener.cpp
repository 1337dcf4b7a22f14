#include "support/foreign_listener.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace sv::test {
namespace {

// Listens, says on which port, and waits to be killed.
constexpr const char* listenerProgram =
    "import signal, socket, sys\n"
    "address = sys.argv[1]\n"
    "s = socket.socket(socket.AF_INET6 if ':' in address else socket.AF_INET)\n"
    "if ':' in address:\n"
    "    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)\n"
    "s.bind((address, 0))\n"
    "s.listen()\n"
    "print(s.getsockname()[1], flush=True)\n"
    "signal.pause()\n";

} // namespace

ForeignListener::ForeignListener(const std::string& address)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> words { "/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
        "/usr/bin/python3", "-c", listenerProgram, address };
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (error) {
        pid_ = -1;
        ::close(out[0]);
        return;
    }
    // The port, or nothing when the listener failed.
    std::string line;
    char c = 0;
    while (line.size() < 16) {
        const ssize_t n = ::read(out[0], &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        line += c;
    }
    ::close(out[0]);
    port_ = std::atoi(line.c_str());
}

ForeignListener::~ForeignListener()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) { }
}

} // namespace sv::test
