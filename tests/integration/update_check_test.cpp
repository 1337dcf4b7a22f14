#include "app/bridge/script_message.h"
#include "base/bundle_info.h"
#include "platform/property_list.h"
#include "support/loopback_http_server.h"
#include "support/recording_task.h"
#include "support/recording_ui.h"
#include "support/sandbox.h"
#include "support/wait.h"
#include "update/updater.h"

#include <gtest/gtest.h>

#include <chrono>

namespace sv {

// An installation is the only thing that sets `working`; these tests set the
// flag themselves to see that checks respect it (install_test.cpp runs a real
// installation alongside checks).
struct UpdaterTestAccess {
    static void setWorking(Updater& updater, bool working) { updater.working_ = working; }
};

namespace {

using namespace std::chrono_literals;
using test::LoopbackHttpServer;
using Alert = test::RecordingUi::Alert;

const Alert cantCheck { "Can't check for updates",
    "The update server can't be reached right now. Please try again later." };
const Alert upToDate { "Sandvoll is up to date", "You have version 1.4.2, the latest one." };

std::string feedBody(std::int64_t build, const std::string& extra = "")
{
    return R"({"version": "1.5.0", "build": )" + std::to_string(build)
        + R"(, "url": "https://downloads.example.org/Sandvoll.zip", "sha256": "00", "signature": "AA==")"
        + extra + "}";
}

class UpdateCheck : public ::testing::Test {
protected:
    test::Sandbox sandbox;
    test::RecordingUi ui;
    LoopbackHttpServer server;
    std::int64_t runningBuild = 42;
    platform::SystemVersion runningSystem { 6, 1, 0 };
    std::filesystem::path defaults = userDefaultsPath(sandbox.path().string(), "org.sandvoll.Sandvoll");
    std::unique_ptr<Updater> updater;

    UpdaterSettings settings()
    {
        UpdaterSettings settings;
        settings.appVersion = [] { return std::string("1.4.2"); };
        settings.appBuild = [this] { return runningBuild; };
        settings.systemVersion = [this] { return runningSystem; };
        settings.userDefaults = defaults;
        settings.defaultFeed = server.url("/update.json");
        settings.appURL = server.url("/");
        settings.feedTimeout = 3s;
        settings.stateTimeout = 1s;
        return settings;
    }

    void SetUp() override
    {
        updater = std::make_unique<Updater>(settings());
        server.route("/api/state", LoopbackHttpServer::json(R"({"jobs": {}})"));
    }

    void TearDown() override
    {
        // An updater may only go once no check of it is running.
        EXPECT_TRUE(test::waitFor([&] { return updater->checksInProgress() == 0; }));
    }

    void serveFeed(std::int64_t build, const std::string& extra = "")
    {
        server.route("/update.json", LoopbackHttpServer::json(feedBody(build, extra)));
    }

    void check(bool manual)
    {
        auto record = test::runTask(updater->check(manual));
        ASSERT_TRUE(record->done) << "the check ended";
        EXPECT_FALSE(record->error) << "checks never throw";
    }
};

TEST_F(UpdateCheck, DoesNothingAtAllWhileAnInstallationRuns)
{
    serveFeed(43);
    UpdaterTestAccess::setWorking(*updater, true);
    check(true);
    check(false);
    EXPECT_EQ(server.requestCount(), 0u) << "not even the feed is fetched";
    EXPECT_EQ(ui.shown(), 0u);
    EXPECT_EQ(updater->askedBuild(), 0);

    UpdaterTestAccess::setWorking(*updater, false);
    check(true);
    EXPECT_EQ(ui.choices.size(), 1u);
}

TEST_F(UpdateCheck, ATransferThatFailsIsReportedOnlyWhenAsked)
{
    auto refused = settings();
    refused.defaultFeed = "http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()) + "/update.json";
    updater = std::make_unique<Updater>(refused);

    check(false);
    EXPECT_EQ(ui.shown(), 0u);
    check(true);
    EXPECT_EQ(ui.alerts, std::vector<Alert> { cantCheck });
    EXPECT_TRUE(ui.choices.empty());
}

TEST_F(UpdateCheck, ABodyThatIsNotAFeedCountsAsUnreachable)
{
    // The usual case: an error page instead of the feed.
    check(false);
    EXPECT_EQ(ui.shown(), 0u);
    check(true);
    EXPECT_EQ(ui.alerts, std::vector<Alert> { cantCheck });

    // A 200 answer with a feed that breaks one rule is no better.
    server.route("/update.json", LoopbackHttpServer::json(feedBody(43, R"(, "minimumSystemVersion": 6)")));
    check(true);
    check(false);
    EXPECT_EQ(ui.alerts, (std::vector<Alert> { cantCheck, cantCheck }));
    EXPECT_TRUE(ui.choices.empty());
    EXPECT_EQ(server.requestCount("/update.json"), 4u);
}

TEST_F(UpdateCheck, TheSameOrAnOlderBuildIsUpToDate)
{
    for (const std::int64_t build : { 42, 41, -5 }) {
        serveFeed(build);
        const auto before = ui.shown();
        check(false);
        EXPECT_EQ(ui.shown(), before) << build;
        check(true);
        EXPECT_EQ(ui.alerts.back(), upToDate) << build;
    }
    EXPECT_EQ(ui.alerts.size(), 3u);
    EXPECT_TRUE(ui.choices.empty());
    EXPECT_EQ(updater->askedBuild(), 0);
}

TEST_F(UpdateCheck, ANewerBuildForANewerSystemIsUpToDateToo)
{
    serveFeed(43, R"(, "minimumSystemVersion": "6.2")");
    check(false);
    EXPECT_EQ(ui.shown(), 0u);
    check(true);
    EXPECT_EQ(ui.alerts, std::vector<Alert> { upToDate });
    EXPECT_EQ(updater->askedBuild(), 0) << "nothing was offered";

    runningSystem = { 6, 2, 0 };
    check(false);
    EXPECT_EQ(ui.choices.size(), 1u) << "the same feed suits a newer system";
}

TEST_F(UpdateCheck, MinimumSystemVersionsThatNameNoNumberPutNoLimit)
{
    runningSystem = { 0, 0, 0 };
    for (const char* version : { R"("")", R"("abc")", R"("..")", "null" }) {
        serveFeed(43, std::string(R"(, "minimumSystemVersion": )") + version);
        check(true);
    }
    EXPECT_EQ(ui.choices.size(), 4u);
    EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(UpdateCheck, ANewerBuildIsOfferedOnceAutomaticallyAndAlwaysWhenAsked)
{
    serveFeed(43, R"(, "notesEN": "Faster start.")");
    ui.answer = 1; // Later
    check(false);
    ASSERT_EQ(ui.choices.size(), 1u);
    EXPECT_EQ(ui.choices[0].title, "Sandvoll 1.5.0 is available");
    EXPECT_EQ(ui.choices[0].text, "Faster start.\n\nYou have version 1.4.2. The app restarts after installing.");
    EXPECT_EQ(ui.choices[0].buttons, (std::vector<std::string> { "Install and Restart", "Later" }));
    EXPECT_EQ(updater->askedBuild(), 43);

    check(false);
    EXPECT_EQ(ui.choices.size(), 1u) << "an automatic check does not offer the same build twice";
    check(true);
    EXPECT_EQ(ui.choices.size(), 2u) << "a manual check offers it again";

    // A still newer build is news to an automatic check.
    serveFeed(44);
    check(false);
    EXPECT_EQ(ui.choices.size(), 3u);
    EXPECT_EQ(updater->askedBuild(), 44);
    EXPECT_TRUE(ui.alerts.empty());

    // After a relaunch the pending release is offered again.
    updater = std::make_unique<Updater>(settings());
    check(false);
    EXPECT_EQ(ui.choices.size(), 4u);
}

TEST_F(UpdateCheck, TheOfferNamesTheServersRunningJobs)
{
    serveFeed(43);
    server.route("/api/state", LoopbackHttpServer::json(R"({"server": "x", "jobs": {"b": {"running": true},
        "a": {"running": true, "progress": 3}, "c": {"running": false}, "d": {}}})"));
    check(false);
    ASSERT_EQ(ui.choices.size(), 1u);
    EXPECT_EQ(ui.choices[0].text,
        "You have version 1.4.2. The app restarts after installing.\n\nStill running: a, b. These stop when the app "
        "restarts; you can start them again afterwards.");
    EXPECT_EQ(server.requestCount("/api/state"), 1u);

    // The server down or answering with a page: no jobs paragraph, no message.
    server.route("/api/state", LoopbackHttpServer::html("<h1>oops</h1>", 500));
    check(true);
    ASSERT_EQ(ui.choices.size(), 2u);
    EXPECT_EQ(ui.choices[1].text, "You have version 1.4.2. The app restarts after installing.");
    EXPECT_TRUE(ui.alerts.empty());

    // Another account's program on the port is asked nothing.
    server.route("/api/state", LoopbackHttpServer::json(R"({"jobs": {"z": {"running": true}}})"));
    updater->askServerOnlyWhileOurs([] { return true; });
    check(true);
    ASSERT_EQ(ui.choices.size(), 3u);
    EXPECT_EQ(ui.choices[2].text, "You have version 1.4.2. The app restarts after installing.");
    EXPECT_EQ(server.requestCount("/api/state"), 2u);
}

TEST_F(UpdateCheck, AServerThatNeverAnswersItsStateDelaysTheOfferOnlyUntilTheTimeout)
{
    serveFeed(43);
    server.route("/api/state", LoopbackHttpServer::hanging());
    const auto started = std::chrono::steady_clock::now();
    check(true);
    ASSERT_EQ(ui.choices.size(), 1u);
    EXPECT_EQ(ui.choices[0].text, "You have version 1.4.2. The app restarts after installing.");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 950ms);
}

// "Install and Restart" leads into the installation; install_test.cpp follows it.
TEST_F(UpdateCheck, LaterOrClosingTheOfferEndsTheCheckWithNothingMoreShown)
{
    serveFeed(43);
    for (const int answer : { 1, -1 }) {
        ui.answer = answer;
        check(true);
        EXPECT_FALSE(updater->working());
    }
    EXPECT_EQ(ui.choices.size(), 2u);
    EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(UpdateCheck, AnAutomaticCheckDuringAnOpenOfferShowsNothing)
{
    // The first check's offer is held up waiting for the job list; a second
    // automatic check meanwhile finds the build already asked about.
    serveFeed(43);
    server.route("/api/state", LoopbackHttpServer::hanging());
    auto first = test::startRecorded(updater->check(false));
    ASSERT_TRUE(test::waitFor([&] { return server.requestCount("/api/state") == 1; }));
    EXPECT_EQ(updater->askedBuild(), 43);
    check(false);
    EXPECT_EQ(ui.shown(), 0u);
    ASSERT_TRUE(test::waitFor([&] { return first->done; }));
    EXPECT_EQ(ui.choices.size(), 1u);
}

TEST_F(UpdateCheck, AFeedThatNeverAnswersIsGivenUpAfterTheTimeout)
{
    auto quick = settings();
    quick.feedTimeout = 600ms;
    updater = std::make_unique<Updater>(quick);
    server.route("/update.json", LoopbackHttpServer::hanging());

    const auto started = std::chrono::steady_clock::now();
    check(true);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(ui.alerts, std::vector<Alert> { cantCheck });
    EXPECT_GE(took, 590ms);
    EXPECT_LT(took, 5s);
}

TEST_F(UpdateCheck, TwoManualChecksBothRunToTheirEnd)
{
    serveFeed(42);
    auto menu = test::startRecorded(updater->check(true));
    auto page = test::startRecorded(updater->check(true));
    ASSERT_TRUE(test::waitFor([&] { return menu->done && page->done; }));
    EXPECT_EQ(ui.alerts, (std::vector<Alert> { upToDate, upToDate }));

    serveFeed(43);
    menu = test::startRecorded(updater->check(true));
    page = test::startRecorded(updater->check(true));
    ASSERT_TRUE(test::waitFor([&] { return menu->done && page->done; }));
    EXPECT_EQ(ui.choices.size(), 2u) << "each shows its own offer";
    EXPECT_EQ(server.requestCount("/update.json"), 4u);
}

TEST_F(UpdateCheck, ThePagesCheckUpdatesMessageStartsAManualCheckAndNothingElseDoes)
{
    serveFeed(42);
    for (const char* body : { "checkupdates", " checkUpdates", "update" })
        didReceiveScriptMessage({ "sv", body }, *updater);
    didReceiveScriptMessage({ "sv", std::nullopt }, *updater);
    didReceiveScriptMessage({ "other", "checkUpdates" }, *updater);

    // A page that posts twenty times at once gets one check; the handler
    // returns before it runs. Posts while its message box is open are
    // ignored too.
    int postedDuringBox = 0;
    ui.whileAlertShows = [&](const Alert&) {
        for (; postedDuringBox < 20; ++postedDuringBox)
            didReceiveScriptMessage({ "sv", "checkUpdates" }, *updater);
    };
    for (int i = 0; i < 20; ++i)
        didReceiveScriptMessage({ "sv", "checkUpdates" }, *updater);
    EXPECT_EQ(updater->checksInProgress(), 0);
    ASSERT_TRUE(test::waitFor([&] { return ui.alerts.size() == 1 && updater->checksInProgress() == 0; }));
    EXPECT_EQ(postedDuringBox, 20);
    EXPECT_EQ(server.requestCount("/update.json"), 1u) << "ignored messages fetched nothing";

    // Once that check has ended, the page may ask again.
    ui.whileAlertShows = nullptr;
    didReceiveScriptMessage({ "sv", "checkUpdates" }, *updater);
    ASSERT_TRUE(test::waitFor([&] { return ui.alerts.size() == 2 && updater->checksInProgress() == 0; }));
    EXPECT_EQ(ui.alerts, (std::vector<Alert> { upToDate, upToDate }));
    EXPECT_EQ(server.requestCount("/update.json"), 2u);
}

TEST_F(UpdateCheck, TheUserDefaultChoosesTheFeedAtEveryCheck)
{
    EXPECT_EQ(updater->feedURL(), server.url("/update.json"));
    server.route("/update.json", LoopbackHttpServer::json(feedBody(42)));
    server.route("/beta.json", LoopbackHttpServer::json(feedBody(43)));

    platform::PropertyList values;
    values.setString("updateFeedURL", server.url("/beta.json"));
    ASSERT_TRUE(values.save(defaults));
    EXPECT_EQ(updater->feedURL(), server.url("/beta.json"));
    check(true);
    EXPECT_EQ(ui.choices.size(), 1u);

    // Changed while the app runs: the next check follows, no restart needed.
    for (const char* unusable : { "", "http://exa mple.org/update.json" }) {
        values.setString("updateFeedURL", unusable);
        ASSERT_TRUE(values.save(defaults));
        EXPECT_EQ(updater->feedURL(), server.url("/update.json")) << unusable;
        check(true);
    }
    EXPECT_EQ(ui.alerts, (std::vector<Alert> { upToDate, upToDate }));

    // A relative address is used as it is, and cannot be fetched.
    values.setString("updateFeedURL", "beta.json");
    ASSERT_TRUE(values.save(defaults));
    EXPECT_EQ(updater->feedURL(), "beta.json");
    check(true);
    EXPECT_EQ(ui.alerts.back(), cantCheck);
    EXPECT_EQ(server.requestCount("/beta.json"), 1u);
}

TEST_F(UpdateCheck, AutomaticChecksRunAfterTheFirstDelayThenEveryIntervalFromStart)
{
    auto schedule = settings();
    schedule.firstCheckDelay = 0.9;
    schedule.checkInterval = 1.0;
    updater = std::make_unique<Updater>(schedule);
    serveFeed(42);

    const auto started = std::chrono::steady_clock::now();
    updater->start();
    ASSERT_TRUE(test::waitFor([&] { return server.requestCount("/update.json") >= 3; }, 10s));
    const auto requests = server.requests();
    std::vector<double> at;
    for (const auto& request : requests)
        at.push_back(std::chrono::duration<double>(request.received - started).count());
    ASSERT_GE(at.size(), 3u);
    EXPECT_GE(at[0], 0.9);
    EXPECT_GE(at[1], 1.0);
    EXPECT_GE(at[2], 2.0);
    // Counted from start, not from the check before: the third comes at
    // about 2.0 s, where chaining the delays would give 2.9 s.
    EXPECT_LT(at[2], 2.6);
    EXPECT_EQ(ui.shown(), 0u) << "automatic checks that find nothing stay silent";
}

TEST_F(UpdateCheck, ADestroyedUpdatersTimersDoNothing)
{
    auto schedule = settings();
    schedule.firstCheckDelay = 0.2;
    schedule.checkInterval = 0.3;
    updater = std::make_unique<Updater>(schedule);
    serveFeed(43);
    updater->start();
    updater = std::make_unique<Updater>(settings()); // the first one is gone before any timer fires

    // Wait past several of its would-be checks, by a check of the new one
    // that is held up on the job list.
    server.route("/api/state", LoopbackHttpServer::hanging());
    const auto started = std::chrono::steady_clock::now();
    check(true);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 950ms);
    EXPECT_EQ(server.requestCount("/update.json"), 1u);
    EXPECT_EQ(ui.choices.size(), 1u);
}

} // namespace
} // namespace sv
