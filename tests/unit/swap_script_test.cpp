#include "platform/dispatch.h"
#include "support/recording_ui.h"
#include "support/sandbox.h"
#include "support/shell_quote.h"
#include "update/launch_gate.h"
#include "update/relaunch.h"
#include "update/swap_script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>

namespace sv {
namespace {

using test::shellQuote;

TEST(ShellQuote, OnlySingleQuotesAreRewritten)
{
    EXPECT_EQ(shellQuote("/Volumes/Work/it's here/Sandvoll.app"), "'/Volumes/Work/it'\\''s here/Sandvoll.app'");
    EXPECT_EQ(shellQuote(""), "''");
    EXPECT_EQ(shellQuote("''"), "''\\'''\\'''");
    EXPECT_EQ(shellQuote("$HOME `id` \"x\" \\n\n*"), "'$HOME `id` \"x\" \\n\n*'");
}

TEST(SwapPlan, NewAndOldBundleWaitBesideTheAppUnderNamesFromTheWorkDirectory)
{
    const std::string b = "/home/o'neil/My $HOME `reboot`\nApps/Sandvoll.app";
    const std::string w = "/tmp/Sandvoll-Update-1B4E28BA-2FA1-41D2-883F-0016D3CCA427";
    auto plan = planSwap(812, 815, b, w);
    plan.runningLock = "/run/user/1000/org.sandvoll.Sandvoll.running.lock";
    EXPECT_EQ(plan.staged, b + ".new-1B4E28BA");
    EXPECT_EQ(plan.aside, b + ".old-1B4E28BA");
    // Paths reach the script as arguments, never as part of its text.
    EXPECT_EQ(swapScriptArguments(plan), (std::vector<std::string> { "-c", std::string(swapScriptText()),
                                             "sandvoll-swap", "812", "815", b, b + ".new-1B4E28BA",
                                             b + ".old-1B4E28BA", w, plan.runningLock }));
}

// Whether another open file description could take the lock exclusively now.
bool lockIsFree(const std::filesystem::path& file)
{
    UniqueFd probe(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    return probe && ::flock(probe.get(), LOCK_EX | LOCK_NB) == 0;
}

TEST(InstanceLocks, OnlyAnInstanceThatCameInAloneHoldsTheFirstLock)
{
    test::Sandbox sandbox;
    const auto locks = instanceLocks(sandbox.path(), "org.sandvoll.Sandvoll");
    auto first = enterAsInstance(locks, false, sandbox / "Sandvoll.app");
    ASSERT_TRUE(first.first);
    EXPECT_EQ(::fcntl(first.first.get(), F_GETFD), FD_CLOEXEC); // nothing the app starts keeps it
    // Launches while it runs come in, but not alone, even once another has gone.
    auto second = enterAsInstance(locks, false, sandbox / "Sandvoll.app");
    EXPECT_TRUE(second.running);
    EXPECT_FALSE(second.first);
    second = {};
    EXPECT_FALSE(enterAsInstance(locks, false, sandbox / "Sandvoll.app").first);
    first = {};
    EXPECT_TRUE(enterAsInstance(locks, false, sandbox / "Sandvoll.app").first);
}

TEST(RelaunchNotice, TakenFromTheEnvironmentOnceAndShownOnce)
{
    test::Sandbox sandbox;
    test::RecordingUi ui;
    const auto started = sandbox / "started";
    const auto locks = instanceLocks(sandbox.path(), "org.sandvoll.Sandvoll");
    // The swap lock as the script hands it on: held, and inherited.
    UniqueFd swapLock = takeSwapLock(locks.swap, sandbox / "Sandvoll.app");
    ::fcntl(swapLock.get(), F_SETFD, 0);
    ::setenv(startedFileVariable, started.c_str(), 1);
    ::setenv(notInstalledVariable, "start", 1);
    ::setenv(swapLockVariable, std::to_string(swapLock.get()).c_str(), 1);
    takeRelaunchNotice();
    // Nothing the app starts may see them, nor the lock.
    EXPECT_EQ(std::getenv(startedFileVariable), nullptr);
    EXPECT_EQ(std::getenv(notInstalledVariable), nullptr);
    EXPECT_EQ(std::getenv(swapLockVariable), nullptr);
    EXPECT_EQ(::fcntl(swapLock.get(), F_GETFD), FD_CLOEXEC);

    // It does not wait for the lock it holds itself.
    ASSERT_TRUE(startedBySwap());
    const auto admission = enterAsInstance(locks, startedBySwap(), sandbox / "Sandvoll.app");
    EXPECT_TRUE(admission.running);
    EXPECT_FALSE(admission.startBundle);
    EXPECT_FALSE(lockIsFree(locks.swap));

    finishRelaunch();
    finishRelaunch();
    EXPECT_TRUE(std::filesystem::is_regular_file(started));
    EXPECT_TRUE(lockIsFree(locks.swap)) << "launches that waited may go on";
    EXPECT_FALSE(startedBySwap());
    (void)swapLock.release(); // closed by finishRelaunch
    EXPECT_TRUE(platform::iterateMainUntil([&] { return !ui.alerts.empty(); }, std::chrono::seconds(5)));
    platform::iterateMainUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(ui.alerts,
        (std::vector<test::RecordingUi::Alert> {
            { "Update not installed", "The new version couldn't start, so the old one was kept." } }));

    // A descriptor named without the script's other variables is not taken
    // for the lock, and not closed.
    UniqueFd stray(::open(sandbox.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ::setenv(swapLockVariable, std::to_string(stray.get()).c_str(), 1);
    takeRelaunchNotice();
    EXPECT_FALSE(startedBySwap());
    finishRelaunch();
    EXPECT_EQ(::fcntl(stray.get(), F_GETFD), FD_CLOEXEC);

    EXPECT_EQ(notInstalledText("swap"), "The update couldn't be downloaded. Please try again later.");
    for (const char* unknown : { "", "START", "start ", "rm -rf /" })
        EXPECT_EQ(notInstalledText(unknown), std::nullopt) << unknown;
}

} // namespace
} // namespace sv
