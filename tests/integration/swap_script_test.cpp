// The swap script run for real by /bin/sh against a tree with hostile names:
// it waits for the app's process, replaces exactly the bundle, starts the new
// app detached from the same path and removes the work directory.

#include "platform/crypto.h"
#include "support/local_runner.h"
#include "support/sandbox.h"
#include "support/shell_quote.h"
#include "support/wait.h"
#include "update/swap_script.h"
#include "update/update_error.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sv {
namespace {

namespace fs = std::filesystem;
using test::shellQuote;

const std::vector<std::string> hostileTexts = { "it's", "a b  c", "$HOME", "`echo x`", "$(echo y)", "line\nbreak",
    "'", "''\\''", "\\", "\"q\"", "*", "-rf", "tab\there", "; true", "semi;colon&amp|pipe" };

TEST(SwapScriptShell, QuotedTextReachesTheShellUnchanged)
{
    for (const auto& text : hostileTexts) {
        const auto result = test::runLocally("/bin/sh", { "-c", "printf %s " + shellQuote(text) });
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, text);
    }
}

// A process standing in for the running app: it ends when told to, and
// records what the old bundle's executable held at that last moment.
class StandIn {
public:
    StandIn(const fs::path& watched, const fs::path& record)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        const std::string shell = "/bin/sh";
        std::vector<std::string> args { shell, "-c", "read line; cat \"$1\" > \"$2\"", "sh", watched.string(),
            record.string() };
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int error = posix_spawn(&pid_, shell.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        release_ = fds[1];
        if (error)
            throw std::runtime_error("cannot start the stand-in");
    }
    ~StandIn()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            end();
        }
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // Lets it finish and reaps it: a zombie would still answer kill -0.
    void end()
    {
        if (release_ >= 0) {
            (void)!write(release_, "\n", 1);
            close(release_);
            release_ = -1;
        }
        while (pid_ > 0 && waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) { }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

void writeDummyApp(const fs::path& bundle, const std::string& body)
{
    const auto executable = bundle / "Contents/Linux/Sandvoll";
    test::writeFile(executable, "#!/bin/sh\n" + body);
    fs::permissions(executable, fs::perms::owner_all);
    test::writeFile(bundle / "Contents/Info.plist", "<plist/>");
}

// The old version as the script starts it again: it records why.
std::string recordsRestart(const fs::path& record)
{
    return "printf %s \"$SANDVOLL_UPDATE_NOT_INSTALLED\" > " + shellQuote(record.string() + ".tmp") + " && mv "
        + shellQuote(record.string() + ".tmp") + " " + shellQuote(record.string()) + "\n";
}

TEST(SwapScriptShell, ReplacesTheBundleAfterTheAppEndsAndStartsTheNewOne)
{
    test::Sandbox sandbox;
    const auto apps = sandbox / "Apps it's $HOME `echo x` \"q\"\nline two";
    const auto bundle = apps / "Sandvoll.app";
    const auto work = sandbox / "tmp dir" / ("Sandvoll-Update-" + platform::randomUUIDString());
    const auto ran = sandbox / "new-app-ran";

    writeDummyApp(bundle, recordsRestart(sandbox / "old-restarted"));
    test::writeFile(bundle / "Contents/Resources/old-only", "gone after the swap");
    test::writeFile(apps / "Sandvoll.app.bak/keep", "a neighbour");
    test::writeFile(apps / "keep.txt", "a neighbour");
    test::writeFile(work / "update.zip", "PK");
    test::writeFile(work / "stray.txt", "left by the archive");

    StandIn app(bundle / "Contents/Linux/Sandvoll", sandbox / "app-saw");
    const auto plan = planSwap(app.pid(), 0, bundle, work);
    // The new app records the path it was started as, its pid and session,
    // and whether the old bundle was still set aside.
    writeDummyApp(plan.staged,
        "read -r _ _ _ _ _ sid _ < /proc/$$/stat\n"
        "[ -d " + shellQuote(plan.aside.string()) + " ] && aside=yes\n"
        "printf '%s\\n%s %s %s\\n' \"$0\" \"$$\" \"$sid\" \"$aside\" > '"
            + ran.string() + ".tmp' && mv '" + ran.string() + ".tmp' '" + ran.string() + "'\n");
    startSwapScript(swapScriptArguments(plan));
    app.end();
    // While the app ran, the old bundle stayed as it was.
    EXPECT_EQ(test::readFile(sandbox / "app-saw"), "#!/bin/sh\n" + recordsRestart(sandbox / "old-restarted"));

    ASSERT_TRUE(test::waitFor([&] { return fs::exists(ran) && !fs::exists(work); }, std::chrono::seconds(20)));
    const auto executable = bundle / "Contents/Linux/Sandvoll";
    std::istringstream record(test::readFile(ran));
    std::string started, firstLine, secondLine;
    std::getline(record, firstLine);
    std::getline(record, secondLine);
    started = firstLine + "\n" + secondLine; // the path holds one line feed
    EXPECT_EQ(started, executable.string());
    std::string pid, session, aside;
    record >> pid >> session >> aside;
    EXPECT_EQ(pid, session) << "the new app leads a session of its own";
    EXPECT_EQ(aside, "yes") << "the old bundle waits aside until the new version has started";

    EXPECT_TRUE(test::readFile(executable).find("/proc/$$/stat") != std::string::npos);
    EXPECT_FALSE(fs::exists(bundle / "Contents/Resources/old-only"));
    EXPECT_FALSE(fs::exists(plan.staged));
    EXPECT_FALSE(fs::exists(plan.aside));
    EXPECT_FALSE(fs::exists(work));
    EXPECT_FALSE(fs::exists(sandbox / "old-restarted"));
    EXPECT_TRUE(fs::exists(sandbox / "tmp dir"));
    EXPECT_EQ(test::readFile(apps / "keep.txt"), "a neighbour");
    EXPECT_EQ(test::readFile(apps / "Sandvoll.app.bak/keep"), "a neighbour");
    EXPECT_EQ(std::distance(fs::directory_iterator(apps), fs::directory_iterator()), 3);
}

TEST(SwapScriptShell, ARenameThatFailsLeavesTheOldBundleWholeAndStartsItAgain)
{
    test::Sandbox sandbox;
    const auto bundle = sandbox / "Apps/Sandvoll.app";
    const auto work = sandbox / ("Sandvoll-Update-" + platform::randomUUIDString());
    writeDummyApp(bundle, recordsRestart(sandbox / "old-restarted"));
    test::writeFile(work / "update.zip", "PK");
    StandIn app(bundle / "Contents/Linux/Sandvoll", sandbox / "app-saw");
    const auto plan = planSwap(app.pid(), 0, bundle, work);
    writeDummyApp(plan.staged, "touch " + shellQuote((sandbox / "new-app-ran").string()) + "\n");
    // Something holds the name the old bundle was to move to: the rename
    // fails, where a plain mv would have moved the bundle into it.
    test::writeFile(plan.aside / "taken", "");

    startSwapScript(swapScriptArguments(plan));
    app.end();
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(sandbox / "old-restarted") && !fs::exists(work); },
        std::chrono::seconds(20)));
    EXPECT_EQ(test::readFile(sandbox / "old-restarted"), "swap");
    EXPECT_EQ(test::readFile(bundle / "Contents/Linux/Sandvoll"), "#!/bin/sh\n" + recordsRestart(sandbox / "old-restarted"));
    EXPECT_FALSE(fs::exists(plan.staged));
    EXPECT_FALSE(fs::exists(plan.aside / "Sandvoll.app"));
    EXPECT_FALSE(fs::exists(sandbox / "new-app-ran"));
}

TEST(SwapScriptShell, StartsWithNoneOfTheAppsOpenFiles)
{
    test::Sandbox sandbox;
    const auto listing = sandbox / "fds";
    // Opened without close-on-exec, as a careless library might, at a number
    // the shell does not use for itself.
    const int opened = ::open(sandbox.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(opened, 0);
    const int leaked = ::dup2(opened, 57);
    ::close(opened);
    ASSERT_EQ(leaked, 57);
    startSwapScript({ "-c",
        "ls /proc/$$/fd > " + shellQuote(listing.string() + ".tmp") + " && mv " + shellQuote(listing.string() + ".tmp")
            + " " + shellQuote(listing.string()) });
    ::close(leaked);
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(listing); }));
    const auto fds = "\n" + test::readFile(listing);
    EXPECT_NE(fds.find("\n0\n1\n"), std::string::npos) << fds; // its standard streams are the app's
    EXPECT_EQ(fds.find("\n57\n"), std::string::npos) << fds;
}

TEST(SwapScriptShell, AShellThatCannotStartIsADownloadFailure)
{
    try {
        startSwapScript({ "-c", "true" }, "/nonexistent/sh");
        FAIL() << "the script was reported as started";
    } catch (...) {
        EXPECT_EQ(informativeText(std::current_exception()),
            "The update couldn't be downloaded. Please try again later.");
    }
}

} // namespace
} // namespace sv
