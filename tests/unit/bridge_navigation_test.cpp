#include "app/bridge/navigation_policy.h"
#include "app/bridge/script_message.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

using platform::NavigationAction;
using platform::NavigationType;

// The action as the web view describes it: the host comes from the same
// URL parser the web view uses. Unless said otherwise, the user caused it.
NavigationAction action(NavigationType type, std::optional<std::string> url, bool userGesture = true)
{
    NavigationAction result;
    result.type = type;
    result.url = url;
    result.userGesture = userGesture;
    if (url) {
        if (auto parsed = platform::parseURL(*url))
            result.host = parsed->host;
    }
    return result;
}

NavigationAction link(const std::string& url) { return action(NavigationType::linkActivated, url); }
// A link a page script "clicked" by itself.
NavigationAction scriptClick(const std::string& url) { return action(NavigationType::linkActivated, url, false); }

const NavigationDecision allow { true, std::nullopt };
NavigationDecision handOff(const std::string& url) { return { false, url }; }

TEST(NavigationPolicy, ClickedLinksToTheLocalHostStayWhateverPortSchemeOrPath)
{
    for (const char* url : { "http://127.0.0.1:8766/", "http://127.0.0.1:8766/jobs?id=3#top", "http://127.0.0.1:9/",
             "https://127.0.0.1/", "ws://127.0.0.1:8766/socket", "http://user@127.0.0.1:8766/" })
        EXPECT_EQ(navigationPolicy(link(url)), allow) << url;
}

TEST(NavigationPolicy, ClickedLinksAnywhereElseGoToTheDefaultHandler)
{
    for (const char* url : { "https://example.org/", "http://localhost:8766/", "http://192.168.1.20:8766/",
             "http://127.0.0.2:8766/", "http://127.0.0.1.nip.io/", "http://[::1]:8766/", "http://0x7f.0.0.1/",
             // No host at all.
             "mailto:someone@example.org", "tel:+4712345678", "file:///etc/hosts", "about:blank" })
        EXPECT_EQ(navigationPolicy(link(url)), handOff(url)) << url;

    // A URL the parser cannot read has no host either.
    NavigationAction broken { NavigationType::linkActivated, "http://[broken", std::nullopt, true };
    EXPECT_EQ(navigationPolicy(broken), handOff("http://[broken"));
}

TEST(NavigationPolicy, ALinkAScriptClickedGoesNowhereOutside)
{
    const NavigationDecision nowhere { false, std::nullopt };
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
    EXPECT_EQ(ui.openedURLs, (std::vector<std::string> { "https://example.org/docs", "mailto:someone@example.org" }));
    EXPECT_EQ(ui.shown(), 0u);
}

TEST(NewWindow, EveryRequestWithAURLGoesToTheDefaultHandler)
{
    EXPECT_EQ(newWindowURL(link("http://127.0.0.1:8766/report")), "http://127.0.0.1:8766/report");
    EXPECT_EQ(newWindowURL(action(NavigationType::other, "https://example.org/")), "https://example.org/");
    EXPECT_EQ(newWindowURL(action(NavigationType::other, std::nullopt)), std::nullopt);

    // A window a script opens by itself, without the user, goes nowhere.
    EXPECT_EQ(newWindowURL(action(NavigationType::other, "https://example.org/popup", false)), std::nullopt);

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
