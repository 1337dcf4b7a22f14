// The start-up road after the window shows: provisioning, the readiness
// probe and the first load, and the failure that ends the app. Real
// processes and loopback servers; only the window surface is recorded.

#include "app/app_delegate.h"
#include "app/status_page.h"
#include "platform/text.h"
#include "support/loopback_http_server.h"
#include "support/recording_ui.h"
#include "support/recording_web.h"
#include "support/sandbox.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>

namespace sv {
namespace {

using Server = test::LoopbackHttpServer;

class Readiness : public ::testing::Test {
protected:
    std::unique_ptr<AppDelegate> delegateFor(int port)
    {
        globals = std::make_unique<Globals>(sandbox.path().string(), port, (sandbox / "bin").string());
        auto delegate = std::make_unique<AppDelegate>(*globals);
        auto recording = std::make_unique<test::RecordingWeb>();
        web = recording.get();
        delegate->web = std::move(recording);
        delegate->readiness.pauseSeconds = 0.001;
        delegate->shippedCode = (sandbox / "shipped").string();
        delegate->terminateApp = [this] { ++terminations; };
        delegate->startUpdater = [this] { ++updaterStarts; };
        return delegate;
    }

    test::Sandbox sandbox;
    test::RecordingUi ui;
    std::unique_ptr<Globals> globals;
    test::RecordingWeb* web = nullptr;
    int terminations = 0;
    int updaterStarts = 0;
};

TEST_F(Readiness, ProbeIsTrueOnlyForStatus200)
{
    Server server;
    auto delegate = delegateFor(server.port());
    for (int status : { 503, 204, 404, 301, 500 }) {
        server.route("/api/state", Server::json("{}", status));
        EXPECT_FALSE(delegate->serverUp()) << status;
    }
    server.route("/api/state", Server::json("not even json", 200));
    EXPECT_TRUE(delegate->serverUp());
    EXPECT_EQ(server.requests().back().target, "/api/state");
    // Ready is ready, however much state the server has to tell.
    server.route("/api/state", Server::json(std::string(3 << 20, ' ') + "{}", 200));
    EXPECT_TRUE(delegate->serverUp());
}

TEST_F(Readiness, ProbeOfAServerThatNeverAnswersGivesUpAfterItsTimeout)
{
    Server server;
    server.route("/api/state", Server::hanging());
    auto delegate = delegateFor(server.port());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(delegate->serverUp());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(2500));
}

TEST_F(Readiness, LoadsTheAppAtTheFirst200AfterNotReadyAnswers)
{
    Server server;
    std::atomic<int> probes = 0;
    server.handle([&](const Server::Request&) {
        return ++probes <= 5 ? Server::json("{}", 503) : Server::json("{\"jobs\":{}}");
    });
    auto delegate = delegateFor(server.port());
    delegate->waitAndLoad(0);
    ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
    EXPECT_EQ(web->urls, std::vector<std::string> { globals->appURL });
    EXPECT_EQ(probes.load(), 6);
    // The chain has ended: no probe follows the load.
    test::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(probes.load(), 6);
    EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(Readiness, GivesUpAfterExactly121ProbesWithOneMessage)
{
    // Accepts and answers 503 every time: counts the probes the way a port
    // with nothing behind it would see them, without their being refused.
    Server server;
    server.route("/api/state", Server::json("{}", 503));
    auto delegate = delegateFor(server.port());
    delegate->waitAndLoad(0);
    ASSERT_TRUE(test::waitFor([&] { return !ui.alerts.empty(); }, std::chrono::seconds(60)));
    test::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(server.requestCount("/api/state"), 121u);
    EXPECT_EQ(ui.alerts, (std::vector<test::RecordingUi::Alert> {
                             { "Sandvoll isn't responding", "Log: ~/Library/Application Support/Sandvoll/server.log" } }));
    EXPECT_TRUE(web->urls.empty());
    EXPECT_EQ(terminations, 0); // the app stays, with its status page
}

TEST_F(Readiness, NothingListeningEndsInTheSameSingleMessage)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    delegate->waitAndLoad(0);
    ASSERT_TRUE(test::waitFor([&] { return !ui.alerts.empty(); }, std::chrono::seconds(60)));
    test::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(ui.alerts.size(), 1u);
    EXPECT_EQ(ui.alerts[0].title, "Sandvoll isn't responding");
}

TEST_F(Readiness, StartupWithAServerAlreadyAnsweringStartsNothing)
{
    Server server;
    server.route("/api/state", Server::json("{\"jobs\":{}}"));
    auto delegate = delegateFor(server.port());
    // An environment in step: the interpreter exists and the requirements match.
    test::writeFile(globals->python, "#!/bin/sh\nexit 0\n");
    chmod(globals->python.c_str(), 0755);
    delegate->startupTask();
    ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
    EXPECT_FALSE(delegate->server);
    EXPECT_FALSE(std::filesystem::exists(globals->support + "/server.log"));
    EXPECT_EQ(updaterStarts, 1);
    EXPECT_TRUE(web->htmls.empty()); // no provisioning line
    EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(Readiness, StartupWithoutPythonShowsTheTextAndQuits)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    std::filesystem::create_directories(sandbox / "bin"); // empty search directory
    delegate->startupTask();
    ASSERT_TRUE(test::waitFor([&] { return terminations == 1; }));
    ASSERT_EQ(ui.alerts.size(), 1u);
    EXPECT_EQ(ui.alerts[0].title, "Sandvoll can't start");
    EXPECT_EQ(ui.alerts[0].text,
        "Python 3 was not found. Please install it (python.org or Homebrew) and open Sandvoll again.");
    EXPECT_EQ(web->htmls, std::vector<std::string> { statusPageHTML("Setting up Python (first start only)…") });
    EXPECT_EQ(updaterStarts, 0);
    EXPECT_FALSE(std::filesystem::exists(globals->venv));
}

TEST_F(Readiness, StartupFailureShowsOnlyTheLast1200CharactersOfAFailedCommand)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    // A "python3" whose venv step fails with a long output full of combining marks.
    std::string noise;
    for (int i = 0; i < 3000; ++i)
        noise += "e\u0301";
    test::writeFile(sandbox / "bin/python3", "#!/bin/sh\nprintf '%s' '" + noise + "'\necho ' the end' >&2\nexit 1\n");
    chmod((sandbox / "bin/python3").c_str(), 0755);
    delegate->startupTask();
    ASSERT_TRUE(test::waitFor([&] { return terminations == 1; }));
    ASSERT_EQ(ui.alerts.size(), 1u);
    EXPECT_EQ(platform::characterCount(ui.alerts[0].text), 1200u);
    EXPECT_TRUE(ui.alerts[0].text.ends_with("e\u0301 the end\n"));
    EXPECT_TRUE(ui.alerts[0].text.starts_with("e\u0301"));
}

TEST_F(Readiness, StartupWhereTheSupportFolderCannotBeMadeReportsTheFileSystemError)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    test::writeFile(sandbox / "shipped/start.py", "print('hi')\n");
    // "Library" is a file, so nothing can be created beneath it, even as root.
    test::writeFile(sandbox / "Library", "in the way");
    test::writeFile(sandbox / "bin/python3", "#!/bin/sh\nexit 0\n");
    chmod((sandbox / "bin/python3").c_str(), 0755);
    delegate->startupTask();
    ASSERT_TRUE(test::waitFor([&] { return terminations == 1; }));
    ASSERT_EQ(ui.alerts.size(), 1u);
    EXPECT_EQ(ui.alerts[0].title, "Sandvoll can't start");
    EXPECT_TRUE(ui.alerts[0].text.starts_with("Could not create the support directory: Not a directory ["
        + globals->support + "]"))
        << ui.alerts[0].text;
    EXPECT_EQ(test::readFile(sandbox / "Library"), "in the way");
}

} // namespace
} // namespace sv
