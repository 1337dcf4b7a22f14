#include "app/window_frame.h"
#include "base/bundle_info.h"
#include "platform/property_list.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

class WindowFrameStore : public ::testing::Test {
protected:
    test::Sandbox sandbox;
    std::filesystem::path defaults = userDefaultsPath(sandbox.path().string(), "org.example.App");
};

TEST_F(WindowFrameStore, DefaultsLiveInTheUsersPreferences)
{
    EXPECT_EQ(defaults, sandbox.path() / "Library/Preferences/org.example.App.plist");
}

TEST_F(WindowFrameStore, RoundTripsSizeAndMaximizedState)
{
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), std::nullopt);
    ASSERT_TRUE(saveWindowFrame(defaults, "Sandvoll", { 1200, 700, false }));
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), (WindowFrame { 1200, 700, false }));
    ASSERT_TRUE(saveWindowFrame(defaults, "Sandvoll", { 1000, 800, true }));
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), (WindowFrame { 1000, 800, true }));
    // Another name is another window.
    EXPECT_EQ(loadWindowFrame(defaults, "Other", 900, 600), std::nullopt);
}

TEST_F(WindowFrameStore, KeepsTheUsersOtherDefaults)
{
    platform::PropertyList existing;
    existing.setString("updateFeedURL", "http://127.0.0.1:9/update.json");
    existing.setInteger("someCounter", 7);
    ASSERT_TRUE(existing.save(defaults));

    ASSERT_TRUE(saveWindowFrame(defaults, "Sandvoll", { 1300, 900, false }));
    const auto after = platform::PropertyList::load(defaults);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->string("updateFeedURL"), "http://127.0.0.1:9/update.json");
    EXPECT_EQ(after->integer("someCounter"), 7);
}

TEST_F(WindowFrameStore, KeepsValuesOfEveryTypeAsTheyWere)
{
    // Written by an earlier version: reals, dates, data, arrays, nested
    // dictionaries and 64-bit integers of both signs.
    const std::string before = test::readFile(SV_SOURCE_DIR "/tests/fixtures/property_list/all_types.plist");
    test::writeFile(defaults, before);
    ASSERT_TRUE(saveWindowFrame(defaults, "Sandvoll", { 1300, 900, true }));
    const std::string end = "</dict>\n</plist>\n";
    ASSERT_TRUE(before.ends_with(end));
    EXPECT_EQ(test::readFile(defaults),
        before.substr(0, before.size() - end.size()) + "\t<key>Window Sandvoll Width</key>\n\t<integer>1300</integer>\n"
            + "\t<key>Window Sandvoll Height</key>\n\t<integer>900</integer>\n"
            + "\t<key>Window Sandvoll Maximized</key>\n\t<true/>\n" + end);
    ASSERT_TRUE(saveWindowFrame(defaults, "Sandvoll", { 1000, 700, false }));
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), (WindowFrame { 1000, 700, false }));
}

TEST_F(WindowFrameStore, LeavesAnUnreadableDefaultsFileAlone)
{
    test::writeFile(defaults, "this is not a property list");
    EXPECT_FALSE(saveWindowFrame(defaults, "Sandvoll", { 1300, 900, false }));
    EXPECT_EQ(test::readFile(defaults), "this is not a property list");
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), std::nullopt);
}

TEST_F(WindowFrameStore, DamagedOrTinySizesAreNotRestoredAsIs)
{
    platform::PropertyList plist;
    plist.setInteger("Window Sandvoll Width", 100);
    plist.setInteger("Window Sandvoll Height", 50);
    ASSERT_TRUE(plist.save(defaults));
    // Never smaller than the window's minimum size.
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), (WindowFrame { 900, 600, false }));

    plist.setInteger("Window Sandvoll Width", -5);
    ASSERT_TRUE(plist.save(defaults));
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), std::nullopt);

    plist.setInteger("Window Sandvoll Width", 1LL << 40);
    ASSERT_TRUE(plist.save(defaults));
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), std::nullopt);

    plist.setString("Window Sandvoll Width", "1200");
    ASSERT_TRUE(plist.save(defaults));
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), std::nullopt);
}

TEST(PropertyList, ReadsBinaryAndXMLAndTypesStrictly)
{
    platform::PropertyList plist;
    plist.setString("s", "ä ☃ <&>\r\n");
    plist.setInteger("i", -2);
    plist.setBoolean("b", true);
    const auto back = platform::PropertyList::parse(plist.toXML());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->string("s"), "ä ☃ <&>\r\n");
    EXPECT_EQ(back->integer("i"), -2);
    EXPECT_EQ(back->boolean("b"), true);
    EXPECT_EQ(back->string("i"), std::nullopt);
    EXPECT_EQ(back->integer("s"), std::nullopt);
    EXPECT_EQ(back->boolean("missing"), std::nullopt);
    EXPECT_EQ(back->strings(), (std::map<std::string, std::string> { { "s", "ä ☃ <&>\r\n" } }));
    // Setting a key again changes its value where it is.
    plist.setInteger("s", 1);
    const std::string xml = plist.toXML();
    EXPECT_LT(xml.find("<key>s</key>\n\t<integer>1</integer>"), xml.find("<key>i</key>"));
}

} // namespace
} // namespace sv
