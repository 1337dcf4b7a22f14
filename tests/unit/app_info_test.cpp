#include "app/app_info.h"
#include "base/globals.h"
#include "app/status_page.h"
#include "platform/bundle.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

TEST(ParseSignedInteger, AcceptsOptionalSignAndDigitsOnly)
{
    EXPECT_EQ(parseSignedInteger("42"), 42);
    EXPECT_EQ(parseSignedInteger("+42"), 42);
    EXPECT_EQ(parseSignedInteger("-3"), -3);
    EXPECT_EQ(parseSignedInteger("007"), 7);
    EXPECT_EQ(parseSignedInteger("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parseSignedInteger("-9223372036854775808"), INT64_MIN);

    for (const char* bad : { "1.2", "", " 42", "42 ", "+", "-", "+-1", "4 2", "0x10", "42\n", "９",
             "9223372036854775808", "-9223372036854775809", "99999999999999999999999" })
        EXPECT_EQ(parseSignedInteger(bad), std::nullopt) << '"' << bad << '"';
}

TEST(BundleInfo, VersionAndBuildFallBackWhenMissing)
{
    EXPECT_EQ(versionFromInfo(std::nullopt), "?");
    EXPECT_EQ(buildFromInfo(std::nullopt), 0);
    EXPECT_EQ(versionFromInfo(InfoDictionary {}), "?");
    EXPECT_EQ(buildFromInfo(InfoDictionary { { "CFBundleVersion", "1.2" } }), 0);
    EXPECT_EQ(buildFromInfo(InfoDictionary { { "CFBundleVersion", "" } }), 0);
    EXPECT_EQ(buildFromInfo(InfoDictionary { { "CFBundleVersion", "-3" } }), -3);
    EXPECT_EQ(versionFromInfo(InfoDictionary { { "CFBundleShortVersionString", "2.0 beta" } }), "2.0 beta");
}

// What a bundle on disk gives, including the broken ones a user may end up with.
class BundleOnDisk : public ::testing::Test {
protected:
    test::Sandbox sandbox;
    std::filesystem::path root = sandbox / "Some App.app";

    void writeInfo(const std::string& body)
    {
        test::writeFile(root / "Contents/Info.plist", body);
    }
    static std::string plist(const std::string& entries)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries
            + "</dict></plist>\n";
    }
};

TEST_F(BundleOnDisk, ReadsStringEntries)
{
    writeInfo(plist("<key>CFBundleShortVersionString</key><string>1.4.2</string>"
                    "<key>CFBundleVersion</key><string>+42</string>"));
    const auto info = platform::Bundle::at(root).info();
    EXPECT_EQ(versionFromInfo(info), "1.4.2");
    EXPECT_EQ(buildFromInfo(info), 42);
}

TEST_F(BundleOnDisk, NonStringValuesCountAsMissing)
{
    writeInfo(plist("<key>CFBundleShortVersionString</key><integer>3</integer>"
                    "<key>CFBundleVersion</key><integer>42</integer>"));
    const auto info = platform::Bundle::at(root).info();
    EXPECT_EQ(versionFromInfo(info), "?");
    EXPECT_EQ(buildFromInfo(info), 0);
}

TEST_F(BundleOnDisk, MissingOrBrokenInfoGivesFallbacks)
{
    EXPECT_EQ(platform::Bundle::at(root).info(), std::nullopt);
    for (const std::string& broken : { std::string(), std::string("not a plist"),
             std::string("<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>"),
             plist("<key>CFBundleVersion</key><string>4") /* cut short */, std::string("bplist00\xff\xff", 10) }) {
        writeInfo(broken);
        const auto info = platform::Bundle::at(root).info();
        EXPECT_EQ(versionFromInfo(info), "?");
        EXPECT_EQ(buildFromInfo(info), 0);
    }
}

TEST(BundleLayout, FoundOnlyInsideAnAppFolder)
{
    EXPECT_EQ(platform::Bundle::containing("/opt/X.app/Contents/Linux/Sandvoll").root(),
        std::filesystem::path("/opt/X.app"));
    EXPECT_EQ(platform::Bundle::containing("/opt/X.app/Contents/Linux/Sandvoll").resourcePath(),
        std::filesystem::path("/opt/X.app/Contents/Resources"));
    EXPECT_FALSE(platform::Bundle::containing("/usr/bin/Sandvoll").root());
    EXPECT_FALSE(platform::Bundle::containing("/opt/X/Contents/Linux/Sandvoll").root());
    EXPECT_FALSE(platform::Bundle::containing("/opt/.app/Contents/Linux/Sandvoll").root());
    EXPECT_FALSE(platform::Bundle::containing("/opt/X.app/Contents/MacOS/Sandvoll").root());
    // The test executable itself lives outside any bundle: no resources, fallbacks apply.
    EXPECT_FALSE(platform::Bundle::main().resourcePath());
    EXPECT_EQ(appVersion(), "?");
    EXPECT_EQ(appBuild(), 0);
}

TEST(Globals, PathsFollowTheHomeDirectory)
{
    const Globals g("/home/ada lovelace");
    EXPECT_EQ(g.port, 8766);
    EXPECT_EQ(g.home, "/home/ada lovelace");
    EXPECT_EQ(g.support, "/home/ada lovelace/Library/Application Support/Sandvoll");
    EXPECT_EQ(g.project, "/home/ada lovelace/Library/Application Support/Sandvoll/app");
    EXPECT_EQ(g.venv, "/home/ada lovelace/Library/Application Support/Sandvoll/venv");
    EXPECT_EQ(g.python, "/home/ada lovelace/Library/Application Support/Sandvoll/venv/bin/python");
    EXPECT_EQ(g.appURL, "http://127.0.0.1:8766/");
    EXPECT_EQ(g.searchPath, "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin");

    const Globals test("/tmp/h", 40123, "/tmp/h/bin");
    EXPECT_EQ(test.appURL, "http://127.0.0.1:40123/");
    EXPECT_EQ(test.searchPath, "/tmp/h/bin");
}

TEST(StatusPage, EscapesOnlyTheLessThanSign)
{
    const std::string prefix
        = "<body style='font:15px -apple-system;color:#888;display:grid;place-items:center;height:90vh'>";
    EXPECT_EQ(statusPageHTML("Sandvoll is starting…"), prefix + "Sandvoll is starting…</body>");
    EXPECT_EQ(statusPageHTML("<script>alert(1)</script> & \"x\" >"),
        prefix + "&lt;script>alert(1)&lt;/script> & \"x\" ></body>");
    EXPECT_EQ(statusPageHTML(""), prefix + "</body>");
    EXPECT_EQ(startingText, "Sandvoll is starting\u2026");
}

TEST(UserScript, CarriesVersionVerbatimAndBuildAsNumber)
{
    EXPECT_EQ(userScriptSource("1.4.2", 42), "window.SV_APP = {version: \"1.4.2\", build: 42};");
    EXPECT_EQ(userScriptSource("?", 0), "window.SV_APP = {version: \"?\", build: 0};");
    EXPECT_EQ(userScriptSource("2", -3), "window.SV_APP = {version: \"2\", build: -3};");
}

} // namespace
} // namespace sv
