// The server as a real child process: what it receives, where its output
// goes, and the one signal however the app ends.

#include "platform/environment.h"
#include "server/port_owner.h"
#include "server/server_process.h"
#include "support/foreign_listener.h"
#include "support/loopback_http_server.h"
#include "support/sandbox.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sv {
namespace {

class ServerLaunchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(globals.project);
        setenv("SANDVOLL_TEST_MARKER", "kept '^! $PATH", 1);
        // A launcher's token for the app's window, which the toolkit takes
        // out of the environment only once it starts, after an early launch.
        setenv("DESKTOP_STARTUP_ID", "launcher-1", 1);
        setenv("XDG_ACTIVATION_TOKEN", "launcher-2", 1);
        // As the app sets the renderer for its own drawing.
        platform::setOwnVariable("SANDVOLL_TEST_OWN", "the app's own");
    }

    // A stand-in interpreter: a shell script at the environment's python path.
    void writePython(const std::string& body)
    {
        test::writeFile(globals.python, "#!/bin/sh\n" + body);
        chmod(globals.python.c_str(), 0755);
    }

    static int waitExit(pid_t pid)
    {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        return status;
    }

    std::string log() const { return test::readFile(globals.support + "/server.log"); }

    test::Sandbox sandbox;
    Globals globals { (sandbox / "home dir").string(), 40999, "/opt/none:/usr/bin:/bin" };
};

TEST_F(ServerLaunchTest, ChildGetsTheFixedSettingsAndBothStreamsGoToTheLog)
{
    writePython("echo \"args:$1|$2|$#\"\n"
                "echo \"cwd:$(pwd)\" >&2\n"
                "echo \"path:$PATH\"\n"
                "echo \"marker:$SANDVOLL_TEST_MARKER\" >&2\n"
                "echo \"own:${SANDVOLL_TEST_OWN-unset}\"\n"
                "echo \"tokens:${DESKTOP_STARTUP_ID-unset} ${XDG_ACTIVATION_TOKEN-unset}\"\n"
                // ls lists its own descriptors, which are what the server
                // passes on: the shell's own list would also show the pipe to
                // wc for as long as the shell had not yet closed its ends.
                "ls /proc/self/fd | wc -l\n");
    const auto launch = launchServer(globals);
    ASSERT_TRUE(launch.process) << launch.error;
    EXPECT_EQ(waitExit(launch.process->pid), 0);
    EXPECT_EQ(log(),
        "args:" + globals.project + "/start.py|--server|2\n"
        "cwd:" + globals.project + "\n"
        "path:/opt/none:/usr/bin:/bin\n"
        "marker:kept '^! $PATH\n"
        "own:unset\n"
        "tokens:unset unset\n"
        "4\n"); // stdin, stdout, stderr and the descriptor ls itself reads: nothing of ours
}

TEST_F(ServerLaunchTest, EachLaunchStartsAnEmptyLogOnlyThisUserCanRead)
{
    const std::string logPath = globals.support + "/server.log";
    test::writeFile(logPath, std::string(10000, 'x'));
    chmod(logPath.c_str(), 0664);
    struct stat before;
    ASSERT_EQ(stat(logPath.c_str(), &before), 0);
    writePython("echo fresh\n");
    for (int launchNumber = 0; launchNumber < 2; ++launchNumber) {
        const auto launch = launchServer(globals);
        ASSERT_TRUE(launch.process);
        waitExit(launch.process->pid);
        EXPECT_EQ(log(), "fresh\n");
        struct stat info;
        ASSERT_EQ(stat(logPath.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        if (launchNumber == 0) {
            EXPECT_EQ(info.st_ino, before.st_ino); // emptied in place: `tail -f` goes on reading
        }
        std::filesystem::remove(logPath); // the second launch makes it anew
    }
}

TEST_F(ServerLaunchTest, WhateverIsAtTheLogsPathNothingElseIsEmptiedOrWritten)
{
    // Each case puts something at server.log; the launch must neither hang
    // nor write through it, and the server's output lands in a new log.
    const std::string logPath = globals.support + "/server.log";
    const auto outside = sandbox / "outside.txt";
    const std::string kept = "the user's own file\n";
    struct Case {
        const char* what;
        std::function<void()> place;
        bool logged; // a new log holds the output (else the app's own output does)
    };
    const std::vector<Case> cases {
        { "a symbolic link to a file", [&] { std::filesystem::create_symlink(outside, logPath); }, true },
        { "a symbolic link to nothing", [&] {
             std::filesystem::remove(outside);
             std::filesystem::create_symlink(outside, logPath);
         },
            true },
        { "a hard link", [&] { std::filesystem::create_hard_link(outside, logPath); }, true },
        { "a FIFO nobody reads", [&] { ASSERT_EQ(mkfifo(logPath.c_str(), 0600), 0); }, true },
        { "a directory", [&] { test::writeFile(logPath + "/inside", kept); }, false },
    };
    writePython("echo fresh\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(logPath);
        test::writeFile(outside, kept);
        c.place();
        const bool outsideExists = std::filesystem::exists(outside);
        const auto launch = launchServer(globals);
        ASSERT_TRUE(launch.process) << launch.error;
        EXPECT_EQ(waitExit(launch.process->pid), 0); // the server ran
        EXPECT_EQ(std::filesystem::exists(outside), outsideExists);
        if (outsideExists) {
            EXPECT_EQ(test::readFile(outside), kept);
        }
        struct stat info;
        ASSERT_EQ(lstat(logPath.c_str(), &info), 0);
        if (c.logged) {
            ASSERT_TRUE(S_ISREG(info.st_mode)); // a FIFO would hold the read below
            EXPECT_EQ(info.st_nlink, 1u);
            EXPECT_EQ(info.st_mode & 07777, 0600u);
            EXPECT_EQ(log(), "fresh\n");
        } else {
            EXPECT_EQ(test::readFile(logPath + "/inside"), kept);
        }
        // Nothing is left of the new log's making.
        for (const auto& entry : std::filesystem::directory_iterator(globals.support))
            EXPECT_FALSE(entry.path().filename().string().starts_with("server.log.")) << entry.path();
    }
}

TEST_F(ServerLaunchTest, MissingInterpreterIsReportedWithItsPath)
{
    const auto launch = launchServer(globals);
    EXPECT_FALSE(launch.process);
    EXPECT_NE(launch.error.find("No such file or directory"), std::string::npos) << launch.error;
    const std::string text = serverLaunchFailureText(launch.error, globals.python);
    EXPECT_TRUE(text.ends_with("\n\nPython expected at:\n" + globals.python)) << text;
    EXPECT_TRUE(text.starts_with(launch.error));
}

TEST_F(ServerLaunchTest, NonExecutableInterpreterIsReported)
{
    test::writeFile(globals.python, "#!/bin/sh\n");
    chmod(globals.python.c_str(), 0644);
    const auto launch = launchServer(globals);
    EXPECT_FALSE(launch.process);
    EXPECT_NE(launch.error.find("Permission denied"), std::string::npos) << launch.error;
}

TEST_F(ServerLaunchTest, TerminateSendsOneSignalAndDoesNotWait)
{
    // The child reports the signal and exits; ignoring SIGTERM in the app
    // must not leak into the child.
    writePython("trap 'echo got TERM; exit 0' TERM\necho ready\nwhile :; do sleep 0.05; done\n");
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGTERM, &ignore, &previous);
    const auto launch = launchServer(globals);
    sigaction(SIGTERM, &previous, nullptr);
    ASSERT_TRUE(launch.process);
    ASSERT_TRUE(test::waitFor([&] { return log().find("ready") != std::string::npos; }));
    // The keeper between app and server holds nothing of the app's but its
    // line: a reader of the app's output would wait for it otherwise. (Those
    // above our limit are valgrind's own, where it runs us.)
    rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    int held = 0;
    for (const auto& fd : std::filesystem::directory_iterator(
             std::filesystem::path("/proc") / std::to_string(launch.process->pid) / "fd"))
        held += std::stoul(fd.path().filename().string()) < limit.rlim_cur;
    EXPECT_EQ(held, 1);
    // A program of its own, not a copy of the app: it holds nothing of the
    // app's heap, and tools that judge a process by it judge it alone.
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(launch.process->pid) + "/exe"),
        keeperProgram());
    launch.process->terminate();
    const int status = waitExit(launch.process->pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(log(), "ready\ngot TERM\n");
}

// The state letter of a process in /proc ('Z' for a zombie), or 0 when
// there is no process by that id.
char processState(pid_t pid)
{
    std::string stat;
    try {
        stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    } catch (...) {
        return 0;
    }
    const auto state = stat.rfind(") ");
    return state == std::string::npos || state + 2 >= stat.size() ? 0 : stat[state + 2];
}

TEST_F(ServerLaunchTest, AKeeperIsReapedAsSoonAsItEndsAndItsIdIsThenNoLongerGiven)
{
    // Each server waits at a gate, then ends by itself; or someone else
    // reaps its keeper first.
    const std::string gate = (sandbox / "gate").string();
    writePython("echo ready\nread _ < '" + gate + "'\nexit 3\n");
    enum class Way { endsByItself, reapedElsewhere };
    for (const Way way : { Way::endsByItself, Way::reapedElsewhere }) {
        SCOPED_TRACE(static_cast<int>(way));
        ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
        const auto launch = launchServer(globals);
        ASSERT_TRUE(launch.process) << launch.error;
        const ServerProcess& server = *launch.process;
        server.reapWhenEnded();
        server.reapWhenEnded(); // the second call adds no watch of its own
        // The main loop runs while the server starts: a living keeper is
        // left alone, and its id is given out.
        ASSERT_TRUE(test::waitFor([&] { return log() == "ready\n"; })) << log();
        EXPECT_NE(processState(server.pid), 'Z');
        EXPECT_NE(processState(server.pid), 0);
        EXPECT_EQ(server.livingPid(), server.pid);

        ::close(::open(gate.c_str(), O_WRONLY | O_CLOEXEC)); // meets the server's read
        if (way == Way::reapedElsewhere) {
            EXPECT_EQ(WEXITSTATUS(waitExit(server.pid)), 3);
        }
        EXPECT_TRUE(test::waitFor([&] { return server.livingPid() == 0; }));
        // No zombie is left: this process has no child by that id any more.
        EXPECT_EQ(waitpid(server.pid, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        std::filesystem::remove(gate);
    }
}

// A server that takes its terminate signals one at a time from the queue
// (a handler still running would merge those that come meanwhile), writes
// down each one with its sender, and ends half a second after the first.
constexpr const char* recordsSignals = R"(import os, signal, time
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
print('ready', os.getpid(), flush=True)
info = signal.sigwaitinfo({signal.SIGTERM})
deadline = time.monotonic() + 0.5
while info:
    print('TERM from', info.si_pid, flush=True)
    info = signal.sigtimedwait({signal.SIGTERM}, max(0, deadline - time.monotonic()))
print('end', flush=True)
)";

// True once `pid` has ended (a zombie nobody reaps has ended too).
bool hasEnded(pid_t pid)
{
    const char state = processState(pid);
    return state == 0 || state == 'Z';
}

TEST_F(ServerLaunchTest, TheServerGetsOneTerminateSignalHoweverAnAppOfManyThreadsEnds)
{
    // A copy of this process plays the app, with threads as the real one
    // has; each of those ending used to hand the server a signal of its own.
    // It starts the server from its main thread or from one that has ended
    // by the time the app ends; then the app or the keeper between app and
    // server ends in one of the ways an app can.
    test::writeFile(globals.project + "/start.py", recordsSignals);
    std::filesystem::create_directories(std::filesystem::path(globals.python).parent_path());
    std::filesystem::create_symlink("/usr/bin/python3", globals.python);
    enum class Way { appQuits, appKilled, keeperTerminated, keeperGroupTerminated, keeperKilled };
    struct Case {
        const char* what;
        bool fromWorker;
        Way way;
    };
    const Case cases[] = {
        { "the app quits", false, Way::appQuits },
        { "the app quits; a thread that ended started the server", true, Way::appQuits },
        { "the app is killed", false, Way::appKilled },
        { "the keeper is told to stop", false, Way::keeperTerminated },
        { "the keeper's whole process group is told to stop", false, Way::keeperGroupTerminated },
        { "the keeper is killed", true, Way::keeperKilled },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int report[2], orders[2];
        ASSERT_EQ(pipe(report), 0);
        ASSERT_EQ(pipe(orders), 0);
        const pid_t app = fork();
        ASSERT_GE(app, 0);
        if (app == 0) {
            close(report[0]);
            close(orders[1]);
            for (int thread = 0; thread < 8; ++thread)
                std::thread([] {
                    for (;;)
                        pause();
                }).detach();
            ServerLaunch launch;
            if (c.fromWorker)
                std::thread([&] { launch = launchServer(globals); }).join();
            else
                launch = launchServer(globals);
            const pid_t keeper = launch.process ? launch.process->pid : -1;
            (void)!write(report[1], &keeper, sizeof keeper);
            char order = 0;
            (void)!read(orders[0], &order, 1);
            if (launch.process)
                launch.process->terminate();
            _exit(0);
        }
        close(report[1]);
        close(orders[0]);
        pid_t keeper = -1;
        ASSERT_EQ(read(report[0], &keeper, sizeof keeper), static_cast<ssize_t>(sizeof keeper));
        close(report[0]);
        ASSERT_GT(keeper, 0);
        ASSERT_TRUE(test::waitFor([&] { return log().starts_with("ready "); })) << log();
        const std::string ready = log();
        const pid_t server = std::stoi(ready.substr(6));
        // A group of its own: a stop of the keeper's group reaches the
        // server only through the keeper.
        EXPECT_EQ(getpgid(server), server);

        switch (c.way) {
        case Way::appQuits:
            (void)!write(orders[1], "q", 1);
            break;
        case Way::appKilled:
            kill(app, SIGKILL);
            break;
        case Way::keeperTerminated:
            kill(keeper, SIGTERM);
            break;
        case Way::keeperGroupTerminated:
            kill(-keeper, SIGTERM);
            break;
        case Way::keeperKilled:
            kill(keeper, SIGKILL);
            break;
        }
        if (c.way == Way::keeperKilled) {
            // SIGKILL to what stands for the server ends the server too.
            EXPECT_TRUE(test::waitFor([&] { return hasEnded(server); }, std::chrono::seconds(2)));
            EXPECT_EQ(log(), ready);
        } else {
            // Within two seconds, as a person who closed the app would expect.
            EXPECT_TRUE(test::waitFor([&] { return log().ends_with("end\n"); }, std::chrono::seconds(2))) << log();
            EXPECT_EQ(log(), ready + "TERM from " + std::to_string(keeper) + "\nend\n");
        }
        kill(app, SIGKILL);
        waitExit(app);
        close(orders[1]);
    }
}

TEST(PortOwner, ListenersThatTakeLoopbackConnectionsAndTheirUsers)
{
    // Lines as the kernel writes them, on this (little-endian) machine:
    // 127.0.0.1, any address, 127.0.0.2, another port, not listening.
    const std::string tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:223E 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 101 1\n"
        "   1: 00000000:223E 00000000:0000 0A 00000000:00000000 00:00000000 00000000    33        0 102 1\n"
        "   2: 0200007F:223E 00000000:0000 0A 00000000:00000000 00:00000000 00000000    34        0 103 1\n"
        "   3: 0100007F:223F 00000000:0000 0A 00000000:00000000 00:00000000 00000000    35        0 104 1\n"
        "   4: 0100007F:223E 0100007F:9C40 01 00000000:00000000 00:00000000 00000000    36        0 105 1\n"
        "   5: garbage\n";
    EXPECT_EQ(loopbackListenerUids(tcp, 8766), (std::vector<uid_t> { 1000, 33 }));
    EXPECT_EQ(loopbackListenerUids(tcp, 8767), std::vector<uid_t> { 35 });
    // IPv6: any address and 127.0.0.1 mapped take IPv4 connections; ::1 does not.
    const std::string tcp6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
        "tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000000000000:223E 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000  1001        0 201 1\n"
        "   1: 0000000000000000FFFF00000100007F:223E 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000  1002        0 202 1\n"
        "   2: 00000000000000000000000001000000:223E 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000  1003        0 203 1\n";
    EXPECT_EQ(loopbackListenerUids(tcp6, 8766), (std::vector<uid_t> { 1001, 1002 }));
}

TEST(PortOwner, ThisUsersOwnListenerIsNotAnotherUsers)
{
    test::LoopbackHttpServer server;
    const auto table = std::filesystem::path("/proc/net/tcp");
    const auto uids = loopbackListenerUids(test::readFile(table), server.port());
    EXPECT_EQ(uids, std::vector<uid_t> { getuid() });
    EXPECT_FALSE(portHeldByOtherUser(server.port()));
    EXPECT_FALSE(portHeldByOtherUser(test::refusedLoopbackPort()));
}

TEST(PortOwner, TablesThatCannotBeReadLeaveThePortToNobody)
{
    // A table with nothing in it, and with a listener on 127.0.0.1 for the
    // port, as the kernel writes them.
    const std::string empty
        = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    const auto table = [&](uid_t uid) {
        return empty + "   0: 0100007F:223E 00000000:0000 0A 00000000:00000000 00:00000000 00000000 "
            + std::to_string(uid) + "        0 101 1\n";
    };
    const std::string self = table(getuid());
    const std::string other = table(getuid() + 1);
    enum class Kind { missing, folder, text };
    struct File {
        Kind kind;
        std::string text = {};
    };
    struct Case {
        const char* name;
        File tcp;
        File tcp6;
        bool held;
    };
    const Case cases[] = {
        { "another user's listener on IPv4", { Kind::text, other }, { Kind::text, empty }, true },
        { "no IPv6 in the kernel", { Kind::text, self }, { Kind::missing }, false },
        { "no tables at all", { Kind::missing }, { Kind::missing }, true },
        { "no IPv4 table", { Kind::missing }, { Kind::text, empty }, true },
        { "IPv4 table unreadable", { Kind::folder }, { Kind::text, empty }, true },
        { "IPv6 table unreadable", { Kind::text, self }, { Kind::folder }, true },
    };
    for (const auto& c : cases) {
        test::Sandbox tables;
        for (const auto& [name, file] : { std::pair("tcp", c.tcp), std::pair("tcp6", c.tcp6) }) {
            if (file.kind == Kind::folder)
                std::filesystem::create_directory(tables / name);
            else if (file.kind == Kind::text)
                test::writeFile(tables / name, file.text);
        }
        EXPECT_EQ(portHeldByOtherUser(8766, tables.path()), c.held) << c.name;
    }
}

TEST(PortOwner, AnotherAccountsListenerIsSeenWhicheverFamilyTakesTheConnections)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a listener of another account takes root to make";
    // The last two are IPv6 sockets and show only in the IPv6 table.
    for (const char* address : { "127.0.0.1", "::ffff:127.0.0.1", "::" }) {
        test::ForeignListener foreign(address);
        ASSERT_NE(foreign.port(), 0) << address;
        EXPECT_TRUE(portHeldByOtherUser(foreign.port())) << address;
    }
}

} // namespace
} // namespace sv
