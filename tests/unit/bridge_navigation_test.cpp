#include "app/bridge/navigation_policy.h"
#include "app/bridge/script_message.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <ostream>

namespace sv {

// A failed comparison names the decision in words, not in bytes.
void PrintTo(HandOff handOff, std::ostream* out)
{
    constexpr const char* names[] = { "none", "open", "refusedScheme", "refusedSpent" };
    *out << "HandOff::" << names[static_cast<int>(handOff)];
}

void PrintTo(const NavigationDecision& decision, std::ostream* out)
{
    *out << "NavigationDecision { " << (decision.allow ? "allow" : "cancel") << ", ";
    PrintTo(decision.handOff, out);
    *out << " }";
}

namespace {

using platform::NavigationAction;
using platform::NavigationType;

// The action as the web view describes it: scheme and host come from the
// same URL parser the web view uses. Unless said otherwise, the user caused
// it with a press of its own.
NavigationAction action(NavigationType type, std::optional<std::string> url, bool userGesture = true,
    std::shared_ptr<platform::UserInput> input = std::make_shared<platform::UserInput>())
{
    NavigationAction result;
    result.type = type;
    result.url = url;
    result.userGesture = userGesture;
    result.input = std::move(input);
    if (url) {
        result.scheme = platform::urlScheme(*url);
        if (auto parsed = platform::parseURL(*url))
            result.host = parsed->host;
    }
    return result;
}

NavigationAction link(const std::string& url) { return action(NavigationType::linkActivated, url); }
// A link a page script "clicked" by itself.
NavigationAction scriptClick(const std::string& url) { return action(NavigationType::linkActivated, url, false); }
// What a page does while it handles one press.
NavigationAction during(const std::shared_ptr<platform::UserInput>& press, NavigationType type, const std::string& url)
{
    return action(type, url, true, press);
}

const NavigationDecision allow { true, HandOff::none };
const NavigationDecision handOff { false, HandOff::open };
const NavigationDecision wrongScheme { false, HandOff::refusedScheme };

TEST(NavigationPolicy, ClickedLinksToTheLocalHostStayWhateverPortSchemeOrPath)
{
    for (const char* url : { "http://127.0.0.1:8766/", "http://127.0.0.1:8766/jobs?id=3#top", "http://127.0.0.1:9/",
             "https://127.0.0.1/", "ws://127.0.0.1:8766/socket", "http://user@127.0.0.1:8766/" })
        EXPECT_EQ(navigationPolicy(link(url)), allow) << url;
}

TEST(NavigationPolicy, ClickedWebAndMailLinksAnywhereElseGoToTheDefaultHandler)
{
    for (const char* url : { "https://example.org/", "http://localhost:8766/", "http://192.168.1.20:8766/",
             "http://127.0.0.2:8766/", "http://127.0.0.1.nip.io/", "http://[::1]:8766/", "http://0x7f.0.0.1/",
             // No host at all.
             "mailto:someone@example.org", "mailto:?subject=hello",
             // A URL the parser cannot read has no host either.
             "http://[broken" })
        EXPECT_EQ(navigationPolicy(link(url)), handOff) << url;

    // Schemes are compared without regard to case.
    for (const char* scheme : { "HTTP", "Https", "MAILTO", "mailTo" }) {
        NavigationAction upper = link("https://example.org/");
        upper.scheme = scheme;
        EXPECT_EQ(navigationPolicy(upper), handOff) << scheme;
    }
}

TEST(NavigationPolicy, NoOtherSchemeLeavesTheAppAndThePageStays)
{
    for (const char* url : { "file:///etc/hosts", "file://example.org/share/notes.txt", "recordme:second",
             "javascript:alert(1)", "data:text/html,<p>x", "blob:http://127.0.0.1:8766/1f0e", "about:blank",
             "tel:+4712345678", "ftp://example.org/", "ws://example.org/socket", "httpx://example.org/",
             "smb://example.org/share", "x-scheme-with-dashes+and.dots:thing", "not a url", "//example.org/" })
        EXPECT_EQ(navigationPolicy(link(url)), wrongScheme) << url;

    // Lookalikes of an allowed scheme are other schemes.
    for (const char* scheme : { "http ", "https:", "mailto2", "", "ht tp", "httpѕ" }) {
        NavigationAction odd = link("https://example.org/");
        odd.scheme = scheme;
        EXPECT_EQ(navigationPolicy(odd), wrongScheme) << scheme;
    }
    NavigationAction none = link("https://example.org/");
    none.scheme.reset();
    EXPECT_EQ(navigationPolicy(none), wrongScheme);
}

TEST(NavigationPolicy, ALinkAScriptClickedGoesNowhereOutside)
{
    const NavigationDecision nowhere { false, HandOff::none };
    for (const char* url : { "https://example.org/", "mailto:someone@example.org", "file:///etc/hosts", "about:blank" })
        EXPECT_EQ(navigationPolicy(scriptClick(url)), nowhere) << url;
    // Inside the window it is the same as setting the page's location.
    EXPECT_EQ(navigationPolicy(scriptClick("http://127.0.0.1:8766/next")), allow);
    // Other loads a script causes were never handed out, and still load here.
    EXPECT_EQ(navigationPolicy(action(NavigationType::other, "https://example.org/", false)), allow);
}

TEST(NavigationPolicy, EverythingButAClickedLinkLoadsInTheWindow)
{
    for (const auto type : { NavigationType::formSubmitted, NavigationType::backForward, NavigationType::reload,
             NavigationType::formResubmitted, NavigationType::other })
        for (const char* url : { "https://example.org/", "http://127.0.0.1:8766/", "mailto:x@example.org" })
            EXPECT_EQ(navigationPolicy(action(type, url)), allow) << url;

    // A clicked link whose request has no URL has nothing to hand off.
    EXPECT_EQ(navigationPolicy(action(NavigationType::linkActivated, std::nullopt)), allow);
}

TEST(NavigationPolicy, TheCallbackOpensWhatItCancels)
{
    test::RecordingUi ui;
    EXPECT_TRUE(decidePolicy(link("http://127.0.0.1:8766/page")));
    EXPECT_TRUE(decidePolicy(action(NavigationType::other, "https://example.org/redirected")));
    EXPECT_TRUE(ui.openedURLs.empty());

    EXPECT_FALSE(decidePolicy(link("https://example.org/docs")));
    EXPECT_FALSE(decidePolicy(scriptClick("https://example.org/scripted")));
    EXPECT_FALSE(decidePolicy(link("mailto:someone@example.org")));
    EXPECT_FALSE(decidePolicy(link("file:///etc/hosts")));
    EXPECT_EQ(ui.openedURLs, (std::vector<std::string> { "https://example.org/docs", "mailto:someone@example.org" }));
    EXPECT_EQ(ui.shown(), 0u);
}

TEST(NavigationPolicy, TheCallbacksSpendEachPressOnceAndSayWhyTheyRefuse)
{
    test::RecordingUi ui;
    const auto click = std::make_shared<platform::UserInput>();
    const auto next = std::make_shared<platform::UserInput>();
    testing::internal::CaptureStderr();
    // One click whose handler clicks two links and opens a window.
    EXPECT_FALSE(decidePolicy(during(click, NavigationType::linkActivated, "http://example.org/first")));
    EXPECT_FALSE(decidePolicy(during(click, NavigationType::linkActivated, "recordme:second")));
    createWebView(during(click, NavigationType::other, "https://example.org/third"));
    // The next press: a refused scheme spends nothing, a local link neither.
    EXPECT_TRUE(decidePolicy(during(next, NavigationType::linkActivated, "http://127.0.0.1:8766/page")));
    createWebView(during(next, NavigationType::other, "file:///home/someone/notes.txt"));
    createWebView(during(next, NavigationType::other, "mailto:someone@example.org"));
    EXPECT_FALSE(decidePolicy(during(next, NavigationType::linkActivated, "https://example.org/fourth")));
    // A script's own click says nothing, nor does it count.
    EXPECT_FALSE(decidePolicy(scriptClick("file:///etc/passwd")));
    // Before the first press nothing goes out.
    createWebView(action(NavigationType::other, "https://example.org/early", true, nullptr));
    const std::string said = testing::internal::GetCapturedStderr();

    EXPECT_EQ(ui.openedURLs, (std::vector<std::string> { "http://example.org/first", "mailto:someone@example.org" }));
    // One line per press: the first refusal of each.
    EXPECT_EQ(said,
        "Sandvoll: not opening recordme:second: only http, https and mailto links leave the app\n"
        "Sandvoll: not opening file:///home/someone/notes.txt: only http, https and mailto links leave the app\n"
        "Sandvoll: not opening https://example.org/early: each link that leaves the app needs a click or key press "
        "of its own\n");
}

TEST(NavigationPolicy, TheRefusalLineShowsAHostileURLShortAndPrintable)
{
    EXPECT_EQ(refusalLine("https://example.org/x", HandOff::refusedSpent),
        "Sandvoll: not opening https://example.org/x: each link that leaves the app needs a click or key press of "
        "its own");
    EXPECT_EQ(refusalLine("recordme:a\nSandvoll: fake\x1b[2J\x7f\t\xd0\xb0", HandOff::refusedScheme),
        "Sandvoll: not opening recordme:a?Sandvoll: fake?[2J????: only http, https and mailto links leave the app");

    const std::string longURL = "data:text/plain," + std::string(100000, 'A');
    const std::string line = refusalLine(longURL, HandOff::refusedScheme);
    EXPECT_EQ(line, "Sandvoll: not opening " + longURL.substr(0, refusalURLLength)
            + "…: only http, https and mailto links leave the app");
    const std::string exact(refusalURLLength, 'b');
    EXPECT_EQ(refusalLine(exact, HandOff::refusedScheme).find("…"), std::string::npos);
}

TEST(NewWindow, EveryRequestWithAURLGoesToTheDefaultHandler)
{
    EXPECT_EQ(outsidePolicy(link("http://127.0.0.1:8766/report")), HandOff::open);
    EXPECT_EQ(outsidePolicy(action(NavigationType::other, "https://example.org/")), HandOff::open);
    EXPECT_EQ(outsidePolicy(action(NavigationType::other, std::nullopt)), HandOff::none);
    EXPECT_EQ(outsidePolicy(action(NavigationType::other, "file:///etc/hosts")), HandOff::refusedScheme);

    // A window a script opens by itself, without the user, goes nowhere.
    EXPECT_EQ(outsidePolicy(action(NavigationType::other, "https://example.org/popup", false)), HandOff::none);

    test::RecordingUi ui;
    createWebView(action(NavigationType::other, "http://127.0.0.1:8766/report"));
    createWebView(action(NavigationType::linkActivated, std::nullopt));
    createWebView(action(NavigationType::other, "https://example.org/popup", false));
    EXPECT_EQ(ui.openedURLs, std::vector<std::string> { "http://127.0.0.1:8766/report" });
}

TEST(ScriptMessage, PagesMayPostFromTheAppsOwnOriginOnly)
{
    EXPECT_EQ(appOrigin(Globals("/home/someone")), "http://127.0.0.1:8766");
    EXPECT_EQ(appOrigin(Globals("/home/someone", 40123)), "http://127.0.0.1:40123");
}

TEST(ScriptMessage, OnlyTheExactWordPostedToSvChecksForUpdates)
{
    using platform::ScriptMessage;
    EXPECT_TRUE(isCheckUpdatesMessage(ScriptMessage { "sv", "checkUpdates" }));
    for (const char* body : { "checkupdates", "CheckUpdates", " checkUpdates", "checkUpdates ", "checkUpdates\n",
             "", "check Updates", "{\"action\": \"checkUpdates\"}" })
        EXPECT_FALSE(isCheckUpdatesMessage(ScriptMessage { "sv", body })) << body;
    // Numbers, objects, arrays and null reach us without a string body.
    EXPECT_FALSE(isCheckUpdatesMessage(ScriptMessage { "sv", std::nullopt }));
    EXPECT_FALSE(isCheckUpdatesMessage(ScriptMessage { "other", "checkUpdates" }));
    EXPECT_FALSE(isCheckUpdatesMessage(ScriptMessage { "SV", "checkUpdates" }));
    EXPECT_FALSE(isCheckUpdatesMessage(ScriptMessage { "", "checkUpdates" }));
}

} // namespace
} // namespace sv
