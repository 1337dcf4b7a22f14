#include "platform/system_version.h"
#include "update/install_progress.h"
#include "update/offer.h"
#include "update/updater.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

const std::string versionSentence = "You have version 1.4.2. The app restarts after installing.";

TEST(InstallProgressText, StagesAndFigures)
{
    EXPECT_EQ(downloadingText("1.5.0"), "Downloading Sandvoll 1.5.0\u2026");
    EXPECT_EQ(verifyingText("1.5.0"), "Verifying Sandvoll 1.5.0\u2026");
    EXPECT_EQ(installingText("1.5.0"), "Installing Sandvoll 1.5.0\u2026");
    EXPECT_EQ(transferredText(0, 0), "0 bytes");
    EXPECT_EQ(transferredText(1'240'000, 45'600'000), "1.2\u00a0MB of 45.6\u00a0MB");
    EXPECT_EQ(transferredText(532, 0), "532 bytes");
    EXPECT_EQ(transferredFraction(50, 200), 0.25);
    EXPECT_EQ(transferredFraction(50, 0), std::nullopt);
    EXPECT_EQ(transferredFraction(300, 200), 1.0) << "a server that sends more than it said";
}

TEST(OfferText, NotesVersionAndJobsInThatOrder)
{
    EXPECT_EQ(offerTitle("1.5.0"), "Sandvoll 1.5.0 is available");

    // No notes: the text starts with the version sentence.
    EXPECT_EQ(offerText(std::nullopt, "1.4.2", {}), versionSentence);
    // Empty notes are still notes: two line breaks come first.
    EXPECT_EQ(offerText("", "1.4.2", {}), "\n\n" + versionSentence);
    EXPECT_EQ(offerText("Faster start.\nFewer bugs.", "1.4.2", {}),
        "Faster start.\nFewer bugs.\n\n" + versionSentence);

    // Jobs b and a running, c stopped: a, then b.
    EXPECT_EQ(offerText("Notes", "1.4.2", runningJobsFromState(R"({"jobs": {"b": {"running": true},
        "c": {"running": false}, "a": {"running": true}}})")),
        "Notes\n\nYou have version 1.4.2. The app restarts after installing.\n\nStill running: a, b. These stop "
        "when the app restarts; you can start them again afterwards.");
    EXPECT_EQ(offerText(std::nullopt, "?", { "export" }),
        "You have version ?. The app restarts after installing.\n\nStill running: export. These stop when the app "
        "restarts; you can start them again afterwards.");

    // A job list that holds one value of another kind names nobody.
    EXPECT_EQ(offerText(std::nullopt, "1.4.2",
                  runningJobsFromState(R"({"jobs": {"a": {"running": true}, "n": 5}})")),
        versionSentence);
}

TEST(RunningJobs, SortedByCodePointAndOnlyBooleanTrueRuns)
{
    EXPECT_EQ(runningJobsFromState(R"({"jobs": {"b": {"running": true}, "a": {"running": true},
        "c": {"running": false}}})"),
        (std::vector<std::string> { "a", "b" }));
    // Capitals before small letters, and non-ASCII names after both.
    EXPECT_EQ(runningJobsFromState(R"({"jobs": {"émigré": {"running": true}, "zeta": {"running": true},
        "Zeta": {"running": true}, "alpha": {"running": true}, "Ω": {"running": true}}})"),
        (std::vector<std::string> { "Zeta", "alpha", "zeta", "émigré", "Ω" }));
    EXPECT_EQ(runningJobsFromState(R"({"jobs": {"s": {"running": "true"}, "n": {"running": 1},
        "e": {}, "x": {"running": null}, "y": {"running": true, "other": 1}}})"),
        std::vector<std::string> { "y" });
    EXPECT_TRUE(runningJobsFromState(R"({"jobs": {}})").empty());
}

TEST(RunningJobs, AnythingElseShapedGivesNoJobs)
{
    for (const char* body : {
             "",
             "<html><body>502 Bad Gateway</body></html>",
             R"([{"jobs": {"a": {"running": true}}}])",
             R"("jobs")",
             R"({})",
             R"({"jobs": null})",
             R"({"jobs": [{"running": true}]})",
             R"({"jobs": {"a": {"running": true}, "b": 1}})",
             R"({"jobs": {"a": {"running": true}, "b": "running"}})",
             R"({"jobs": {"a": {"running": true}, "b": null}})",
             R"({"jobs": {"a": {"running": true}, "b": []}})",
             R"({"Jobs": {"a": {"running": true}}})",
             R"({"jobs": {"a": {"running": true}})", // cut short
         })
        EXPECT_TRUE(runningJobsFromState(body).empty()) << body;
}

TEST(RunningJobs, DeeplyNestedStateIsReadWithoutTrouble)
{
    std::string deep = R"({"jobs": {"a": {"running": true, "log": )";
    deep += std::string(500'000, '[') + std::string(500'000, ']') + "}}}";
    EXPECT_EQ(runningJobsFromState(deep), std::vector<std::string> { "a" });
    EXPECT_TRUE(runningJobsFromState(std::string(500'000, '{')).empty());
}

TEST(StateURL, AppendsAPathComponent)
{
    EXPECT_EQ(stateURL("http://127.0.0.1:8766/"), "http://127.0.0.1:8766/api/state");
    EXPECT_EQ(stateURL("http://127.0.0.1:40123"), "http://127.0.0.1:40123/api/state");
}

TEST(UpToDate, NamesTheRunningVersion)
{
    EXPECT_EQ(upToDateText("1.4.2"), "You have version 1.4.2, the latest one.");
    EXPECT_EQ(std::string(upToDateTitle), "Sandvoll is up to date");
    EXPECT_EQ(std::string(cantCheckTitle), "Can't check for updates");
    EXPECT_EQ(std::string(cantCheckText), "The update server can't be reached right now. Please try again later.");
}

TEST(SystemVersion, RequiredVersionKeepsTheNumbersThatParse)
{
    using V = platform::SystemVersion;
    EXPECT_EQ(requiredSystemVersion("13"), (V { 13, 0, 0 }));
    EXPECT_EQ(requiredSystemVersion("6.1.7"), (V { 6, 1, 7 }));
    EXPECT_EQ(requiredSystemVersion("14.x.2"), (V { 14, 2, 0 })) << "later numbers move up";
    EXPECT_EQ(requiredSystemVersion(".6..2."), (V { 6, 2, 0 })) << "empty pieces are dropped";
    EXPECT_EQ(requiredSystemVersion("1.2.3.4"), (V { 1, 2, 3 }));
    EXPECT_EQ(requiredSystemVersion("+6.-1"), (V { 6, -1, 0 }));
    EXPECT_EQ(requiredSystemVersion("6.1rc"), (V { 6, 0, 0 }));
    EXPECT_EQ(requiredSystemVersion("6.99999999999999999999.1"), (V { 6, 1, 0 })) << "overflow does not convert";
    EXPECT_EQ(requiredSystemVersion(""), (V { 0, 0, 0 }));
    EXPECT_EQ(requiredSystemVersion("abc"), (V { 0, 0, 0 }));
    EXPECT_EQ(requiredSystemVersion(" 6"), (V { 0, 0, 0 }));
}

TEST(SystemVersion, ComparedMajorThenMinorThenPatch)
{
    using V = platform::SystemVersion;
    EXPECT_TRUE((V { 6, 1, 0 }) >= (V { 6, 1, 0 }));
    EXPECT_TRUE((V { 6, 1, 0 }) >= (V { 5, 99, 99 }));
    EXPECT_FALSE((V { 6, 1, 0 }) >= (V { 6, 1, 1 }));
    EXPECT_FALSE((V { 6, 1, 0 }) >= (V { 7, 0, 0 }));
}

TEST(SystemVersion, TheKernelReleaseGivesMajorMinorPatch)
{
    using V = platform::SystemVersion;
    EXPECT_EQ(platform::parseKernelRelease("6.1.0-18-amd64"), (V { 6, 1, 0 }));
    EXPECT_EQ(platform::parseKernelRelease("5.15.133.1-microsoft-standard-WSL2"), (V { 5, 15, 133 }));
    EXPECT_EQ(platform::parseKernelRelease("6.8.12"), (V { 6, 8, 12 }));
    EXPECT_EQ(platform::parseKernelRelease("4.19"), (V { 4, 19, 0 }));
    EXPECT_EQ(platform::parseKernelRelease("6.5-rc3"), (V { 6, 5, 0 }));
    EXPECT_EQ(platform::parseKernelRelease("6.-1.0"), (V { 6, 0, 0 }));
    EXPECT_EQ(platform::parseKernelRelease("custom"), (V { 0, 0, 0 }));
    EXPECT_EQ(platform::parseKernelRelease(""), (V { 0, 0, 0 }));
    EXPECT_GE(platform::runningSystemVersion(), (V { 2, 6, 0 })) << "this machine runs some real kernel";
}

} // namespace
} // namespace sv
