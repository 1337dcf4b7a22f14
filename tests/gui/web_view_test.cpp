// The real web engine in a real window: what the page sees of the app.

#include "app/app_delegate.h"
#include "app/status_page.h"
#include "platform/application.h"
#include "platform/web_view.h"
#include "platform/window.h"
#include "support/loopback_http_server.h"
#include "support/recording_ui.h"
#include "support/sandbox.h"
#include "support/wait.h"

#include <glib.h>
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

namespace sv {
namespace {

class RealWebView : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(platform::initToolkit()) << "these tests need a display"; }

    void open(platform::WebViewConfig config = {})
    {
        if (config.userScript.empty())
            config.userScript = userScriptSource("3.1 beta", 77);
        config.messageHandler = messageHandlerName;
        // This test's server plays the app's: its origin is the one that may post.
        config.appOrigin = "http://127.0.0.1:" + std::to_string(server.port());
        config.onMessage = [this](const platform::ScriptMessage& m) {
            messages.push_back(m);
            events.push_back("message " + m.body.value_or(""));
        };
        config.mediaNeedsUserAction = false;
        config.onLoadFinished = [this](const std::string&) { ++loadsFinished; };
        config.onLoadCommitted = [this](const std::string& url) { events.push_back("commit " + url); };
        view = platform::WebView::create(std::move(config));
        // As the app does at each launch: nothing an earlier test's server
        // left in the engine's store answers in this one's place.
        view->startAfresh();
        platform::WindowSpec spec { windowTitle, 800, 600, 400, 300, {} };
        window = platform::Window::create(spec, *view);
        window->present();
    }

    // Loads HTML and waits until the document has finished parsing.
    void load(const std::string& html)
    {
        const int before = loadsFinished;
        view->loadHTML(html);
        ASSERT_TRUE(test::waitFor([&] { return loadsFinished > before; }, std::chrono::seconds(20)));
    }

    // Loads an address and waits until the load has finished.
    void visit(const std::string& url)
    {
        const int before = loadsFinished;
        view->loadURL(url);
        ASSERT_TRUE(test::waitFor([&] { return loadsFinished > before; }, std::chrono::seconds(20)));
    }

    // The same server under another origin: "localhost" is not "127.0.0.1".
    std::string otherOrigin(const std::string& path) const
    {
        return "http://localhost:" + std::to_string(server.port()) + path;
    }

    // Posts a word from the app's page and waits until it has arrived: every
    // post made before it has been delivered or dropped by then.
    std::vector<std::string> bodiesUpTo(const std::string& marker)
    {
        eval("window.webkit.messageHandlers.sv.postMessage('" + marker + "'); 1");
        test::waitFor([&] { return !messages.empty() && messages.back().body == marker; });
        std::vector<std::string> bodies;
        for (const auto& m : messages)
            bodies.push_back(m.body.value_or("<not a string>"));
        return bodies;
    }

    std::string eval(const std::string& script)
    {
        std::optional<std::optional<std::string>> result;
        view->evaluateJavaScript(script, [&](std::optional<std::string> value) { result = std::move(value); });
        if (!test::waitFor([&] { return result.has_value(); }, std::chrono::seconds(20)))
            return "<timeout>";
        return result->value_or("<exception>");
    }

    // Focuses the window with this title and gives it xdotool's key
    // commands ("keydown Return"): real key events from the display server,
    // taken by the view as they come while the main loop runs.
    static bool keys(const std::string& title, const std::string& commands)
    {
        const std::string line
            = "xdotool search --sync --onlyvisible --name '^" + title + "$' windowfocus --sync " + commands;
        auto status = std::async(std::launch::async, [line] { return std::system(line.c_str()); });
        test::waitFor([&] { return status.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::seconds(30));
        return status.get() == 0;
    }

    test::LoopbackHttpServer server;
    std::unique_ptr<platform::WebView> view;
    std::unique_ptr<platform::Window> window;
    std::vector<platform::ScriptMessage> messages;
    // Commits and messages, in the order the app is told of them.
    std::vector<std::string> events;
    int loadsFinished = 0;
};

TEST_F(RealWebView, StatusPageShowsTheLineAsText)
{
    open();
    load(statusPageHTML("Installing <b>packages</b> & more…"));
    EXPECT_EQ(eval("document.body.textContent"), "\"Installing <b>packages</b> & more…\"");
    EXPECT_EQ(eval("document.body.children.length"), "0"); // no markup got through
    EXPECT_EQ(eval("getComputedStyle(document.body).color"), "\"rgb(136, 136, 136)\"");
    EXPECT_EQ(eval("getComputedStyle(document.body).fontSize"), "\"15px\"");
    EXPECT_EQ(eval("getComputedStyle(document.body).placeItems"), "\"center\"");
}

TEST_F(RealWebView, AppGlobalIsSetBeforePageScriptsOnlyInTheTopFrameOfTheAppsOrigin)
{
    const std::string page = "<script>window.seenAtStart = JSON.stringify(window.SV_APP);</script>"
                             "<iframe srcdoc='<p>inner</p>'></iframe>";
    test::LoopbackHttpServer otherPort;
    server.route("/", test::LoopbackHttpServer::html(page, 200));
    otherPort.route("/", test::LoopbackHttpServer::html(page, 200));
    open();
    visit(server.url("/"));
    EXPECT_EQ(eval("window.seenAtStart"), "\"{\\\"version\\\":\\\"3.1 beta\\\",\\\"build\\\":77}\"");
    ASSERT_TRUE(test::waitFor([&] {
        return eval("document.querySelector('iframe').contentDocument.readyState") == "\"complete\"";
    }));
    EXPECT_EQ(eval("typeof document.querySelector('iframe').contentWindow.SV_APP"), "\"undefined\"");

    // Another server on the same host, another name for the app's server,
    // and HTML without an address (the status page's kind) get nothing.
    for (const std::string& url : { otherPort.url("/"), otherOrigin("/"), std::string() }) {
        if (url.empty())
            load(page);
        else
            visit(url);
        EXPECT_EQ(eval("[typeof window.SV_APP, typeof window.seenAtStart].join()"), "\"undefined,undefined\"")
            << (url.empty() ? "HTML" : url);
    }
}

TEST_F(RealWebView, StartingAfreshClosesEveryKeptConnection)
{
    // (That it forgets service workers is shown on the real app, with one
    // an earlier run planted: e2e test_startup.)
    open();
    // A program that answered over a kept connection and then stopped
    // listening gets the next load over that connection, until the view
    // starts afresh: then a reload finds nothing listening.
    test::LoopbackHttpServer gone;
    auto once = test::LoopbackHttpServer::html("<p>answered</p>", 200);
    once.keepAlive = true;
    once.thenStopListening = true;
    gone.route("/", once);
    visit(gone.url("/"));
    visit(gone.url("/"));
    ASSERT_EQ(gone.requestCount("/"), 2u) << "the engine kept the connection";
    view->startAfresh();
    const int before = loadsFinished;
    view->reload();
    ASSERT_TRUE(test::waitFor([&] { return loadsFinished > before; }, std::chrono::seconds(20)));
    EXPECT_EQ(gone.requestCount("/"), 2u);
}

TEST_F(RealWebView, PagePostsReachTheHandlerWithStringBodiesOnly)
{
    // The app hears of a document's commit before anything it posts, even
    // from its first script: the second look at the port's owner rests on it.
    server.route("/", test::LoopbackHttpServer::html(
        "<script>window.webkit.messageHandlers.sv.postMessage('parsing');</script><p>page</p>", 200));
    open();
    visit(server.url("/"));
    ASSERT_TRUE(test::waitFor([&] { return messages.size() == 1; }));
    EXPECT_EQ(events, (std::vector<std::string> { "commit " + server.url("/"), "message parsing" }));
    messages.clear();
    eval("window.webkit.messageHandlers.sv.postMessage('checkUpdates'); "
         "window.webkit.messageHandlers.sv.postMessage({a: 'checkUpdates'}); "
         "window.webkit.messageHandlers.sv.postMessage(42); 1");
    ASSERT_TRUE(test::waitFor([&] { return messages.size() == 3; }));
    EXPECT_EQ(messages[0].name, "sv");
    EXPECT_EQ(messages[0].body, "checkUpdates");
    EXPECT_EQ(messages[1].body, std::nullopt);
    EXPECT_EQ(messages[2].body, std::nullopt);
    // Only "sv" is registered.
    EXPECT_EQ(eval("typeof window.webkit.messageHandlers.other"), "\"undefined\"");
}

TEST_F(RealWebView, OnlyTheTopFrameOfTheAppsOriginReachesTheHandler)
{
    // A cross-origin frame tries every way it has: the handler, the
    // bridge's own event on the parent's document, a message to the parent.
    const std::string attempts = "<script>"
        "const tried = [typeof window.webkit];"
        "try { window.webkit.messageHandlers.sv.postMessage('checkUpdates'); } catch (e) { tried.push('no handler'); }"
        "try { parent.document.dispatchEvent(new CustomEvent('sandvoll-bridge-message', { detail: 'checkUpdates' })); }"
        " catch (e) { tried.push('no parent document'); }"
        "document.dispatchEvent(new CustomEvent('sandvoll-bridge-message', { detail: 'checkUpdates' }));"
        "parent.postMessage('checkUpdates', '*');"
        "parent.postMessage(JSON.stringify(tried), '*');"
        "</script>";
    server.route("/frame", test::LoopbackHttpServer::html(attempts, 200));
    server.route("/other", test::LoopbackHttpServer::html(attempts, 200));
    server.route("/", test::LoopbackHttpServer::html(
        "<script>addEventListener('message', (e) => { if (e.data.startsWith('[')) window.frameTried = e.data; });"
        "</script><iframe src='" + otherOrigin("/frame") + "'></iframe>", 200));
    open();
    visit(server.url("/"));
    ASSERT_TRUE(test::waitFor([&] { return eval("typeof window.frameTried") == "\"string\""; }));
    EXPECT_EQ(eval("window.frameTried"), "\"[\\\"undefined\\\",\\\"no handler\\\",\\\"no parent document\\\"]\"");
    EXPECT_EQ(bodiesUpTo("first"), std::vector<std::string> { "first" });

    // A page on another origin, in the top frame, has no way in either.
    visit(otherOrigin("/other"));
    EXPECT_EQ(eval("typeof window.webkit"), "\"undefined\"");
    visit(server.url("/"));
    EXPECT_EQ(bodiesUpTo("second"), (std::vector<std::string> { "first", "second" }));
}

TEST_F(RealWebView, AScriptMadeClickIsNoUserActionAndAHeldKeyIsOnePress)
{
    // The page's own script clicks, once it has loaded. (A script the app
    // runs in the page counts as the user's, so the page must do it.)
    server.route("/", test::LoopbackHttpServer::html("<a id='out' href='https://example.org/scripted'>out</a>"
        "<a id='key' href='https://example.org/key'>key</a>"
        "<script>addEventListener('load', () => setTimeout(() => document.getElementById('out').click(), 0));"
        "</script>", 200));
    std::vector<platform::NavigationAction> asked;
    platform::WebViewConfig config;
    config.decideNavigation = [&](const platform::NavigationAction& action) {
        asked.push_back(action);
        return action.type != platform::NavigationType::linkActivated;
    };
    open(std::move(config));
    view->loadURL(server.url("/"));
    ASSERT_TRUE(test::waitFor([&] { return asked.size() == 2; }));
    EXPECT_EQ(asked[0].url, server.url("/"));
    EXPECT_EQ(asked[1].type, platform::NavigationType::linkActivated);
    EXPECT_EQ(asked[1].url, "https://example.org/scripted");
    EXPECT_FALSE(asked[1].userGesture);

    // Enter held on a focused link for a second follows it again at the
    // display server's repeats: all of it is one press.
    const auto presses = [&] {
        std::vector<platform::UserInput*> inputs;
        for (const auto& action : asked) {
            if (action.url == "https://example.org/key")
                inputs.push_back(action.input.get());
        }
        return inputs;
    };
    eval("document.getElementById('key').focus(); 1");
    ASSERT_TRUE(keys(windowTitle, "keydown Return sleep 1 keyup Return"));
    // The page has handled every key once it answers a script sent after them.
    eval("1");
    const auto held = presses();
    ASSERT_GE(held.size(), 2u);
    EXPECT_NE(held[0], nullptr);
    EXPECT_EQ(std::count(held.begin(), held.end(), held[0]), static_cast<std::ptrdiff_t>(held.size()));

    // Let go while another window has the focus, the key is not held when
    // it comes back: its next press is a new one.
    GtkWidget* elsewhere = gtk_window_new();
    gtk_window_set_title(GTK_WINDOW(elsewhere), "Elsewhere");
    gtk_window_set_default_size(GTK_WINDOW(elsewhere), 200, 100);
    gtk_window_present(GTK_WINDOW(elsewhere));
    ASSERT_TRUE(keys(windowTitle, "keydown Return"));
    ASSERT_TRUE(test::waitFor([&] { return presses().size() == held.size() + 1; }));
    ASSERT_TRUE(keys("Elsewhere", "keyup Return"));
    ASSERT_TRUE(keys(windowTitle, "key Return"));
    gtk_window_destroy(GTK_WINDOW(elsewhere));
    ASSERT_TRUE(test::waitFor([&] { return presses().size() == held.size() + 2; }));
    EXPECT_NE(presses()[held.size()], held.back());
    EXPECT_NE(presses()[held.size() + 1], presses()[held.size()]);
}

TEST_F(RealWebView, ADownloadWaitsForTheSaveDialogAndCancelWritesNothing)
{
    test::RecordingUi ui;
    test::Sandbox box;
    test::LoopbackHttpServer::Response attachment = test::LoopbackHttpServer::html("the report\n", 200);
    attachment.contentType = "text/plain";
    attachment.headers.push_back({ "Content-Disposition", "attachment; filename=\"../report.txt\"" });
    server.route("/report", attachment);
    server.route("/", test::LoopbackHttpServer::html("<p>page</p>", 200));
    open();
    visit(server.url("/"));

    // Where the engine would have saved it by itself.
    const std::filesystem::path downloads = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD)
        ? g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD)
        : g_get_home_dir();
    const auto nothingSaved = [&] {
        return !std::filesystem::exists(downloads / "report.txt") && std::filesystem::is_empty(box.path());
    };
    ASSERT_TRUE(nothingSaved()) << "left over from an earlier run";

    for (const bool save : { false, true }) {
        const std::size_t before = ui.saveRequests.size();
        eval("location.href = '/report'; 1");
        ASSERT_TRUE(test::waitFor([&] { return ui.saveRequests.size() > before; }));
        EXPECT_EQ(ui.saveRequests.back().suggestedName, "report.txt");
        EXPECT_EQ(server.requestCount("/report"), before + 1);
        // The response is in; still nothing is written while the dialog is open.
        test::waitFor([] { return false; }, std::chrono::milliseconds(300));
        EXPECT_TRUE(nothingSaved());
        ui.saveRequests.back().answer(save ? std::optional<std::string>((box / "chosen.txt").string()) : std::nullopt);
    }
    ASSERT_TRUE(test::waitFor([&] {
        return std::filesystem::exists(box / "chosen.txt") && test::readFile(box / "chosen.txt") == "the report\n";
    }));
    EXPECT_FALSE(std::filesystem::exists(downloads / "report.txt")) << "the cancelled one wrote nothing";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.path()), {}), 1);
}

TEST_F(RealWebView, AskingThePageToLeaveRunsItsHandlersAndWaitsForThePersonOnlyWhereOneObjects)
{
    server.route("/plain", test::LoopbackHttpServer::html("<p>nothing to lose</p>", 200));
    server.route("/quiet", test::LoopbackHttpServer::html(
        "<script>addEventListener('beforeunload', () => { window.handlerRan = true; });</script>", 200));
    // Its handler may first be busy for a while, as a page running a long
    // script is: longer than the engine waits before it gives up on a page.
    server.route("/unsaved", test::LoopbackHttpServer::html("<script>window.busyFor = 0; window.unsaved = (e) => { "
        "const until = Date.now() + busyFor; while (Date.now() < until); e.preventDefault(); e.returnValue = ''; }; "
        "addEventListener('beforeunload', unsaved);</script>", 200));
    test::RecordingUi ui;
    open();
    // Shared with the questions, which may outlive a test that failed.
    auto told = std::make_shared<std::vector<bool>>();
    auto& answers = *told;
    const auto ask = [&] { view->askToLeave([told](bool leave) { told->push_back(leave); }); };

    // Nothing listens: the answer is there before the question returns.
    visit(server.url("/plain"));
    ask();
    EXPECT_EQ(answers, std::vector<bool> { true });

    // One that objects: the person is asked and the page waits; a second
    // question meanwhile shares the answer and asks nobody again.
    visit(server.url("/unsaved"));
    // The engine asks only on behalf of a page the person has used; a
    // script the app runs counts as such use.
    eval("1");
    for (const int busyFor : { 0, 300 }) {
        eval("busyFor = " + std::to_string(busyFor) + "; 1");
        for (const bool leave : { false, true }) {
            SCOPED_TRACE(std::string(leave ? "Leave Page" : "Stay on Page") + ", busy for " + std::to_string(busyFor));
            answers.clear();
            ui.choices.clear();
            ui.laterAnswers.clear();
            ask();
            ASSERT_TRUE(test::waitFor([&] { return !ui.laterAnswers.empty(); }));
            ask();
            EXPECT_FALSE(test::waitFor([&] { return !answers.empty(); }, std::chrono::milliseconds(500)))
                << "the answer waits for the person";
            ASSERT_EQ(ui.choices.size(), 1u);
            EXPECT_EQ(ui.choices[0].title, "Leave this page?");
            EXPECT_EQ(ui.choices[0].buttons, (std::vector<std::string> { "Stay on Page", "Leave Page" }));
            ui.laterAnswers[0](leave ? 1 : 0);
            ASSERT_TRUE(test::waitFor([&] { return answers.size() == 2; }));
            EXPECT_EQ(answers, std::vector<bool>(2, leave));
            // The page is still there to use.
            EXPECT_EQ(eval("1 + 1"), "2");
        }
    }

    // Once the page lets go of its handler (its work saved), it answers at
    // once again.
    eval("removeEventListener('beforeunload', unsaved); 1");
    answers.clear();
    ask();
    EXPECT_EQ(answers, std::vector<bool> { true });

    // A handler that does not object: yes, once it has run in the page.
    visit(server.url("/quiet"));
    answers.clear();
    ask();
    EXPECT_TRUE(answers.empty());
    ASSERT_TRUE(test::waitFor([&] { return !answers.empty(); }));
    EXPECT_EQ(answers, std::vector<bool> { true });
    EXPECT_EQ(eval("window.handlerRan"), "true");
}

} // namespace
} // namespace sv
