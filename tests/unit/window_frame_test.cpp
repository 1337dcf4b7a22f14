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
    plist.setString("s", "ä ☃ <&>");
    plist.setInteger("i", -2);
    plist.setBoolean("b", true);
    const auto back = platform::PropertyList::parse(plist.toXML());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->string("s"), "ä ☃ <&>");
    EXPECT_EQ(back->integer("i"), -2);
    EXPECT_EQ(back->boolean("b"), true);
    EXPECT_EQ(back->string("i"), std::nullopt);
    EXPECT_EQ(back->integer("s"), std::nullopt);
    EXPECT_EQ(back->boolean("missing"), std::nullopt);
    EXPECT_EQ(back->strings(), (std::map<std::string, std::string> { { "s", "ä ☃ <&>" } }));
}

} // namespace
} // namespace sv
