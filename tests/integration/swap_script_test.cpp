// The swap script run for real by /bin/sh against a tree with hostile names:
// it waits for the app's process, replaces exactly the bundle, starts the new
// app detached from the same path and removes the work directory.

#include "platform/crypto.h"
#include "platform/temporary_directory.h"
#include "support/local_runner.h"
#include "support/sandbox.h"
#include "support/shell_quote.h"
#include "support/wait.h"
#include "update/launch_gate.h"
#include "update/swap_script.h"
#include "update/update_error.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
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

// An old version at Apps/Sandvoll.app of a fresh sandbox that records why it
// is started again, a stand-in for its running process, a work directory
// with a package, and the plan to swap the bundle.
struct PlannedSwap {
    test::Sandbox sandbox;
    fs::path bundle = sandbox / "Apps/Sandvoll.app";
    fs::path work = sandbox / ("Sandvoll-Update-" + platform::randomUUIDString());
    fs::path restarted = sandbox / "old-restarted";
    StandIn app { bundle / "Contents/Linux/Sandvoll", sandbox / "app-saw" };
    SwapPlan plan = planSwap(app.pid(), 0, bundle, work);

    PlannedSwap()
    {
        writeDummyApp(bundle, recordsRestart(restarted));
        test::writeFile(work / "update.zip", "PK");
        plan.runningLock = sandbox / "running.lock";
    }
};

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
    auto plan = planSwap(app.pid(), 0, bundle, work);
    plan.runningLock = sandbox / "running lock";
    // The new app records the path it was started as, its pid and session,
    // and whether the old bundle was still set aside; then it shows its window.
    writeDummyApp(plan.staged,
        "read -r _ _ _ _ _ sid _ < /proc/$$/stat\n"
        "[ -d " + shellQuote(plan.aside.string()) + " ] && aside=yes\n"
        "printf '%s\\n%s %s %s\\n' \"$0\" \"$$\" \"$sid\" \"$aside\" > '"
            + ran.string() + ".tmp' && mv '" + ran.string() + ".tmp' '" + ran.string() + "'\n"
        ": > \"$SANDVOLL_UPDATE_STARTED_FILE\"\n");
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
    struct Case {
        const char* name;
        std::function<void(const SwapPlan&, const fs::path& newApp)> prepare;
    };
    const std::vector<Case> cases {
        // Something holds the name the old bundle was to move to: the first
        // rename fails, where a plain mv would have moved the bundle into it.
        { "the name aside is taken",
            [](const SwapPlan& plan, const fs::path& newApp) {
                writeDummyApp(plan.staged, "touch " + shellQuote(newApp.string()) + "\n");
                test::writeFile(plan.aside / "taken", "");
            } },
        // The old bundle is aside when the new one turns out to be gone (a
        // cleaner of the folder, say): the second rename fails, and the
        // first is undone.
        { "the staged bundle is gone", [](const SwapPlan&, const fs::path&) {} },
    };
    for (const auto& [name, prepare] : cases) {
        SCOPED_TRACE(name);
        PlannedSwap swap;
        auto& [sandbox, bundle, work, restarted, app, plan] = swap;
        prepare(plan, sandbox / "new-app-ran");

        startSwapScript(swapScriptArguments(plan));
        app.end();
        ASSERT_TRUE(test::waitFor([&] { return fs::exists(sandbox / "old-restarted") && !fs::exists(work); },
            std::chrono::seconds(20)));
        EXPECT_EQ(test::readFile(sandbox / "old-restarted"), "swap");
        EXPECT_EQ(test::readFile(bundle / "Contents/Linux/Sandvoll"),
            "#!/bin/sh\n" + recordsRestart(sandbox / "old-restarted"));
        EXPECT_FALSE(fs::exists(plan.staged));
        EXPECT_FALSE(fs::exists(plan.aside / "Sandvoll.app"));
        EXPECT_FALSE(fs::exists(plan.aside / "Contents"));
        EXPECT_FALSE(fs::exists(sandbox / "new-app-ran"));
    }
}

TEST(SwapScriptShell, ANewVersionWithoutAWindowAfterThirtySecondsIsStoppedAndRolledBack)
{
    PlannedSwap swap;
    auto& [sandbox, bundle, work, restarted, app, plan] = swap;
    // It hangs before its window shows, and does not hear the terminate signal.
    const auto pidFile = sandbox / "new-app-pid";
    writeDummyApp(plan.staged,
        "trap '' TERM\necho $$ > " + shellQuote(pidFile.string() + ".tmp") + " && mv "
            + shellQuote(pidFile.string() + ".tmp") + " " + shellQuote(pidFile.string()) + "\nexec sleep 600\n");

    const auto started = std::chrono::steady_clock::now();
    startSwapScript(swapScriptArguments(plan));
    app.end();
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(sandbox / "old-restarted") && !fs::exists(work); },
        std::chrono::seconds(90)));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(test::readFile(sandbox / "old-restarted"), "start");
    EXPECT_EQ(test::readFile(bundle / "Contents/Linux/Sandvoll"), "#!/bin/sh\n" + recordsRestart(sandbox / "old-restarted"));
    EXPECT_FALSE(fs::exists(plan.staged));
    EXPECT_FALSE(fs::exists(plan.aside));
    const pid_t hung = std::stoi(test::readFile(pidFile));
    EXPECT_TRUE(::kill(hung, 0) != 0 && errno == ESRCH) << "the new version was stopped";
}

// Whether a process waits for a lock on the file: the kernel lists waiting
// requests after "->", with the file's device and inode.
bool someoneWaitsFor(const fs::path& file)
{
    struct stat status { };
    if (::stat(file.c_str(), &status) != 0)
        return false;
    char id[64];
    std::snprintf(id, sizeof id, " %02x:%02x:%lu ", major(status.st_dev), minor(status.st_dev),
        static_cast<unsigned long>(status.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(id) != std::string::npos)
            return true;
    }
    return false;
}

TEST(SwapScriptShell, LaunchesNeverRunFromABundleThatIsSwapped)
{
    PlannedSwap swap;
    auto& [sandbox, bundle, work, restarted, app, plan] = swap;
    const auto locks = instanceLocks(sandbox.path(), "org.sandvoll.Sandvoll");
    plan.runningLock = locks.running;
    // The new version holds the swap lock on descriptor 3, and shows its
    // window when the test lets it.
    const auto ran = sandbox / "new-app-ran";
    const auto shown = sandbox / "shown";
    writeDummyApp(plan.staged,
        "[ \"$SANDVOLL_UPDATE_SWAP_LOCK_FD\" = 3 ] && [ /proc/$$/fd/3 -ef " + shellQuote(locks.swap.string())
            + " ] && touch " + shellQuote(ran.string()) + "\n"
            "while [ ! -e " + shellQuote((sandbox / "go").string()) + " ]; do sleep 0.05; done\n"
            "touch " + shellQuote(shown.string()) + " && : > \"$SANDVOLL_UPDATE_STARTED_FILE\"\n");

    // A launch that got in before the app took the swap lock: the bundle is
    // not touched while it runs.
    auto earlier = enterAsInstance(locks, false, bundle);
    ASSERT_TRUE(earlier.running);
    EXPECT_FALSE(earlier.startBundle);
    UniqueFd swapLock = takeSwapLock(locks.swap, bundle);
    startSwapScript(swapScriptArguments(plan), "/bin/sh", swapLock.get());
    swapLock.reset();
    app.end();
    ASSERT_TRUE(test::waitFor([&] { return someoneWaitsFor(locks.running); }, std::chrono::seconds(20)));
    EXPECT_FALSE(fs::exists(plan.aside));
    EXPECT_TRUE(fs::exists(plan.staged));
    earlier.running.reset();
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(ran); }, std::chrono::seconds(20)));

    // A launch while the new version starts waits until it has shown its
    // window, and then starts what is at the bundle's path.
    std::atomic<bool> admitted = false;
    bool shownWhenAdmitted = false;
    Admission during;
    std::thread launch([&] {
        during = enterAsInstance(locks, false, bundle);
        shownWhenAdmitted = fs::exists(shown);
        admitted = true;
    });
    EXPECT_TRUE(test::waitFor([&] { return someoneWaitsFor(locks.swap); }));
    test::writeFile(sandbox / "go", "");
    EXPECT_TRUE(test::waitFor([&] { return admitted.load(); }, std::chrono::seconds(20)));
    launch.join();
    EXPECT_TRUE(shownWhenAdmitted) << "let in before the new version had shown its window";
    EXPECT_EQ(during.startBundle, bundle);
    EXPECT_FALSE(during.running) << "it runs as the version it starts";
    ASSERT_TRUE(test::waitFor([&] { return !fs::exists(work); }, std::chrono::seconds(20)));
    EXPECT_TRUE(test::readFile(bundle / "Contents/Linux/Sandvoll").find("SANDVOLL_UPDATE_STARTED_FILE") != std::string::npos);
    EXPECT_FALSE(fs::exists(plan.aside));

    // Once the swap is over, launches go straight in.
    const auto after = enterAsInstance(locks, false, bundle);
    EXPECT_TRUE(after.running);
    EXPECT_FALSE(after.startBundle);
}

// A launch that waits at the door while the swap lock is held, once the
// holder lets go; `letGo` ends the holder's lock.
Admission launchDuringSwap(const InstanceLocks& locks, const fs::path& ownBundle, const std::function<void()>& letGo)
{
    std::atomic<bool> admitted = false;
    Admission admission;
    std::thread launch([&] {
        admission = enterAsInstance(locks, false, ownBundle);
        admitted = true;
    });
    EXPECT_TRUE(test::waitFor([&] { return admitted.load() || someoneWaitsFor(locks.swap); }));
    letGo();
    EXPECT_TRUE(test::waitFor([&] { return admitted.load(); }));
    launch.join();
    return admission;
}

TEST(InstanceLocks, ALaunchStartsNoBundleButItsOwnAndTrustsOnlyItsAccountsLocks)
{
    test::Sandbox sandbox;
    const auto bundle = sandbox / "Applications/Sandvoll.app";
    const auto elsewhere = sandbox / "elsewhere/Sandvoll.app";

    // The swap lock of this account, naming a bundle that is not this
    // launch's: it waits as for any swap, then goes on as itself.
    const auto own = instanceLocks(sandbox.path(), "org.sandvoll.Sandvoll");
    UniqueFd swapLock = takeSwapLock(own.swap, elsewhere);
    const auto named = launchDuringSwap(own, bundle, [&] { swapLock.reset(); });
    EXPECT_FALSE(named.startBundle);
    EXPECT_TRUE(named.running);
    EXPECT_EQ(named.refused, std::vector<std::string> { own.swap.string() + " names " + elsewhere.string()
                                 + ", which is not this app's bundle; it is not started" });

    // A link in the place of a lock is neither followed nor written through.
    const auto linked = instanceLocks(sandbox / "linked", "org.sandvoll.Sandvoll");
    fs::create_directories(sandbox / "linked");
    test::writeFile(sandbox / "target", bundle.string());
    fs::create_symlink(sandbox / "target", linked.swap);
    const auto throughLink = enterAsInstance(linked, false, bundle);
    EXPECT_TRUE(throughLink.running);
    EXPECT_EQ(throughLink.refused, std::vector<std::string> { linked.swap.string() + " is a link" });
    EXPECT_THROW((void)takeSwapLock(linked.swap, elsewhere), std::system_error);
    EXPECT_EQ(test::readFile(sandbox / "target"), bundle.string());

    // Another account's lock files in a folder of that account's that every
    // account may write to, as a runtime directory set to such a folder
    // would give them. The swap lock names this launch's own bundle and is
    // held, as in a swap: only its owner gives it away.
    const auto shared = sandbox / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    EXPECT_FALSE(platform::isPrivateDirectory(shared));
    if (::geteuid() != 0)
        GTEST_SKIP() << "a file of another account takes root to make";
    const auto foreign = instanceLocks(shared, "org.sandvoll.Sandvoll");
    const uid_t nobody = 65534;
    ASSERT_EQ(::chown(shared.c_str(), nobody, nobody), 0);
    for (const auto& lock : { foreign.swap, foreign.running }) {
        test::writeFile(lock, bundle.string());
        ASSERT_EQ(::chown(lock.c_str(), nobody, nobody), 0);
    }
    UniqueFd held(::open(foreign.swap.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    const auto believed = launchDuringSwap(foreign, bundle, [&] { held.reset(); });
    EXPECT_FALSE(believed.startBundle);
    EXPECT_FALSE(believed.running);
    EXPECT_TRUE(believed.first) << "its own lock is still used";
    EXPECT_EQ(believed.refused, (std::vector<std::string> { foreign.swap.string() + " is not a file of this account's",
                                   foreign.running.string() + " is not a file of this account's" }));
    try {
        (void)takeSwapLock(foreign.swap, elsewhere);
        ADD_FAILURE() << "took another account's swap lock";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find(foreign.swap.string() + " is not a file of this account's"),
            std::string::npos) << error.what();
    }
    EXPECT_EQ(test::readFile(foreign.swap), bundle.string());
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
