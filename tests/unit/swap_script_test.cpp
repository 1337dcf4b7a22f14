#include "platform/dispatch.h"
#include "support/recording_ui.h"
#include "support/sandbox.h"
#include "support/shell_quote.h"
#include "update/relaunch.h"
#include "update/swap_script.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
    const auto plan = planSwap(812, 815, b, w);
    EXPECT_EQ(plan.staged, b + ".new-1B4E28BA");
    EXPECT_EQ(plan.aside, b + ".old-1B4E28BA");
    // Paths reach the script as arguments, never as part of its text.
    EXPECT_EQ(swapScriptArguments(plan), (std::vector<std::string> { "-c", std::string(swapScriptText()),
                                             "sandvoll-swap", "812", "815", b, b + ".new-1B4E28BA",
                                             b + ".old-1B4E28BA", w }));
}

TEST(RelaunchNotice, TakenFromTheEnvironmentOnceAndShownOnce)
{
    test::Sandbox sandbox;
    test::RecordingUi ui;
    const auto started = sandbox / "started";
    ::setenv(startedFileVariable, started.c_str(), 1);
    ::setenv(notInstalledVariable, "start", 1);
    takeRelaunchNotice();
    // Nothing the app starts may see them.
    EXPECT_EQ(std::getenv(startedFileVariable), nullptr);
    EXPECT_EQ(std::getenv(notInstalledVariable), nullptr);

    finishRelaunch();
    finishRelaunch();
    EXPECT_TRUE(std::filesystem::is_regular_file(started));
    EXPECT_TRUE(platform::iterateMainUntil([&] { return !ui.alerts.empty(); }, std::chrono::seconds(5)));
    platform::iterateMainUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(ui.alerts,
        (std::vector<test::RecordingUi::Alert> {
            { "Update not installed", "The new version couldn't start, so the old one was kept." } }));

    EXPECT_EQ(notInstalledText("swap"), "The update couldn't be downloaded. Please try again later.");
    for (const char* unknown : { "", "START", "start ", "rm -rf /" })
        EXPECT_EQ(notInstalledText(unknown), std::nullopt) << unknown;
}

} // namespace
} // namespace sv
