#include "platform/application.h"
#include "platform/menu.h"
#include "platform/web_view.h"
#include "platform/window.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <chrono>

namespace sv {
namespace {

using namespace std::chrono_literals;

// Runs body inside a real application's launch callback, as the app's own
// launch code runs. The run ends when body returns with no window left.
void insideApplication(const std::function<void()>& body)
{
    bool ran = false;
    platform::runApplication("org.sandvoll.MenuTest", [&] {
        ran = true;
        body();
    });
    ASSERT_TRUE(ran);
}

TEST(MenuBar, InstallsTheDescribedMenusWithCtrlShortcutsAndActions)
{
    std::vector<std::string> chosen;
    std::vector<std::string> shown;
    bool activatedMissing = true;
    bool installed = false;
    std::string appMenu;
    insideApplication([&] {
        auto item = [&](std::string title, char key) {
            return platform::MenuItem { title, key, [&chosen, title] { chosen.push_back(title); } };
        };
        installed = platform::installMenuBar({
            { "", { { item("About Sandvoll", 0), item("Check for Updates…", 0) }, { item("Quit Sandvoll", 'q') } } },
            { "Edit", { { item("Cut", 'x'), item("Copy", 'c'), item("Paste", 'v'), item("Select All", 'a') } } },
            { "View", { { item("Reload", 'r') } } },
        });
        shown = platform::describeMenuBar();
        ASSERT_FALSE(shown.empty());
        appMenu = shown[0].substr(0, shown[0].find(" > "));
        EXPECT_TRUE(platform::activateMenuItem("Edit", "Paste"));
        EXPECT_TRUE(platform::activateMenuItem(appMenu, "Check for Updates…"));
        activatedMissing = platform::activateMenuItem("Edit", "Undo");
        // Actions run where the toolkit dispatches them: on the main loop.
        test::waitFor([&] { return chosen.size() == 2; }, 2s);
    });
    EXPECT_TRUE(installed);
    // The untitled application menu shows the program's name (here the
    // test's own, in the app "Sandvoll").
    EXPECT_FALSE(appMenu.empty());
    EXPECT_NE(appMenu, "Edit");
    EXPECT_EQ(shown,
        (std::vector<std::string> {
            appMenu + " > About Sandvoll",
            appMenu + " > Check for Updates…",
            appMenu + " > ---",
            appMenu + " > Quit Sandvoll [<Control>q]",
            "Edit > Cut [<Control>x]",
            "Edit > Copy [<Control>c]",
            "Edit > Paste [<Control>v]",
            "Edit > Select All [<Control>a]",
            "View > Reload [<Control>r]",
        }));
    EXPECT_EQ(chosen, (std::vector<std::string> { "Paste", "Check for Updates…" }));
    EXPECT_FALSE(activatedMissing);
}

TEST(WebViewEditing, SelectAllCopyAndPasteActOnTheFocusedField)
{
    std::optional<std::string> copied;
    insideApplication([&] {
        auto view = platform::WebView::create({});
        auto window = platform::Window::create({ "Editing", 640, 480, 320, 240, {} }, *view);
        window->present();
        view->loadHTML("<input id=a value='hello there'><input id=b>");
        auto evaluate = [&](const std::string& script) {
            std::optional<std::string> result;
            bool done = false;
            view->evaluateJavaScript(script, [&](std::optional<std::string> value) {
                result = std::move(value);
                done = true;
            });
            test::waitFor([&] { return done; }, 10s);
            return result;
        };
        ASSERT_TRUE(test::waitFor([&] { return evaluate("document.getElementById('a') !== null") == "true"; }, 20s));

        evaluate("document.getElementById('a').focus()");
        view->selectAll();
        view->copy();
        evaluate("document.getElementById('b').focus()");
        view->paste();
        test::waitFor([&] { return evaluate("document.getElementById('b').value") == "\"hello there\""; }, 5s);
        copied = evaluate("document.getElementById('b').value");

        view->selectAll();
        view->cut();
        test::waitFor([&] { return evaluate("document.getElementById('b').value") == "\"\""; }, 5s);
        EXPECT_EQ(evaluate("document.getElementById('b').value"), "\"\"");
        window.reset();
    });
    EXPECT_EQ(copied, "\"hello there\"");
}

} // namespace
} // namespace sv
