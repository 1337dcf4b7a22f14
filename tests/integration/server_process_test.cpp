// The server as a real child process: what it receives, where its output
// goes, and the one signal on quit.

#include "server/server_process.h"
#include "support/sandbox.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

namespace sv {
namespace {

class ServerLaunchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(globals.project);
        setenv("SANDVOLL_TEST_MARKER", "kept '^! $PATH", 1);
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
                "ls /proc/$$/fd | wc -l\n");
    const auto launch = launchServer(globals);
    ASSERT_TRUE(launch.process) << launch.error;
    EXPECT_EQ(waitExit(launch.process->pid), 0);
    EXPECT_EQ(log(),
        "args:" + globals.project + "/start.py|--server|2\n"
        "cwd:" + globals.project + "\n"
        "path:/opt/none:/usr/bin:/bin\n"
        "marker:kept '^! $PATH\n"
        "4\n"); // stdin, stdout, stderr and the descriptor ls itself reads: nothing of ours
}

TEST_F(ServerLaunchTest, EachLaunchStartsAnEmptyLog)
{
    test::writeFile(globals.support + "/server.log", std::string(10000, 'x'));
    writePython("echo fresh\n");
    const auto launch = launchServer(globals);
    ASSERT_TRUE(launch.process);
    waitExit(launch.process->pid);
    EXPECT_EQ(log(), "fresh\n");
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

} // namespace
} // namespace sv
