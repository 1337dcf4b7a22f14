#include "platform/application.h"
#include "platform/menu.h"
#include "platform/web_view.h"
#include "platform/window.h"
#include "support/wait.h"

#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

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
        auto item = [&](std::string title, char key, bool pageFirst = false) {
            return platform::MenuItem { title, key, [&chosen, title] { chosen.push_back(title); }, pageFirst };
        };
        installed = platform::installMenuBar({
            { "", { { item("About Sandvoll", 0), item("Check for Updates…", 0) }, { item("Quit Sandvoll", 'q') } } },
            { "Edit",
                { { item("Cut", 'x', true), item("Copy", 'c', true), item("Paste", 'v', true),
                    item("Select All", 'a', true) } } },
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
            "Edit > Cut [<Control>x] (page first)",
            "Edit > Copy [<Control>c] (page first)",
            "Edit > Paste [<Control>v] (page first)",
            "Edit > Select All [<Control>a] (page first)",
            "View > Reload [<Control>r]",
        }));
    EXPECT_EQ(chosen, (std::vector<std::string> { "Paste", "Check for Updates…" }));
    EXPECT_FALSE(activatedMissing);
}

// Presses keys in the window with this title, as a person does: real key
// events from the display server.
bool pressKeys(const std::string& windowTitle, const char* keys)
{
    std::string pattern = "^" + windowTitle + "$";
    const char* argv[] = { "xdotool", "search", "--sync", "--onlyvisible", "--name", pattern.c_str(), "windowfocus",
        "--sync", "key", "--clearmodifiers", keys, nullptr };
    int status = -1;
    return g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
               nullptr, &status, nullptr)
        && g_spawn_check_wait_status(status, nullptr);
}

// Evaluates a script in the view's page and waits for its JSON result.
std::optional<std::string> evaluate(platform::WebView& view, const std::string& script)
{
    std::optional<std::string> result;
    bool done = false;
    view.evaluateJavaScript(script, [&](std::optional<std::string> value) {
        result = std::move(value);
        done = true;
    });
    test::waitFor([&] { return done; }, 10s);
    return result;
}

TEST(MenuBar, EditingShortcutsGoToThePageFirstAndTheAppsOwnDoNot)
{
    std::vector<std::string> chosen;
    std::optional<std::string> seen;
    insideApplication([&] {
        auto item = [&](std::string title, char key, bool pageFirst) {
            return platform::MenuItem { title, key, [&chosen, title] { chosen.push_back(title); }, pageFirst };
        };
        ASSERT_TRUE(platform::installMenuBar({
            { "", { { item("Quit Sandvoll", 'q', false) } } },
            { "Edit", { { item("Cut", 'x', true), item("Select All", 'a', true) } } },
        }));
        auto view = platform::WebView::create({});
        auto window = platform::Window::create({ "Keys first", 640, 480, 320, 240, {} }, *view);
        window->present();
        // The page lists the keys it receives (Ctrl itself aside) and, while
        // `keep` is set, keeps them all for itself as a page with shortcuts
        // of its own does.
        view->loadHTML("<input id=a value=hello><script>var seen = [], keep = false; "
                       "addEventListener('keydown', (e) => { if (e.key !== 'Control') seen.push(e.key); "
                       "if (keep) e.preventDefault(); }, true);</script>");
        auto seenCount = [&] { return std::stoi(evaluate(*view, "seen.length").value_or("-1")); };
        ASSERT_TRUE(test::waitFor([&] { return seenCount() == 0; }, 20s));

        // In a field, Select All is the web view's own editing: the page
        // sees the key, the field's text is selected, and the menu's action
        // does not run (it would have run before the page saw the key).
        evaluate(*view, "document.getElementById('a').focus()");
        ASSERT_TRUE(pressKeys("Keys first", "ctrl+a"));
        ASSERT_TRUE(test::waitFor([&] { return seenCount() == 1; }, 10s));
        EXPECT_EQ(evaluate(*view, "[a.selectionStart, a.selectionEnd].join()"), "\"0,5\"");

        // A page that keeps every key gets the editing keys, and the menu
        // does not act on them; the app's own shortcut acts, unseen by it.
        evaluate(*view, "keep = true");
        ASSERT_TRUE(pressKeys("Keys first", "ctrl+x"));
        ASSERT_TRUE(pressKeys("Keys first", "ctrl+a"));
        ASSERT_TRUE(test::waitFor([&] { return seenCount() == 3; }, 10s));
        ASSERT_TRUE(pressKeys("Keys first", "ctrl+q"));
        ASSERT_TRUE(test::waitFor([&] { return !chosen.empty(); }, 10s));
        EXPECT_EQ(evaluate(*view, "a.value"), "\"hello\"");

        // With the focus in no page, the menu takes the editing keys.
        gtk_window_set_focus(gtk_application_get_active_window(GTK_APPLICATION(g_application_get_default())), nullptr);
        ASSERT_TRUE(pressKeys("Keys first", "ctrl+x"));
        ASSERT_TRUE(test::waitFor([&] { return chosen.size() == 2; }, 10s));
        seen = evaluate(*view, "seen.join(' ')");
        window.reset();
    });
    EXPECT_EQ(seen, "\"a x a\"");
    EXPECT_EQ(chosen, (std::vector<std::string> { "Quit Sandvoll", "Cut" }));
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
