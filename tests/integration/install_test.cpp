// Installing an update from "Install and Restart" on: a real feed and package
// on a loopback server, a real key, the real unzip through the command runner,
// and the real swap script against a bundle in the sandbox. A child process
// stands in for the app, so that the script has a process to wait for and
// terminating the "app" ends that child instead of the test.

#include "base/unique_fd.h"
#include "platform/crypto.h"
#include "support/bundle_build.h"
#include "support/loopback_http_server.h"
#include "support/local_runner.h"
#include "support/recording_task.h"
#include "support/recording_ui.h"
#include "support/sandbox.h"
#include "support/wait.h"
#include "update/install_progress.h"
#include "update/swap_script.h"
#include "update/updater.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::LoopbackHttpServer;
using Alert = test::RecordingUi::Alert;

constexpr const char* notInstalled = "Update not installed";
constexpr const char* signatureText = "The update isn't properly signed, so it was not installed.";
constexpr const char* packageText = "The update package is damaged, so it was not installed.";
constexpr const char* downloadText = "The update couldn't be downloaded. Please try again later.";

// A process in place of the running app or its server; it lives until it
// is ended, by default a sleep that the terminate signal ends.
class StandIn {
public:
    explicit StandIn(const std::string& script = "exec sleep 600") { begin(script); }
    ~StandIn() { end(); }

    // Ends this one and starts another in its place.
    void begin(const std::string& script = "exec sleep 600")
    {
        end();
        std::string shell = "/bin/sh", c = "-c", text = script;
        char* argv[] = { shell.data(), c.data(), text.data(), nullptr };
        if (posix_spawn(&pid_, shell.c_str(), nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool running() const { return pid_ > 0; }

    // Ends and reaps it.
    void end()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) { }
        pid_ = -1;
    }

    // Ends it and leaves it a zombie until end(), as a parent that never
    // reaps its child would.
    void endUnreaped() const { kill(pid_, SIGKILL); }

private:
    pid_t pid_ = -1;
};

// What the new version does once its window has shown.
const std::string showsItsWindow = ": > \"$SANDVOLL_UPDATE_STARTED_FILE\"";

void makeBundle(const fs::path& root, const std::string& build, const std::string& executableBody)
{
    test::writeFile(root / "Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>org.sandvoll.Sandvoll</string>"
        "<key>CFBundleVersion</key><string>"
            + build + "</string></dict></plist>\n");
    const auto executable = root / "Contents/Linux/Sandvoll";
    test::writeFile(executable, "#!/bin/sh\n" + executableBody + "\n");
    fs::permissions(executable, fs::perms::owner_all);
    test::writeFile(root / "Contents/Resources/app/start.py", "print('build " + build + "')\n");
}

class InstallUpdate : public ::testing::Test {
protected:
    test::Sandbox sandbox;
    test::RecordingUi ui;
    LoopbackHttpServer server;
    platform::Ed25519KeyPair keys = *platform::generateEd25519KeyPair();
    fs::path temporary = sandbox / "tmp";
    fs::path bundle = sandbox / "Applications/Sandvoll.app";
    fs::path relaunched = sandbox / "relaunched";
    StandIn app;
    std::unique_ptr<StandIn> serverProcess = std::make_unique<StandIn>();
    bool appLeftUnreaped = false;
    int terminations = 0;
    // Runs as the app is told to terminate, before the stand-in ends.
    std::function<void()> atTermination;
    // The page's say before the update quits the app: each question is
    // recorded, and answered at once with pageAnswer, or held while it is
    // unset, as a person's answer in the page's dialog would be.
    std::vector<std::function<void(bool)>> pageQuestions;
    std::optional<bool> pageAnswer = true;
    std::unique_ptr<Updater> updater;

    UpdaterSettings settings()
    {
        UpdaterSettings settings;
        settings.appVersion = [] { return std::string("1.0.0"); };
        settings.appBuild = [] { return std::int64_t { 42 }; };
        settings.systemVersion = [] { return platform::SystemVersion { 6, 1, 0 }; };
        settings.userDefaults = sandbox / "defaults.plist";
        settings.defaultFeed = server.url("/update.json");
        settings.appURL = server.url("/");
        settings.feedTimeout = 5s;
        settings.stateTimeout = 2s;
        settings.packageStallTimeout = 10s;
        settings.bundle = [this] { return platform::Bundle::at(bundle); };
        settings.publicKeys = { platform::base64Encode(keys.publicKey) };
        settings.runProgram = commandRunner(Globals(sandbox.path().string(), 1));
        settings.temporaryDirectory = temporary;
        settings.processIdentifier = [this] { return static_cast<int>(app.pid()); };
        settings.serverProcessIdentifier = [this] { return static_cast<int>(serverProcess->pid()); };
        settings.instanceLocks = instanceLocks(sandbox.path(), "org.sandvoll.Sandvoll");
        settings.mayQuit = [this](std::function<void(bool)> answer) {
            pageQuestions.push_back(answer);
            if (pageAnswer)
                answer(*pageAnswer);
        };
        settings.terminate = [this] {
            ++terminations;
            if (atTermination)
                atTermination();
            // As the app's own termination does: the server is told to stop,
            // and the app ends.
            kill(serverProcess->pid(), SIGTERM);
            if (appLeftUnreaped)
                app.endUnreaped();
            else
                app.end();
        };
        return settings;
    }

    void SetUp() override
    {
        ASSERT_TRUE(app.running());
        fs::create_directories(temporary);
        makeBundle(bundle, "42", oldBody());
        server.route("/api/state", LoopbackHttpServer::json(R"({"jobs": {}})"));
        updater = std::make_unique<Updater>(settings());
        ui.answer = 0; // "Install and Restart"
    }

    void TearDown() override
    {
        EXPECT_TRUE(test::waitFor([&] { return updater->checksInProgress() == 0; }, 20s));
    }

    // Build 43 zipped as the update_package target does, under another name;
    // once started it records the path it was started as and shows its
    // window, unless it is given something else to do.
    std::string newPackage(const std::string& body = "")
    {
        const auto stage = sandbox / "stage";
        fs::remove_all(stage);
        makeBundle(stage / "Sandvoll 1.1.app", "43",
            body.empty() ? "printf %s \"$0\" > '" + relaunched.string() + "'\n" + showsItsWindow : body);
        const auto archive = sandbox / "Sandvoll-1.1-43.zip";
        const auto zipped = test::runLocally(
            "/bin/sh", { "-c", "cd \"$1\" && zip -q -r -y \"$2\" .", "sh", stage.string(), archive.string() });
        EXPECT_EQ(zipped.status, 0) << zipped.output;
        return test::readFile(archive);
    }

    std::string signature(const std::string& bytes)
    {
        return platform::base64Encode(*platform::signEd25519(keys.privateKeyPEM, bytes));
    }

    // Announces build 43 with the given digest and signature; the package is
    // whatever the server answers at `url`.
    void announce(const std::string& url, const std::string& sha256, const std::string& signature)
    {
        const nlohmann::json feed = { { "version", "1.1.0" }, { "build", 43 }, { "url", url },
            { "sha256", sha256 }, { "signature", signature } };
        server.route("/update.json", LoopbackHttpServer::json(feed.dump()));
    }

    // A correctly signed package whose download stops after `sent` bytes
    // (none: it never answers), and an updater that gives such a download up
    // after a second and a half without data.
    std::string announceHangingDownload(std::optional<std::size_t> sent = std::nullopt)
    {
        auto quick = settings();
        quick.packageStallTimeout = 1500ms;
        updater = std::make_unique<Updater>(quick);
        const auto package = newPackage();
        auto response = LoopbackHttpServer::hanging();
        if (sent) {
            response.hang = false;
            response.body = package;
            response.hangAfter = *sent;
        }
        server.route("/Sandvoll.zip", response);
        announce(server.url("/Sandvoll.zip"), platform::sha256Hex(package), signature(package));
        return package;
    }

    // Serves `served` as the package of a feed made for `signedBytes`.
    void publish(const std::string& served, const std::string& signedBytes)
    {
        LoopbackHttpServer::Response package;
        package.body = served;
        package.contentType = "application/zip";
        server.route("/Sandvoll.zip", package);
        announce(server.url("/Sandvoll.zip"), platform::sha256Hex(signedBytes), signature(signedBytes));
    }

    // A manual check that finds build 43; the offer is answered with ui.answer.
    void checkAndAnswer()
    {
        auto record = test::runTask(updater->check(true), 30s);
        ASSERT_TRUE(record->done);
        EXPECT_FALSE(record->error);
    }

    [[nodiscard]] std::vector<fs::path> workDirectories() const
    {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(temporary)) {
            if (entry.path().filename().string().starts_with("Sandvoll-Update-"))
                found.push_back(entry.path());
        }
        return found;
    }

    void expectNotInstalled(const char* text)
    {
        EXPECT_EQ(ui.alerts, (std::vector<Alert> { { notInstalled, text } }));
        EXPECT_FALSE(updater->working());
        EXPECT_TRUE(workDirectories().empty());
        EXPECT_EQ(terminations, 0);
        EXPECT_TRUE(app.running());
        EXPECT_EQ(test::bundleBuild(bundle), "42");
        EXPECT_EQ(test::readFile(bundle / "Contents/Linux/Sandvoll"), "#!/bin/sh\n" + oldBody() + "\n");
        EXPECT_EQ(std::distance(fs::directory_iterator(bundle.parent_path()), fs::directory_iterator()), 1);
        for (const auto& window : ui.progress)
            EXPECT_FALSE(window->open);
    }

    // The old version records how it was started again, should it be.
    std::string oldBody() const
    {
        const auto record = (sandbox / "old-restarted").string();
        return "printf %s \"$SANDVOLL_UPDATE_NOT_INSTALLED\" > '" + record + ".tmp' && mv '" + record + ".tmp' '"
            + record + "'";
    }
};

TEST_F(InstallUpdate, AcceptedPackageReplacesTheBundleAfterTheAppEndsAndStartsIt)
{
    // The server's id is read only once the new bundle is staged, right
    // before the script starts: while the app waits before then, a server
    // that ends is reaped, and its id may go to another process.
    auto late = settings();
    int stagedWhenRead = -1;
    late.serverProcessIdentifier = [&, read = late.serverProcessIdentifier] {
        stagedWhenRead = static_cast<int>(std::distance(fs::directory_iterator(bundle.parent_path()), {})) - 1;
        return read();
    };
    updater = std::make_unique<Updater>(late);
    const auto package = newPackage();
    publish(package, package);

    ui.answer = 1; // "Later" downloads nothing
    checkAndAnswer();
    EXPECT_EQ(server.requestCount("/Sandvoll.zip"), 0u);

    ui.answer = 0;
    std::vector<fs::path> workAtTermination;
    atTermination = [&] {
        // Everything is in place and waits for the app to end, and the page
        // has agreed.
        EXPECT_EQ(pageQuestions.size(), 1u);
        EXPECT_TRUE(updater->working());
        workAtTermination = workDirectories();
        ASSERT_EQ(workAtTermination.size(), 1u);
        EXPECT_EQ(test::readFile(workAtTermination[0] / "update.zip"), package);
        EXPECT_TRUE(fs::is_directory(workAtTermination[0] / "Sandvoll 1.1.app"));
        EXPECT_EQ(test::bundleBuild(bundle), "42");
        // The new bundle was copied beside the old one while the app ran.
        std::vector<std::string> beside;
        for (const auto& entry : fs::directory_iterator(bundle.parent_path()))
            beside.push_back(entry.path().filename().string());
        std::sort(beside.begin(), beside.end());
        ASSERT_EQ(beside.size(), 2u);
        EXPECT_EQ(beside[0], "Sandvoll.app");
        EXPECT_EQ(beside[1], "Sandvoll.app.new-" + workAtTermination[0].filename().string().substr(16, 8));
        EXPECT_EQ(test::bundleBuild(bundle.parent_path() / beside[1]), "43");
    };
    checkAndAnswer();
    ASSERT_EQ(ui.choices.size(), 2u);
    EXPECT_EQ(ui.choices[1].title, "Sandvoll 1.1.0 is available");
    EXPECT_TRUE(ui.alerts.empty());
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(updater->working()) << "a terminate request that returns frees the updater";
    EXPECT_EQ(server.requestCount("/Sandvoll.zip"), 1u);
    EXPECT_EQ(stagedWhenRead, 1);

    // The script, not the app, swaps the bundle, starts it and clears up.
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(relaunched) && workDirectories().empty(); }, 20s));
    EXPECT_EQ(test::readFile(relaunched), (bundle / "Contents/Linux/Sandvoll").string());
    EXPECT_EQ(test::bundleBuild(bundle), "43");
    EXPECT_EQ(test::readFile(bundle / "Contents/Resources/app/start.py"), "print('build 43')\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle.parent_path()), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::exists(sandbox / "old-restarted"));

    // The user saw each stage, and the whole download.
    ASSERT_EQ(ui.progress.size(), 1u);
    const auto& lines = ui.progress[0]->lines;
    ASSERT_GE(lines.size(), 4u) << testing::PrintToString(lines);
    EXPECT_EQ(lines.front(), "Downloading Sandvoll 1.1.0\u2026 | 0 bytes");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                  "Downloading Sandvoll 1.1.0\u2026 | " + transferredText(package.size(), package.size())),
        lines.end());
    EXPECT_EQ(lines[lines.size() - 2], "Verifying Sandvoll 1.1.0\u2026 | ");
    EXPECT_EQ(lines.back(), "Installing Sandvoll 1.1.0\u2026 | ");
    EXPECT_FALSE(ui.progress[0]->open);
}

TEST_F(InstallUpdate, ANewVersionThatEndsBeforeItsWindowShowsIsRolledBackAndTheOldOneSaysWhy)
{
    // Whatever the status: one that hands over to another instance ends with
    // 0 at once.
    for (const char* body : { "exit 1", "exit 0", "kill -KILL $$" }) {
        SCOPED_TRACE(body);
        fs::remove(sandbox / "old-restarted");
        const auto package = newPackage(body);
        publish(package, package);
        checkAndAnswer();
        EXPECT_EQ(terminations, 1);
        EXPECT_TRUE(ui.alerts.empty()) << "the old version, started again, tells the user";

        ASSERT_TRUE(
            test::waitFor([&] { return fs::exists(sandbox / "old-restarted") && workDirectories().empty(); }, 20s));
        EXPECT_EQ(test::readFile(sandbox / "old-restarted"), "start");
        EXPECT_EQ(test::bundleBuild(bundle), "42");
        EXPECT_EQ(test::readFile(bundle / "Contents/Linux/Sandvoll"), "#!/bin/sh\n" + oldBody() + "\n");
        ASSERT_TRUE(test::waitFor(
            [&] { return std::distance(fs::directory_iterator(bundle.parent_path()), fs::directory_iterator()) == 1; }));

        // The next round's app and server.
        terminations = 0;
        app.begin();
        serverProcess->begin();
    }
}

TEST_F(InstallUpdate, TheNewVersionStartsOnlyOnceAnUnreapedAppAndAServerThatStaysHaveEnded)
{
    // The app ends but its parent never reaps it; its server ignores the
    // terminate signal.
    appLeftUnreaped = true;
    serverProcess = std::make_unique<StandIn>("trap '' TERM; exec sleep 600");
    ASSERT_TRUE(serverProcess->running());
    const auto serverState = sandbox / "server-state";
    const auto package = newPackage("read -r line < /proc/" + std::to_string(serverProcess->pid())
        + "/stat; printf %s \"${line##*) }\" | cut -c1 > '" + serverState.string() + "'\n" + showsItsWindow);
    publish(package, package);

    const auto started = std::chrono::steady_clock::now();
    checkAndAnswer();
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(serverState) && workDirectories().empty(); }, 30s));
    // The server had ten seconds to stop by itself, then it was stopped.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(test::readFile(serverState), "Z\n") << "ended, and waiting for its parent (this test)";
    EXPECT_EQ(test::bundleBuild(bundle), "43");
}

TEST_F(InstallUpdate, WhatTakesTheStagedNameMeanwhileIsLeftAsItWas)
{
    // Another program takes the staged bundle's name while the package is
    // unpacked, after the install chose it.
    auto taking = settings();
    fs::path taken;
    taking.runProgram = [&, run = taking.runProgram](const fs::path& program, const std::vector<std::string>& arguments) {
        if (taken.empty() && arguments.front() != "-Z1") {
            taken = planSwap(0, 0, bundle, arguments.back()).staged;
            test::writeFile(taken / "Contents/Info.plist", "someone else's");
        }
        return run(program, arguments);
    };
    updater = std::make_unique<Updater>(taking);
    const auto package = newPackage();
    publish(package, package);
    checkAndAnswer();

    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(ui.alerts, (std::vector<Alert> { { notInstalled, downloadText } }));
    EXPECT_EQ(test::readFile(taken / "Contents/Info.plist"), "someone else's");
    EXPECT_EQ(std::distance(fs::directory_iterator(taken), fs::directory_iterator()), 1);
    EXPECT_EQ(terminations, 0);
    EXPECT_FALSE(updater->working());
    EXPECT_TRUE(workDirectories().empty());
    EXPECT_EQ(test::bundleBuild(bundle), "42");
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle.parent_path()), fs::directory_iterator()), 2);
}

TEST_F(InstallUpdate, EveryBadDownloadEndsInOneMessageAndLeavesNothingBehind)
{
    const auto package = newPackage();
    auto flipped = package;
    flipped[flipped.size() / 2] ^= 0x01;
    const std::string notAZip = "signed, but not an archive";
    const std::string errorPage = "<!DOCTYPE html><html><body><h1>Service Unavailable</h1></body></html>";

    const std::vector<std::tuple<std::string, std::function<void()>, const char*>> cases {
        { "a flipped byte", [&] { publish(flipped, package); }, signatureText },
        { "another digest",
            [&] {
                announce(server.url("/Sandvoll.zip"), platform::sha256Hex(package + "x"), signature(package));
                server.route("/Sandvoll.zip", LoopbackHttpServer::html(package, 200));
            },
            signatureText },
        // The answer's status is not judged; an unsigned body is refused as such.
        { "an error page", [&] { publish(errorPage, package); }, signatureText },
        { "a 404", [&] { announce(server.url("/missing.zip"), platform::sha256Hex(package), signature(package)); },
            signatureText },
        { "a signed non-archive", [&] { publish(notAZip, notAZip); }, packageText },
        { "a refused connection",
            [&] {
                announce("http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()) + "/Sandvoll.zip",
                    platform::sha256Hex(package), signature(package));
            },
            downloadText },
    };
    for (const auto& [name, serve, text] : cases) {
        SCOPED_TRACE(name);
        ui.alerts.clear();
        serve();
        checkAndAnswer();
        expectNotInstalled(text);
    }
    EXPECT_TRUE(pageQuestions.empty()) << "a package that is not ready never troubles the page";
}

TEST_F(InstallUpdate, APageThatStaysEndsTheInstallWithNothingChangedAndNothingLeftBehind)
{
    const auto package = newPackage();
    publish(package, package);
    pageAnswer.reset();
    auto installing = test::startRecorded(updater->check(true));
    ASSERT_TRUE(test::waitFor([&] { return !pageQuestions.empty(); }, 30s));

    // Asked with the new bundle verified and staged beside the old one, and
    // before the swap lock, which would keep every launch waiting on the
    // person's answer.
    EXPECT_TRUE(updater->working());
    ASSERT_EQ(workDirectories().size(), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle.parent_path()), fs::directory_iterator()), 2);
    {
        const UniqueFd swapLock(::open(settings().instanceLocks.swap.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(swapLock);
        EXPECT_EQ(::flock(swapLock.get(), LOCK_EX | LOCK_NB), 0) << "a launch would wait";
    }
    EXPECT_FALSE(installing->done);

    // "Stay on Page": the install ends quietly, as if cancelled; the
    // engine's late word changes nothing.
    pageQuestions[0](false);
    pageQuestions[0](true);
    ASSERT_TRUE(test::waitFor([&] { return installing->done; }, 10s));
    EXPECT_EQ(pageQuestions.size(), 1u);
    EXPECT_TRUE(ui.alerts.empty());
    ui.alerts = { { notInstalled, downloadText } }; // what expectNotInstalled looks for
    expectNotInstalled(downloadText);
    EXPECT_FALSE(fs::exists(relaunched));

    // Offered again and accepted, with the page agreeing this time, it installs.
    pageAnswer = true;
    ui.alerts.clear();
    checkAndAnswer();
    EXPECT_EQ(pageQuestions.size(), 2u);
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(test::waitFor([&] { return fs::exists(relaunched) && workDirectories().empty(); }, 20s));
    EXPECT_EQ(test::bundleBuild(bundle), "43");
}

TEST_F(InstallUpdate, APackageAboveTheSizeLimitIsNotDownloaded)
{
    const auto package = newPackage();
    publish(package, package);
    auto limited = settings();
    limited.maxPackageBytes = package.size() - 1;
    updater = std::make_unique<Updater>(limited);
    checkAndAnswer();
    expectNotInstalled(downloadText);

    limited.maxPackageBytes = package.size();
    updater = std::make_unique<Updater>(limited);
    ui.alerts.clear();
    checkAndAnswer();
    EXPECT_TRUE(ui.alerts.empty());
    EXPECT_EQ(terminations, 1);
    // The script outlives the install; let it finish before the sandbox goes.
    EXPECT_TRUE(test::waitFor([&] { return fs::exists(relaunched) && workDirectories().empty(); }, 20s));
}

TEST_F(InstallUpdate, ChecksStandAsideWhileADownloadHangsUntilItsTimeout)
{
    announceHangingDownload();

    const auto started = std::chrono::steady_clock::now();
    auto installing = test::startRecorded(updater->check(true));
    ASSERT_TRUE(test::waitFor([&] { return server.requestCount("/Sandvoll.zip") == 1; }));
    EXPECT_TRUE(updater->working());

    // Neither kind of check does anything at all meanwhile.
    for (const bool manual : { true, false }) {
        auto record = test::runTask(updater->check(manual), 1s);
        EXPECT_TRUE(record->done);
    }
    EXPECT_EQ(server.requestCount("/update.json"), 1u);
    EXPECT_EQ(ui.shown(), 1u) << "only the offer";
    EXPECT_FALSE(installing->done);

    ASSERT_TRUE(test::waitFor([&] { return installing->done; }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1500ms);
    expectNotInstalled(downloadText);

    // Afterwards checks run as before.
    ui.answer = 1;
    checkAndAnswer();
    EXPECT_EQ(server.requestCount("/update.json"), 2u);
}

TEST_F(InstallUpdate, ADownloadThatStopsMidwayFailsAfterTheStallLimitOrWhenCancelled)
{
    const auto package = announceHangingDownload(1000);
    const auto started = std::chrono::steady_clock::now();
    checkAndAnswer();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1500ms);
    expectNotInstalled(downloadText);
    ASSERT_EQ(ui.progress.size(), 1u);
    EXPECT_EQ(ui.progress[0]->title, "Updating Sandvoll");
    EXPECT_EQ(ui.progress[0]->cancelButton, "Cancel");

    // The same download with the usual limit, cancelled by the user: it ends
    // at once, and nothing more is said.
    updater = std::make_unique<Updater>(settings());
    ui.alerts.clear();
    auto installing = test::startRecorded(updater->check(true));
    const auto sentSoFar = "Downloading Sandvoll 1.1.0\u2026 | " + transferredText(1000, package.size());
    ASSERT_TRUE(test::waitFor(
        [&] { return ui.progress.size() == 2 && !ui.progress[1]->lines.empty() && ui.progress[1]->lines.back() == sentSoFar; }));
    const auto cancelled = std::chrono::steady_clock::now();
    ui.progress[1]->cancel();
    ASSERT_TRUE(test::waitFor([&] { return installing->done; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 5s);
    ui.alerts = { { notInstalled, downloadText } }; // what expectNotInstalled looks for
    expectNotInstalled(downloadText);
}

TEST_F(InstallUpdate, ASecondAcceptedOfferDuringAnInstallationReturnsAtOnce)
{
    announceHangingDownload();

    // Two manual checks both get to an offer, and both offers are accepted.
    auto first = test::startRecorded(updater->check(true));
    auto second = test::startRecorded(updater->check(true));
    ASSERT_TRUE(test::waitFor([&] { return first->done || second->done; }));
    EXPECT_TRUE(updater->working()) << "the other installation still runs";
    EXPECT_EQ(ui.choices.size(), 2u);
    EXPECT_TRUE(ui.alerts.empty());

    ASSERT_TRUE(test::waitFor([&] { return first->done && second->done; }));
    EXPECT_EQ(server.requestCount("/Sandvoll.zip"), 1u);
    expectNotInstalled(downloadText);
}

TEST_F(InstallUpdate, ASwapScriptThatCannotStartLeavesTheAppRunning)
{
    auto noShell = settings();
    noShell.shell = sandbox / "no such shell";
    updater = std::make_unique<Updater>(noShell);
    const auto package = newPackage();
    publish(package, package);
    checkAndAnswer();
    expectNotInstalled(downloadText);
    EXPECT_FALSE(fs::exists(relaunched));
}

} // namespace
} // namespace sv
