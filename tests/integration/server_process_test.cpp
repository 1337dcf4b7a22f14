// The server as a real child process: what it receives, where its output
// goes, and the one signal on quit.

#include "platform/environment.h"
#include "server/port_owner.h"
#include "server/server_process.h"
#include "support/foreign_listener.h"
#include "support/loopback_http_server.h"
#include "support/sandbox.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sv {
namespace {

class ServerLaunchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(globals.project);
        setenv("SANDVOLL_TEST_MARKER", "kept '^! $PATH", 1);
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
                "ls /proc/$$/fd | wc -l\n");
    const auto launch = launchServer(globals);
    ASSERT_TRUE(launch.process) << launch.error;
    EXPECT_EQ(waitExit(launch.process->pid), 0);
    EXPECT_EQ(log(),
        "args:" + globals.project + "/start.py|--server|2\n"
        "cwd:" + globals.project + "\n"
        "path:/opt/none:/usr/bin:/bin\n"
        "marker:kept '^! $PATH\n"
        "own:unset\n"
        "4\n"); // stdin, stdout, stderr and the descriptor ls itself reads: nothing of ours
}

TEST_F(ServerLaunchTest, EachLaunchStartsAnEmptyLogOnlyThisUserCanRead)
{
    const std::string logPath = globals.support + "/server.log";
    test::writeFile(logPath, std::string(10000, 'x'));
    chmod(logPath.c_str(), 0664);
    writePython("echo fresh\n");
    for (int launchNumber = 0; launchNumber < 2; ++launchNumber) {
        const auto launch = launchServer(globals);
        ASSERT_TRUE(launch.process);
        waitExit(launch.process->pid);
        EXPECT_EQ(log(), "fresh\n");
        struct stat info;
        ASSERT_EQ(stat(logPath.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        std::filesystem::remove(logPath); // the second launch makes it anew
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
    launch.process->terminate();
    const int status = waitExit(launch.process->pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(log(), "ready\ngot TERM\n");
}

TEST_F(ServerLaunchTest, TheServerEndsWithAnAppThatDiesWithoutQuitting)
{
    writePython("trap 'echo got TERM; exit 0' TERM\necho ready\nwhile :; do sleep 0.05; done\n");
    // A copy of this process plays the app: it starts the server, then is
    // killed, as by SIGKILL or a crash, with no chance to stop the server.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t app = fork();
    ASSERT_GE(app, 0);
    if (app == 0) {
        const auto launch = launchServer(globals);
        const pid_t server = launch.process ? launch.process->pid : -1;
        (void)!write(ends[1], &server, sizeof server);
        for (;;)
            pause();
    }
    close(ends[1]);
    pid_t server = -1;
    ASSERT_EQ(read(ends[0], &server, sizeof server), static_cast<ssize_t>(sizeof server));
    close(ends[0]);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(test::waitFor([&] { return log().find("ready") != std::string::npos; }));
    kill(app, SIGKILL);
    waitExit(app);
    EXPECT_TRUE(test::waitFor([&] { return log() == "ready\ngot TERM\n"; })) << log();
}

TEST_F(ServerLaunchTest, OnlyTheMainThreadStartsAServer)
{
    // A worker may end long before the app, and the server would end with it.
    writePython("echo started\n");
    ServerLaunch launch;
    std::thread([&] { launch = launchServer(globals); }).join();
    EXPECT_FALSE(launch.process);
    EXPECT_FALSE(launch.error.empty());
    EXPECT_FALSE(std::filesystem::exists(globals.support + "/server.log"));
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
