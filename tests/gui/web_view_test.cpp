// The real web engine in a real window: what the page sees of the app.

#include "app/app_delegate.h"
#include "app/status_page.h"
#include "platform/application.h"
#include "platform/web_view.h"
#include "platform/window.h"
#include "support/wait.h"

#include <gtest/gtest.h>

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
        config.onMessage = [this](const platform::ScriptMessage& m) { messages.push_back(m); };
        config.mediaNeedsUserAction = false;
        config.onLoadFinished = [this](const std::string&) { ++loadsFinished; };
        view = platform::WebView::create(std::move(config));
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

    std::string eval(const std::string& script)
    {
        std::optional<std::optional<std::string>> result;
        view->evaluateJavaScript(script, [&](std::optional<std::string> value) { result = std::move(value); });
        if (!test::waitFor([&] { return result.has_value(); }, std::chrono::seconds(20)))
            return "<timeout>";
        return result->value_or("<exception>");
    }

    std::unique_ptr<platform::WebView> view;
    std::unique_ptr<platform::Window> window;
    std::vector<platform::ScriptMessage> messages;
    int loadsFinished = 0;
};

TEST_F(RealWebView, StatusPageShowsTheLineAsTextWithTheAppGlobal)
{
    open();
    load(statusPageHTML("Installing <b>packages</b> & more…"));
    EXPECT_EQ(eval("document.body.textContent"), "\"Installing <b>packages</b> & more…\"");
    EXPECT_EQ(eval("document.body.children.length"), "0"); // no markup got through
    EXPECT_EQ(eval("getComputedStyle(document.body).color"), "\"rgb(136, 136, 136)\"");
    EXPECT_EQ(eval("getComputedStyle(document.body).fontSize"), "\"15px\"");
    EXPECT_EQ(eval("getComputedStyle(document.body).placeItems"), "\"center\"");
    EXPECT_EQ(eval("window.SV_APP.version"), "\"3.1 beta\"");
    EXPECT_EQ(eval("window.SV_APP.build"), "77");
}

TEST_F(RealWebView, AppGlobalIsSetBeforePageScriptsAndOnlyInTheTopFrame)
{
    open();
    load("<script>window.seenAtStart = JSON.stringify(window.SV_APP);</script>"
         "<iframe srcdoc='<p>inner</p>'></iframe>");
    EXPECT_EQ(eval("window.seenAtStart"), "\"{\\\"version\\\":\\\"3.1 beta\\\",\\\"build\\\":77}\"");
    ASSERT_TRUE(test::waitFor([&] {
        return eval("document.querySelector('iframe').contentDocument.readyState") == "\"complete\"";
    }));
    EXPECT_EQ(eval("typeof document.querySelector('iframe').contentWindow.SV_APP"), "\"undefined\"");
}

TEST_F(RealWebView, PagePostsReachTheHandlerWithStringBodiesOnly)
{
    open();
    load("<p>page</p>");
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

} // namespace
} // namespace sv
