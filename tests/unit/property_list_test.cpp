#include "app/app_info.h"
#include "app/window_frame.h"
#include "platform/bundle.h"
#include "platform/property_list.h"
#include "support/sandbox.h"
#include "update/update_info.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace sv {
namespace {

using namespace std::string_literals;

std::string xmlPlist(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
}

// A binary property list of the given encoded objects, the first at the top,
// with one-byte offsets and references: 0x5n is an ASCII string of n bytes,
// 0x6n a UTF-16 string of n units, 0xAn an array and 0xDn a dictionary of n
// entries (n key references, then n value references).
std::string binaryObjects(const std::vector<std::string>& objects)
{
    std::string bytes = "bplist00";
    std::string table;
    for (const std::string& object : objects) {
        table += char(bytes.size());
        bytes += object;
    }
    const std::size_t tableAt = bytes.size();
    bytes += table;
    // Trailer: offset and reference sizes, the number of objects, the top
    // object, where the table starts.
    bytes += std::string(6, '\0') + "\x01\x01"s + std::string(7, '\0') + char(objects.size()) + std::string(8, '\0')
        + std::string(7, '\0') + char(tableAt);
    return bytes;
}

// One dictionary entry whose key and value are given as encoded objects.
std::string binaryPlist(const std::string& key, const std::string& value)
{
    return binaryObjects({ "\xD1\x01\x02", key, value });
}

std::string fixture(const char* name) { return test::readFile(std::string(SV_SOURCE_DIR "/tests/fixtures/property_list/") + name); }

// all_types.plist is what earlier versions wrote for a dictionary of every
// value type; all_types_binary.plist holds the same values.
TEST(PropertyList, WritesEveryValueTypeAsEarlierVersionsDid)
{
    const std::string written = fixture("all_types.plist");
    for (const char* name : { "all_types.plist", "all_types_binary.plist" }) {
        const auto plist = platform::PropertyList::parse(fixture(name));
        ASSERT_TRUE(plist) << name;
        EXPECT_EQ(plist->toXML(), written) << name;
        EXPECT_EQ(plist->string("markup"), "a&b<c>d\"e'f ]]>") << name;
        EXPECT_EQ(plist->string("empty"), "") << name;
        EXPECT_EQ(plist->integer("smallest"), INT64_MIN) << name;
        EXPECT_EQ(plist->integer("unsigned"), -1) << name; // as a two's complement
        EXPECT_EQ(plist->boolean("off"), false) << name;
        EXPECT_EQ(plist->string("real"), std::nullopt) << name;
        EXPECT_EQ(plist->integer("whole"), std::nullopt) << name;
    }
}

TEST(PropertyList, ReadsTheXMLThatPeopleWrite)
{
    const auto plist = platform::PropertyList::parse("<!-- written by hand -->\n<plist><dict>\n"
                                                     "  <key>plus</key> <integer> +5 </integer>\n"
                                                     "  <key>minus</key><integer>-7</integer>\n"
                                                     "  <key>hex</key><integer>0x10</integer>\n"
                                                     "  <key>blank</key><integer/>\n"
                                                     "  <key>yes</key><true></true>\n"
                                                     "  <key>text</key><string>a<!-- b -->c<![CDATA[<&>]]>&#x41;&amp;&#13;\r\n</string>\n"
                                                     "  <key></key><string/>\n"
                                                     "  <key>twice</key><string>first</string>\n"
                                                     "  <key>other</key><false/>\n"
                                                     "  <key>twice</key><string>second</string>\n"
                                                     "</dict></plist>\n");
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->integer("plus"), 5);
    EXPECT_EQ(plist->integer("minus"), -7);
    EXPECT_EQ(plist->integer("hex"), 16);
    EXPECT_EQ(plist->integer("blank"), 0);
    EXPECT_EQ(plist->boolean("yes"), true);
    // A line break in the file is a line feed; only an escaped CR stays one.
    EXPECT_EQ(plist->string("text"), "ac<&>A&\r\n");
    EXPECT_EQ(plist->string(""), "");
    // A key named twice keeps its first place and takes the later value, as
    // earlier versions read it.
    EXPECT_EQ(plist->string("twice"), "second");
    const std::string xml = plist->toXML();
    EXPECT_LT(xml.find("<key>twice</key>\n\t<string>second</string>"), xml.find("<key>other</key>"));
    EXPECT_NE(xml.find("<string>ac&lt;&amp;&gt;A&amp;&#13;\n</string>"), std::string::npos);
    // Without a <plist> around it too.
    EXPECT_EQ(platform::PropertyList::parse("<dict><key>a</key><string>b</string></dict>")->string("a"), "b");
}

TEST(PropertyList, RefusesMalformedXML)
{
    std::string deep = "<plist><dict><key>a</key>";
    for (int i = 0; i < 300; ++i)
        deep += "<array>";
    for (int i = 0; i < 300; ++i)
        deep += "</array>";
    deep += "</dict></plist>";
    for (const std::string& malformed : {
             xmlPlist("<key>a</key><string>x</array>"),
             xmlPlist("<key>a</key><string>x</string>") + "<dict/>",
             xmlPlist("<key>a</key>"),
             xmlPlist("<string>x</string>"),
             xmlPlist("<key>a</key><key>b</key><string>x</string>"),
             xmlPlist("<key>a</key><integer>12abc</integer>"),
             xmlPlist("<key>a</key><integer>18446744073709551616</integer>"),
             xmlPlist("<key>a</key><integer>-9223372036854775809</integer>"),
             xmlPlist("<key>a</key><real>1.5x</real>"),
             xmlPlist("<key>a</key><date>yesterday</date>"),
             xmlPlist("<key>a</key><date>2024-13-01T00:00:00Z</date>"),
             xmlPlist("<key>a</key><colour>red</colour>"),
             xmlPlist("<key>a</key><string>x<b/></string>"),
             xmlPlist("loose text<key>a</key><string>x</string>"),
             xmlPlist("<key>a</key><string>caf\xE9</string>"), // Latin-1, not UTF-8
             xmlPlist("<key>a</key><string>&nbsp;</string>"),
             "<plist><dict/><dict/></plist>"s,
             "<key>a</key>"s,
             "<plist></plist>"s,
             deep,
         })
        EXPECT_FALSE(platform::PropertyList::parse(malformed)) << malformed;
}

TEST(PropertyList, ReadsBinaryValuesOfEveryKindAndSize)
{
    const struct {
        std::string value;
        std::string xml;
    } cases[] = {
        { "\x10\xFF"s, "<integer>255</integer>" },
        { "\x11\xFF\xFF"s, "<integer>65535</integer>" },
        { "\x12\xFF\xFF\xFF\xFF"s, "<integer>4294967295</integer>" },
        { "\x13"s + std::string(8, '\xFF'), "<integer>-1</integer>" },
        { "\x14"s + std::string(8, '\0') + std::string(8, '\xFF'), "<integer>18446744073709551615</integer>" },
        { "\x14"s + std::string(15, '\xFF') + "\xFB", "<integer>-5</integer>" },
        { "\x22\x3F\xC0\0\0"s, "<real>1.5</real>" },
        { "\x23\x40\x09\x21\xFB\x54\x44\x2D\x18"s, "<real>3.1415926535897931</real>" },
        { "\x33\x3F\xFC\0\0\0\0\0\0"s, "<date>2001-01-01T00:00:01Z</date>" },
        { "\x33\xBF\xFC\0\0\0\0\0\0"s, "<date>2000-12-31T23:59:59Z</date>" },
        { "\x43" "abc"s, "<data>\n\tYWJj\n\t</data>" },
        { "\x62\0\xE4\x26\x03"s, "<string>\u00E4\u2603</string>" },
        { "\x62\xD8\x34\xDD\x1E"s, "<string>\U0001D11E</string>" },
        { "\x60"s, "<string></string>" },
        { "\x5F\x10\x03r\r\n"s, "<string>r&#13;\n</string>" },
        { "\x80\x05"s, "<dict>\n\t\t<key>CF$UID</key>\n\t\t<integer>5</integer>\n\t</dict>" },
    };
    for (const auto& c : cases) {
        const auto plist = platform::PropertyList::parse(binaryPlist("\x51k", c.value));
        ASSERT_TRUE(plist) << c.xml;
        const std::string xml = plist->toXML();
        EXPECT_NE(xml.find("\t<key>k</key>\n\t" + c.xml + "\n</dict>"), std::string::npos) << xml;
        // What is written reads back the same.
        EXPECT_EQ(platform::PropertyList::parse(xml)->toXML(), xml);
    }

    // A key named twice in a damaged file: the first entry counts, both stay.
    const auto twice = platform::PropertyList::parse(binaryObjects({ "\xD2\x01\x01\x02\x03", "\x51" "a", "\x51x", "\x10\x05" }));
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->string("a"), "x");
    EXPECT_EQ(twice->integer("a"), std::nullopt);
    EXPECT_EQ(twice->strings(), (std::map<std::string, std::string> { { "a", "x" } }));
    EXPECT_NE(twice->toXML().find("<string>x</string>\n\t<key>a</key>\n\t<integer>5</integer>"), std::string::npos);

    // One array named from two places is written out in both.
    const auto shared = platform::PropertyList::parse(
        binaryObjects({ "\xD2\x01\x02\x03\x03", "\x51" "a", "\x51" "b", "\xA2\x04\x04", "\x51v" }));
    ASSERT_TRUE(shared);
    const std::string array = "<array>\n\t\t<string>v</string>\n\t\t<string>v</string>\n\t</array>\n";
    EXPECT_NE(shared->toXML().find("<key>a</key>\n\t" + array + "\t<key>b</key>\n\t" + array), std::string::npos);
}

TEST(PropertyList, RefusesDamagedBinaryFiles)
{
    const std::string good = binaryPlist("\x51k", "\x51v");
    ASSERT_TRUE(platform::PropertyList::parse(good));
    const auto changed = [&](std::size_t fromEnd, char byte) {
        std::string bytes = good;
        bytes[bytes.size() - fromEnd] = byte;
        return bytes;
    };
    // Each level names the next twice: two to the thirtieth strings.
    std::vector<std::string> doubling = { "\xD1\x01\x02", "\x51k" };
    for (char next = 3; next < 33; ++next)
        doubling.push_back("\xA2"s + next + next);
    doubling.push_back("\x51v");
    for (const std::string& damaged : {
             good.substr(0, good.size() - 1), // cut short
             "bplist01"s + good.substr(8), // a version we do not know
             changed(17, '\x09'), // more objects than the table holds
             changed(9, '\x03'), // the top object beyond the objects
             changed(26, '\0'), // offsets of no bytes
             changed(1, '\x20'), // the table inside the trailer
             changed(33, '\x0E'), // an object's offset pointing into the table
             binaryObjects({ "\xD1\x01\x09", "\x51k" }), // a reference beyond the objects
             binaryObjects({ "\xD1\x01\x00", "\x51k" }), // a dictionary inside itself
             binaryObjects({ "\xD1\x01\x02", "\x51k", "\xA1\x02" }), // an array inside itself
             binaryObjects(doubling),
             binaryObjects({ "\xD1\x01\x02", "\x10\x01", "\x51v" }), // a key that is a number
             binaryPlist("\x51k", "\x5F\x10\xFF"), // more bytes than the file has
             binaryPlist("\x51k", "\x00"), // null
             binaryPlist("\x51k", "\x70"), // no such kind
             binaryPlist("\x51k", "\x53" "a\0b"s), // NUL in ASCII
             binaryPlist("\x51k", "\x54" "caf\xE9"), // not ASCII
             binaryPlist("\x51k", "\x62\xD8\x00\0a"s), // an unpaired surrogate
             binaryPlist("\x51k", "\x14\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0"s), // beyond 64 bits
             binaryPlist("\x51k", "\x15"s + std::string(32, '\0')), // 256 bits
         })
        EXPECT_FALSE(platform::PropertyList::parse(damaged)) << testing::PrintToString(damaged);
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
