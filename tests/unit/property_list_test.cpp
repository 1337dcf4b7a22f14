#include "app/app_info.h"
#include "app/window_frame.h"
#include "platform/bundle.h"
#include "platform/property_list.h"
#include "support/sandbox.h"
#include "update/update_info.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

using namespace std::string_literals;

std::string xmlPlist(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
}

// A binary property list of one dictionary entry whose key and value are
// given as encoded objects: 0x5n is an ASCII string of n bytes, 0x6n a
// UTF-16 string of n units.
std::string binaryPlist(const std::string& key, const std::string& value)
{
    std::string bytes = "bplist00\xD1\x01\x02"s;
    const std::size_t keyAt = bytes.size();
    bytes += key;
    const std::size_t valueAt = bytes.size();
    bytes += value;
    const std::size_t tableAt = bytes.size();
    bytes += { char(8), char(keyAt), char(valueAt) };
    // Trailer: one-byte offsets and references, three objects, the dictionary first.
    bytes += "\0\0\0\0\0\0\x01\x01"s + "\0\0\0\0\0\0\0\x03"s + std::string(8, '\0') + std::string(7, '\0')
        + char(tableAt);
    return bytes;
}

// A NUL byte inside a key or a string used to abort the whole process in the
// library's getters. Such a file is refused like any other damaged one.
TEST(PropertyList, ANulByteInAKeyOrStringMakesTheFileDamaged)
{
    ASSERT_TRUE(platform::PropertyList::parse(binaryPlist("\x51k", "\x51v")));
    for (const std::string& damaged : {
             xmlPlist("<key>s</key><string>a\0b</string>"s),
             binaryPlist("\x62\0k\0\0"s, "\x51v"), // key "k" U+0000
             binaryPlist("\x51k", "\x63\0a\0\0\0b"s), // value "a" U+0000 "b"
             xmlPlist("<key>d</key><dict><key>s</key><string>\0</string></dict>"s),
         })
        EXPECT_FALSE(platform::PropertyList::parse(damaged)) << damaged;
}

TEST(PropertyList, TheAppFallsBackOnFilesWithANulByte)
{
    test::Sandbox sandbox;
    const auto defaults = sandbox / "Library/Preferences/org.sandvoll.Sandvoll.plist";
    const std::string damaged = xmlPlist("<key>updateFeedURL</key><string>http://127.0.0.1:1/\0</string>"s);
    test::writeFile(defaults, damaged);
    EXPECT_EQ(chooseFeedURL(readFeedURLDefault(defaults), defaultFeed), defaultFeed);
    EXPECT_EQ(loadWindowFrame(defaults, "Sandvoll", 900, 600), std::nullopt);
    // Saving the window frame leaves a file it cannot read alone.
    EXPECT_FALSE(saveWindowFrame(defaults, "Sandvoll", WindowFrame { 1000, 700, false }));
    EXPECT_EQ(test::readFile(defaults), damaged);

    const auto root = sandbox / "Sandvoll.app";
    test::writeFile(root / "Contents/Info.plist",
        xmlPlist("<key>CFBundleShortVersionString</key><string>1.0\0</string>"
                 "<key>CFBundleVersion</key><string>42</string>"s));
    const auto info = platform::Bundle::at(root).info();
    EXPECT_EQ(versionFromInfo(info), "?");
    EXPECT_EQ(buildFromInfo(info), 0);
}

} // namespace
} // namespace sv
