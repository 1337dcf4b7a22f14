// The start-up road after the window shows: provisioning, the readiness
// probe and the first load, and the failure that ends the app. Real
// processes and loopback servers; only the window surface is recorded.

#include "app/app_delegate.h"
#include "app/status_page.h"
#include "platform/dispatch.h"
#include "platform/text.h"
#include "server/server_process.h"
#include "server/start_watch.h"
#include "setup/python_env.h"
#include "support/foreign_listener.h"
#include "support/loopback_http_server.h"
#include "support/recording_ui.h"
#include "support/recording_web.h"
#include "support/sandbox.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <fcntl.h>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
        delegate->readiness.probed = [this](bool up) {
            answers.push_back(up);
            probeTimes.push_back(std::chrono::steady_clock::now());
        };
        return delegate;
    }

    void TearDown() override
    {
        for (const ServerProcess& server : started) {
            // One the delegate has reaped is gone, and its id may be another's.
            if (server.livingPid() == 0)
                continue;
            ::kill(server.pid, SIGKILL);
            if (server.end->watched)
                EXPECT_TRUE(test::waitFor([&] { return server.livingPid() == 0; }));
            else
                ::waitpid(server.pid, nullptr, 0);
        }
    }

    // Has the delegate start `program` as its server, run by the real python3.
    void startServer(AppDelegate& delegate, const std::string& program)
    {
        test::writeFile(globals->project + "/start.py", program);
        std::filesystem::create_directories(std::filesystem::path(globals->python).parent_path());
        std::filesystem::create_symlink("/usr/bin/python3", globals->python);
        delegate.startServer();
        ASSERT_TRUE(delegate.server);
        keepForTearDown(*delegate.server);
    }

    // A server that says it starts, listens once the test opens the gate,
    // says so, and gives `statuses` in turn to its requests (the last one
    // from then on).
    std::string serverProgram(const std::string& statuses)
    {
        mkfifo(gate().c_str(), 0600);
        return "import http.server\n"
               "print('Starting', flush=True)\n"
               "open('" + gate() + "').read()\n"
               "statuses = [" + statuses + "]\n"
               "class Handler(http.server.BaseHTTPRequestHandler):\n"
               "    def do_GET(self):\n"
               "        self.send_response(statuses.pop(0) if len(statuses) > 1 else statuses[0])\n"
               "        self.send_header('Content-Length', '2')\n"
               "        self.end_headers()\n"
               "        self.wfile.write(b'{}')\n"
               "server = http.server.HTTPServer(('127.0.0.1', " + std::to_string(globals->port) + "), Handler)\n"
               "print('Serving', flush=True)\n"
               "server.serve_forever()\n";
    }

    // All but its line, whose last copy stops the server with the delegate.
    void keepForTearDown(const ServerProcess& server) { started.push_back({ server.pid, nullptr, server.end }); }

    std::string gate() const { return (sandbox / "gate").string(); }
    // Lets the server go on, once the first probe has been refused.
    void openGate()
    {
        ASSERT_TRUE(test::waitFor([&] { return answers.size() == 1; }));
        ASSERT_EQ(answers[0], false);
        ::close(::open(gate().c_str(), O_WRONLY | O_CLOEXEC)); // meets the server's open
    }

    test::Sandbox sandbox;
    test::RecordingUi ui;
    std::unique_ptr<Globals> globals;
    test::RecordingWeb* web = nullptr;
    int terminations = 0;
    int updaterStarts = 0;
    std::vector<bool> answers;
    std::vector<std::chrono::steady_clock::time_point> probeTimes;
    std::vector<ServerProcess> started;
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

TEST_F(Readiness, NothingListeningGivesExactly121ProbesAndOneMessage)
{
    // The app's own server writes to its log all the time but never
    // listens: every write is looked at, and none cuts a pause short.
    auto delegate = delegateFor(test::refusedLoopbackPort());
    delegate->readiness.pauseSeconds = 0.02;
    startServer(*delegate, "import time\nwhile True:\n    print('still starting', flush=True)\n    time.sleep(0.005)\n");
    delegate->waitAndLoad(0);
    ASSERT_TRUE(test::waitFor([&] { return !ui.alerts.empty(); }, std::chrono::seconds(60)));
    test::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(answers, std::vector<bool>(121, false));
    EXPECT_GE(probeTimes.back() - probeTimes.front(), 120 * std::chrono::milliseconds(20));
    EXPECT_GT(test::readFile(globals->support + "/server.log").size(), 100u); // it did write
    EXPECT_EQ(ui.alerts, (std::vector<test::RecordingUi::Alert> {
                             { "Sandvoll isn't responding", "Log: ~/Library/Application Support/Sandvoll/server.log" } }));
    EXPECT_TRUE(web->urls.empty());
}

TEST_F(Readiness, AServerTheAppStartedIsProbedAsSoonAsItListens)
{
    // A pause far longer than the wait: only the port opening can end it.
    auto delegate = delegateFor(test::refusedLoopbackPort());
    delegate->readiness.pauseSeconds = 60;
    startServer(*delegate, serverProgram("200"));
    delegate->waitAndLoad(0);
    openGate();
    ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
    EXPECT_EQ(answers, (std::vector<bool> { false, true }));
    EXPECT_EQ(web->urls, std::vector<std::string> { globals->appURL });
}

TEST_F(Readiness, AServerTheAppStartedThatEndsIsProbedAtOnce)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    delegate->readiness.pauseSeconds = 60;
    delegate->readiness.lastTry = 1;
    startServer(*delegate, "raise SystemExit(3)\n");
    const pid_t keeper = delegate->server->pid;
    delegate->waitAndLoad(0);
    ASSERT_TRUE(test::waitFor([&] { return !ui.alerts.empty(); }));
    EXPECT_EQ(answers, (std::vector<bool> { false, false }));
    EXPECT_EQ(ui.alerts[0].title, "Sandvoll isn't responding");
    // Its keeper is reaped while the app goes on, and nothing is started
    // in its place: no zombie, and no id that may be another's for an update.
    ASSERT_TRUE(delegate->server);
    EXPECT_TRUE(test::waitFor([&] { return delegate->server->livingPid() == 0; }));
    EXPECT_EQ(::waitpid(keeper, nullptr, WNOHANG), -1);
    EXPECT_EQ(delegate->server->pid, keeper);
}

TEST_F(Readiness, WhenItsServerEndsThePageMakesWayAndItsNextLoadStartsAfresh)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    startServer(*delegate, serverProgram("200"));
    delegate->waitAndLoad(0);
    openGate();
    ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
    const std::string jobs = globals->appURL + "jobs";
    delegate->loadCommitted(jobs);
    EXPECT_EQ(web->calls, std::vector<std::string> { "url " + globals->appURL });
    web->calls.clear();

    // Killed: the keeper takes the server with it.
    ::kill(delegate->server->pid, SIGKILL);
    ASSERT_TRUE(test::waitFor([&] { return !web->calls.empty(); }));
    EXPECT_EQ(web->calls, (std::vector<std::string> { "afresh", "html" }));
    EXPECT_EQ(web->htmls.back(), statusPageHTML(serverEndedText));
    // Reload brings back the page the line stands in for, and a Reload of
    // that page, each after a fresh start.
    delegate->reload();
    delegate->loadCommitted(jobs);
    delegate->reload();
    EXPECT_EQ(web->calls, (std::vector<std::string> { "afresh", "html", "afresh", "url " + jobs, "afresh", "reload" }));
    // Another address stands in for nothing, and loads as it would.
    const std::string elsewhere = "http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()) + "/";
    delegate->loadCommitted(elsewhere);
    delegate->reload();
    EXPECT_EQ(web->calls.back(), "reload");
    EXPECT_EQ(web->calls.size(), 7u);
    EXPECT_TRUE(ui.alerts.empty());
    EXPECT_FALSE(delegate->server->livingPid());
}

// Makes pidfd_open fail in this process, as it does under valgrind and on
// kernels before 5.3, unless it fails already. True when it now fails.
bool withoutPidfds()
{
    const int probe = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
    if (probe >= 0) {
        ::close(probe);
        sock_filter program[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog filter { static_cast<unsigned short>(std::size(program)), program };
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) != 0)
            return false;
    }
    return ::syscall(SYS_pidfd_open, ::getpid(), 0) < 0 && errno == ENOSYS;
}

TEST(ServerStartWatch, WithoutPidfdsTheEndOfAServersOutputEndsTheWait)
{
    // A process closes its files a moment before it can be seen to have
    // ended. The servers here stretch that moment: they close their output
    // and live on. Each waits at a gate until the watch is made; the gate
    // opens before the wait (the close is already queued when it begins) or
    // as it begins (the close comes while it polls).
    // The child ends with _Exit, which runs no destructor: the work (and its
    // sandbox) is done in a scope of its own that has closed by then.
    const auto seenIn = [] {
        test::Sandbox box;
        const std::string log = (box / "server.log").string(), gate = (box / "gate").string();
        if (!withoutPidfds() || ::mkfifo(gate.c_str(), 0600) != 0)
            return 2;
        const auto openGate = [&] { ::close(::open(gate.c_str(), O_WRONLY | O_CLOEXEC)); };
        // 0 when the end was seen, 1 when it was not, 3 when the server never closed its output.
        const auto watchOne = [&](const std::string& script, bool gateFirst) {
            const std::string program = "read _ < '" + gate + "'; " + script;
            const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::dup2(output, 1);
                ::dup2(output, 2);
                ::execl("/bin/sh", "sh", "-c", program.c_str(), nullptr);
                std::_Exit(127);
            }
            ::close(output);
            const ServerStartWatch watch(pid, log, test::refusedLoopbackPort());
            std::thread opener;
            bool closed = true;
            if (gateFirst) {
                openGate();
                closed = test::waitFor([&] { return std::filesystem::exists(box / "closed"); });
            } else {
                opener = std::thread(openGate);
            }
            const auto event = closed ? watch.waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(20))
                                      : ServerStartWatch::Event::none;
            if (opener.joinable())
                opener.join();
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            std::filesystem::remove(box / "closed");
            return !closed ? 3 : event == ServerStartWatch::Event::exited ? 0 : 1;
        };
        const std::string closeAndLive = "exec >&- 2>&-; : > '" + (box / "closed").string() + "'; exec sleep 60";
        if (const int seen = watchOne(closeAndLive, true))
            return seen == 3 ? 3 : 4;
        if (watchOne(closeAndLive, false))
            return 5;
        if (watchOne("exit 3", false))
            return 6;
        return 0;
    };
    const auto allSeen = [&] { std::_Exit(seenIn()); };
    // Earlier tests leave worker threads, which a forked copy would lack
    // while holding what they own; a fresh run of this program has none.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(allSeen(), ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}

TEST_F(Readiness, OnceItsPortIsOpenNotReadyAnswersGetTheFullPause)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    delegate->readiness.pauseSeconds = 0.2;
    startServer(*delegate, serverProgram("503, 503, 200"));
    delegate->waitAndLoad(0);
    openGate();
    ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
    // Refused until the port opens (once, or more on a slow machine), then
    // 503, 503 and 200, each a full pause or more after the one before.
    ASSERT_GE(answers.size(), 4u);
    const auto last = answers.size() - 1;
    EXPECT_EQ(std::vector<bool>(answers.end() - 3, answers.end()), (std::vector<bool> { false, false, true }));
    EXPECT_GE(probeTimes[last - 1] - probeTimes[last - 2], std::chrono::milliseconds(200));
    EXPECT_GE(probeTimes[last] - probeTimes[last - 1], std::chrono::milliseconds(200));
    EXPECT_EQ(web->urls, std::vector<std::string> { globals->appURL });
}

TEST_F(Readiness, TheServerStepAndThePagesWaitForTheFirstFrame)
{
    Server server;
    server.route("/api/state", Server::json("{\"jobs\":{}}"));
    auto delegate = delegateFor(server.port());
    test::writeFile(globals->python, "#!/bin/sh\nexit 0\n"); // an environment in step
    chmod(globals->python.c_str(), 0755);
    delegate->holdPagesUntilFirstFrame();
    delegate->showStatus(std::string(startingText));
    delegate->startupTask();
    bool stepped = false; // queued after the task's server step
    platform::mainAsync([&] { stepped = true; });
    ASSERT_TRUE(test::waitFor([&] { return stepped; }));
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(updaterStarts, 0);
    EXPECT_TRUE(web->htmls.empty());

    delegate->firstFrameShown();
    // The step's own probe is made before firstFrameShown returns; the
    // chain's first one, on a worker, may have come by now too.
    EXPECT_GE(server.requestCount("/api/state"), 1u);
    EXPECT_EQ(updaterStarts, 1);
    EXPECT_EQ(web->htmls, std::vector<std::string> { statusPageHTML(startingText) });
    ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
    EXPECT_EQ(web->urls, std::vector<std::string> { globals->appURL });
    delegate->showStatus("Installing Python packages…");
    EXPECT_EQ(web->htmls.size(), 1u); // no status line replaces the application's page
}

TEST_F(Readiness, TheServerStartsBeforeTheFirstFrameOnlyWhenProvisioningHasNothingToDo)
{
    // Two launches. The first copies new code, so its server waits for the
    // first frame; the second finds everything in step and starts the server
    // while the window is still being made. Either way the server is the
    // delegate's only from the first frame on, when the pages go too.
    const int port = test::refusedLoopbackPort();
    auto delegate = delegateFor(port);
    const std::string log = globals->support + "/server.log";
    test::writeFile(sandbox / "shipped/start.py", serverProgram("200"));
    test::writeFile(sandbox / "shipped/.stamp", "2\n");
    std::filesystem::create_directories(std::filesystem::path(globals->python).parent_path());
    std::filesystem::create_symlink("/usr/bin/python3", globals->python);
    test::writeFile(requirementsStampPath(*globals), ""); // no requirements file: its text is empty
    for (const bool inStep : { false, true }) {
        SCOPED_TRACE(inStep ? "in step" : "new code");
        if (inStep) {
            delegate.reset(); // quits: the server gets its signal
            ASSERT_TRUE(test::waitFor([&] { return !acceptsConnections(port, std::chrono::milliseconds(100)); }));
            std::filesystem::remove(log);
            answers.clear();
            delegate = delegateFor(port);
        }
        delegate->holdPagesUntilFirstFrame();
        delegate->startServerEarly();
        delegate->startupTask();
        bool stepped = false; // queued after the task's server step
        platform::mainAsync([&] { stepped = true; });
        ASSERT_TRUE(test::waitFor([&] { return stepped; }));
        if (inStep)
            EXPECT_TRUE(test::waitFor([&] { return test::readFile(log).starts_with("Starting"); }));
        else
            EXPECT_FALSE(std::filesystem::exists(log));
        EXPECT_FALSE(delegate->server);
        EXPECT_TRUE(answers.empty());
        EXPECT_TRUE(web->urls.empty());

        delegate->firstFrameShown();
        ASSERT_TRUE(delegate->server);
        keepForTearDown(*delegate->server);
        openGate(); // the first probe found the port closed
        ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
        EXPECT_EQ(web->urls, std::vector<std::string> { globals->appURL });
        EXPECT_EQ(updaterStarts, inStep ? 2 : 1);
        EXPECT_TRUE(ui.alerts.empty());
    }
}

TEST_F(Readiness, AServerThatCannotStartEarlyIsReportedAtTheFirstFrame)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    delegate->readiness.lastTry = 0;
    // Executable, so the environment looks in step, but no program the system can run.
    test::writeFile(globals->python, "not a program\n");
    chmod(globals->python.c_str(), 0755);
    test::writeFile(requirementsStampPath(*globals), "");
    delegate->holdPagesUntilFirstFrame();
    delegate->startServerEarly();
    delegate->startupTask();
    bool stepped = false;
    platform::mainAsync([&] { stepped = true; });
    ASSERT_TRUE(test::waitFor([&] { return stepped; }));
    EXPECT_TRUE(ui.alerts.empty());
    delegate->firstFrameShown();
    ASSERT_TRUE(test::waitFor([&] { return ui.alerts.size() == 2; }));
    EXPECT_EQ(ui.alerts[0].title, "The server couldn't start");
    EXPECT_TRUE(ui.alerts[0].text.ends_with("\n\nPython expected at:\n" + globals->python)) << ui.alerts[0].text;
    EXPECT_EQ(ui.alerts[1].title, "Sandvoll isn't responding");
    EXPECT_FALSE(delegate->server);
}

TEST_F(Readiness, TheFirstFrameLoadsTheLatestPageAskedFor)
{
    {
        auto delegate = delegateFor(test::refusedLoopbackPort());
        delegate->holdPagesUntilFirstFrame();
        delegate->showStatus(std::string(startingText));
        delegate->showStatus("Setting up Python (first start only)…");
        EXPECT_TRUE(web->htmls.empty());
        delegate->firstFrameShown();
        EXPECT_EQ(web->htmls, std::vector<std::string> { statusPageHTML("Setting up Python (first start only)…") });
    }
    auto delegate = delegateFor(test::refusedLoopbackPort());
    delegate->holdPagesUntilFirstFrame();
    delegate->showStatus(std::string(startingText));
    delegate->loadAppPage();
    delegate->showStatus("late");
    EXPECT_TRUE(web->urls.empty());
    delegate->firstFrameShown();
    // Nothing an earlier run stored answers for the server: it is all gone first.
    EXPECT_EQ(web->calls, (std::vector<std::string> { "afresh", "url " + globals->appURL }));
}

TEST_F(Readiness, AnotherAccountsServerGetsNoLoadAndNoBridgeAfterTheFirst)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a listener of another account takes root to make";
    auto foreign = std::make_optional<test::ForeignListener>("::");
    ASSERT_NE(foreign->port(), 0);
    auto delegate = delegateFor(foreign->port());
    const std::string app = globals->appURL, line = statusPageHTML(portHeldStatus(globals->port));
    // The readiness chain asks it nothing: the user is told at once, and
    // the chain ends there.
    delegate->waitAndLoad(0);
    ASSERT_TRUE(test::waitFor([&] { return ui.alerts.size() == 1; }));
    EXPECT_EQ(answers, std::vector<bool> { false });
    EXPECT_EQ(ui.alerts[0], (test::RecordingUi::Alert { portHeldTitle(globals->port), portHeldText(globals->port) }));
    EXPECT_FALSE(delegate->serverUp());
    ui.alerts.clear();
    const auto otherPort = "http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()) + "/";
    delegate->loadAppPage(); // our page, shown before the port changed hands
    const auto asked = [&](platform::NavigationType type, const std::string& url) {
        platform::NavigationAction action;
        action.type = type;
        action.url = url;
        action.scheme = platform::urlScheme(url);
        action.host = platform::parseURL(url)->host;
        action.userGesture = true;
        return delegate->decideNavigation(action);
    };
    // Each kind of navigation to any address on the port, in its canonical form.
    using enum platform::NavigationType;
    for (const auto type : { reload, backForward, linkActivated, other, formSubmitted })
        EXPECT_FALSE(asked(type, app)) << static_cast<int>(type);
    EXPECT_FALSE(asked(linkActivated, app + "jobs?id=3"));
    EXPECT_FALSE(asked(reload, "http://user@127.0.0.1:" + std::to_string(globals->port) + "/"));
    EXPECT_TRUE(asked(reload, otherPort));
    EXPECT_TRUE(asked(other, "about:blank"));
    ASSERT_TRUE(test::waitFor([&] { return ui.alerts.size() == 7; })) << ui.alerts.size();
    EXPECT_EQ(ui.alerts[0], (test::RecordingUi::Alert { portHeldTitle(globals->port), portHeldText(globals->port) }));
    EXPECT_EQ(web->htmls.back(), line);

    // A refusal while the box is open shows no second box.
    bool refusedWhileOpen = false;
    ui.whileAlertShows = [&](const test::RecordingUi::Alert&) {
        if (std::exchange(refusedWhileOpen, true))
            return;
        const auto lines = web->htmls.size();
        EXPECT_FALSE(asked(reload, app));
        EXPECT_TRUE(test::waitFor([&] { return web->htmls.size() > lines; }));
    };
    // The port changed hands between the decision and the answer: the
    // page's document gets no bridge, and its line replaces it.
    delegate->loadCommitted(app);
    EXPECT_FALSE(delegate->bridgeOpen());
    // The refusal made while it was open has been answered by then.
    ASSERT_TRUE(test::waitFor([&] { return ui.alerts.size() == 8; }));
    ui.whileAlertShows = nullptr;

    // Reload tries the page the line stands in for; nothing tried it before.
    delegate->reload();
    EXPECT_EQ(web->urls, (std::vector<std::string> { app, app }));
    EXPECT_EQ(web->reloads, 0);
    foreign.reset();
    EXPECT_TRUE(asked(reload, app));
    delegate->loadCommitted(app);
    EXPECT_TRUE(delegate->bridgeOpen());
    delegate->loadCommitted("about:blank");
    EXPECT_FALSE(delegate->bridgeOpen());
    delegate->reload();
    EXPECT_EQ(web->reloads, 1);
    EXPECT_EQ(ui.alerts.size(), 8u);
}

TEST_F(Readiness, AnEndedRendererGetsItsPageBackUntilTheThirdEndInAMinute)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    const std::string jobs = globals->appURL + "jobs";
    delegate->showStatus("Installing Python packages…");
    delegate->webProcessEnded();
    EXPECT_EQ(web->htmls, std::vector<std::string>(2, statusPageHTML("Installing Python packages…")));
    delegate->loadAppPage();
    delegate->loadCommitted(jobs); // the page has moved on
    delegate->webProcessEnded();
    EXPECT_EQ(web->urls, (std::vector<std::string> { globals->appURL, jobs }));
    delegate->webProcessEnded();
    EXPECT_EQ(web->htmls.back(), statusPageHTML(pageStoppedText));
    delegate->webProcessEnded(); // the line's own renderer: nothing more
    EXPECT_EQ(web->htmls.size(), 3u);
    EXPECT_EQ(web->urls.size(), 2u);

    // The user's Reload starts afresh, with the page the line replaced.
    delegate->reload();
    EXPECT_EQ(web->urls.back(), jobs);
    delegate->webProcessEnded();
    delegate->webProcessEnded();
    EXPECT_EQ(web->urls.size(), 5u);
    EXPECT_EQ(web->htmls.size(), 3u);
    EXPECT_TRUE(ui.alerts.empty());

    // The minute slides: only the ends inside it count.
    RendererEnds ends;
    const auto start = RendererEnds::Clock::now();
    EXPECT_TRUE(ends.mayReload(start));
    EXPECT_TRUE(ends.mayReload(start + std::chrono::seconds(30)));
    EXPECT_TRUE(ends.mayReload(start + std::chrono::seconds(60)));
    EXPECT_FALSE(ends.mayReload(start + std::chrono::milliseconds(89999)));
    EXPECT_TRUE(ends.mayReload(start + std::chrono::seconds(150)));
}

TEST_F(Readiness, StartupWithAServerAlreadyAnsweringStartsNothing)
{
    Server server;
    server.route("/api/state", Server::json("{\"jobs\":{}}"));
    // Asked at the first frame, and asked before it.
    for (const bool early : { false, true }) {
        SCOPED_TRACE(early ? "early" : "at the first frame");
        auto delegate = delegateFor(server.port());
        // An environment in step: the interpreter exists and the requirements match.
        test::writeFile(globals->python, "#!/bin/sh\nexit 0\n");
        chmod(globals->python.c_str(), 0755);
        test::writeFile(requirementsStampPath(*globals), "");
        if (early)
            delegate->startServerEarly();
        delegate->startupTask();
        ASSERT_TRUE(test::waitFor([&] { return !web->urls.empty(); }));
        EXPECT_FALSE(delegate->server);
        EXPECT_FALSE(std::filesystem::exists(globals->support + "/server.log"));
        EXPECT_EQ(updaterStarts, early ? 2 : 1);
        EXPECT_TRUE(web->htmls.empty()); // no provisioning line
        EXPECT_TRUE(ui.alerts.empty());
        web->urls.clear();
    }
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
    EXPECT_TRUE(web->leaveQuestions.empty()) << "the start-up error's quit asks nothing";
}

TEST_F(Readiness, QuitAndClosingTheWindowEndTheAppOnlyOnceThePageAgrees)
{
    auto delegate = delegateFor(test::refusedLoopbackPort());
    for (const bool closing : { false, true }) {
        SCOPED_TRACE(closing ? "closing the window" : "Quit");
        const auto request = [&] { closing ? delegate->windowCloseRequested() : delegate->quit(); };
        web->leaveQuestions.clear();
        terminations = 0;

        request();
        ASSERT_EQ(web->leaveQuestions.size(), 1u);
        EXPECT_EQ(terminations, 0);
        // Asked again while the page's dialog is open: nothing more.
        request();
        delegate->quit();
        delegate->windowCloseRequested();
        EXPECT_EQ(web->leaveQuestions.size(), 1u);

        // "Stay": the app goes on, and the next request asks again.
        web->leaveQuestions[0](false);
        EXPECT_EQ(terminations, 0);
        request();
        ASSERT_EQ(web->leaveQuestions.size(), 2u);
        // "Leave": the app ends, once.
        web->leaveQuestions[1](true);
        EXPECT_EQ(terminations, 1);
    }
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
