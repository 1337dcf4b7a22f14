#include "platform/property_list.h"
#include "support/sandbox.h"
#include "update/update_info.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

// A complete feed with the given members replaced; a member given as an
// empty string is left out altogether.
std::string feed(const std::map<std::string, std::string>& replaced = {})
{
    std::map<std::string, std::string> members = {
        { "version", R"("1.5.0")" },
        { "build", "43" },
        { "url", R"("https://downloads.example.org/Sandvoll-1.5.0.zip")" },
        { "sha256", R"("9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08")" },
        { "signature", R"("c2lnbmF0dXJl")" },
    };
    for (const auto& [key, value] : replaced)
        members[key] = value;
    std::string body = "{";
    for (const auto& [key, value] : members) {
        if (value.empty())
            continue;
        if (body.size() > 1)
            body += ", ";
        body += "\"" + key + "\": " + value;
    }
    return body + "}";
}

TEST(DecodeUpdateInfo, ReadsEveryFieldAndIgnoresOtherMembers)
{
    const auto info = decodeUpdateInfo(feed({ { "notesEN", R"("Faster start.\nFewer bugs.")" },
        { "minimumSystemVersion", R"("5.10")" }, { "Version", R"("other case")" }, { "extra", R"({"nested": [1, 2]})" },
        { "notes_en", "7" } }));
    EXPECT_EQ(info,
        (UpdateInfo { "1.5.0", 43, "https://downloads.example.org/Sandvoll-1.5.0.zip",
            "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08", "c2lnbmF0dXJl",
            "Faster start.\nFewer bugs.", "5.10" }));

    // Member order does not matter.
    const auto reordered = decodeUpdateInfo(
        R"({"signature": "s", "sha256": "h", "url": "http://127.0.0.1:1/u.zip", "build": -2, "version": ""})");
    EXPECT_EQ(reordered.build, -2);
    EXPECT_EQ(reordered.version, "");
    EXPECT_EQ(reordered.signature, "s");
}

TEST(DecodeUpdateInfo, NullOrMissingOptionalsAreAbsent)
{
    for (const std::string& value : { std::string(), std::string("null") }) {
        const auto info = decodeUpdateInfo(feed({ { "notesEN", value }, { "minimumSystemVersion", value } }));
        EXPECT_EQ(info.notesEN, std::nullopt) << value;
        EXPECT_EQ(info.minimumSystemVersion, std::nullopt) << value;
    }
    // Present but empty is not absent.
    const auto empty = decodeUpdateInfo(feed({ { "notesEN", R"("")" } }));
    EXPECT_EQ(empty.notesEN, "");
}

TEST(DecodeUpdateInfo, OptionalsOfAnotherTypeFailTheWholeFeed)
{
    for (const char* key : { "notesEN", "minimumSystemVersion" })
        for (const char* value : { "14", "true", "[]", "{}", R"(["13.0"])" })
            EXPECT_THROW((void)decodeUpdateInfo(feed({ { key, value } })), FeedDecodeError) << key << ": " << value;
}

TEST(DecodeUpdateInfo, RequiredMembersMustBePresentNonNullAndOfTheirType)
{
    for (const char* key : { "version", "build", "url", "sha256", "signature" }) {
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { key, "" } })), FeedDecodeError) << key << " missing";
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { key, "null" } })), FeedDecodeError) << key << " null";
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { key, "{}" } })), FeedDecodeError) << key << " object";
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { key, "[\"1\"]" } })), FeedDecodeError) << key << " array";
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { key, "false" } })), FeedDecodeError) << key << " boolean";
    }
    for (const char* key : { "version", "url", "sha256", "signature" })
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { key, "42" } })), FeedDecodeError) << key << " number";
    // Keys match exactly: another spelling is just an unknown member.
    EXPECT_THROW((void)decodeUpdateInfo(feed({ { "build", "" }, { "Build", "43" } })), FeedDecodeError);
}

TEST(DecodeUpdateInfo, BuildIsAWholeNumberWithinSigned64Bits)
{
    const std::pair<const char*, std::int64_t> whole[] = {
        { "0", 0 },
        { "-0", 0 },
        { "9223372036854775807", INT64_MAX },
        { "-9223372036854775808", INT64_MIN },
        // Whole values written with a fraction or an exponent are still whole.
        { "12.0", 12 },
        { "1e3", 1000 },
        { "1E+3", 1000 },
        { "1.25e2", 125 },
        { "12500e-2", 125 },
        { "-4.0", -4 },
        { "0.0e-7", 0 },
        { "9.223372036854775807e18", INT64_MAX },
    };
    for (const auto& [text, value] : whole)
        EXPECT_EQ(decodeUpdateInfo(feed({ { "build", text } })).build, value) << text;

    for (const char* bad : { "12.5", "-0.5", "1e-1", "1.5e0",
             // Values that a double would round to a whole number.
             "12.0000000000000001", "9007199254740993.5",
             // Just outside the range, written as integers and as floats.
             "9223372036854775808", "-9223372036854775809", "18446744073709551616", "9.223372036854775808e18",
             "1e19", "1e400", "-1e400", "1e-400",
             // Not numbers at all.
             R"("43")", R"("1e3")", "true", "false" })
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { "build", bad } })), FeedDecodeError) << bad;
}

TEST(DecodeUpdateInfo, URLMustParseAsAURL)
{
    EXPECT_EQ(decodeUpdateInfo(feed({ { "url", R"("http://127.0.0.1:9/p.zip")" } })).url, "http://127.0.0.1:9/p.zip");
    for (const char* bad : { R"("")", R"("http://exa mple.org/p.zip")", R"("https://h/%zz")", R"("http://[::1/")" })
        EXPECT_THROW((void)decodeUpdateInfo(feed({ { "url", bad } })), FeedDecodeError) << bad;
}

TEST(DecodeUpdateInfo, AnythingButAJSONObjectFails)
{
    for (const std::string& body : {
             std::string(),
             std::string("[") + feed() + "]",
             std::string("\"") + "version" + "\"",
             std::string("43"),
             std::string("null"),
             std::string("<!DOCTYPE html><html><body><h1>404 Not Found</h1></body></html>"),
             feed() + " trailing",
             feed().substr(0, feed().size() - 1), // cut short
             std::string("{\"version\": \"1.5\xff\"}"), // not UTF-8
         })
        EXPECT_THROW((void)decodeUpdateInfo(body), FeedDecodeError) << body;
    // Blanks around the object are fine, and so is a UTF-8 byte-order mark.
    EXPECT_NO_THROW((void)decodeUpdateInfo("\n  " + feed() + "\n"));
    EXPECT_NO_THROW((void)decodeUpdateInfo("\xef\xbb\xbf" + feed()));
}

TEST(DecodeUpdateInfo, LargeAndDeeplyNestedBodiesDecodeWithoutTrouble)
{
    // Several megabytes of notes and an ignored member nested a million deep.
    const std::string notes(8 * 1024 * 1024, 'n');
    std::string deep;
    for (int i = 0; i < 1'000'000; ++i)
        deep += (i % 2) ? "[" : "{\"k\":";
    deep += "0";
    for (int i = 1'000'000 - 1; i >= 0; --i)
        deep += (i % 2) ? "]" : "}";
    const auto info = decodeUpdateInfo(feed({ { "notesEN", "\"" + notes + "\"" }, { "padding", deep } }));
    EXPECT_EQ(info.notesEN->size(), notes.size());
    EXPECT_EQ(info.build, 43);

    // The same nesting as the whole document, unbalanced: an error, not a crash.
    EXPECT_THROW((void)decodeUpdateInfo(std::string(1'000'000, '[')), FeedDecodeError);
    EXPECT_THROW((void)decodeUpdateInfo(std::string(1'000'000, '[') + std::string(1'000'000, ']')), FeedDecodeError);
}

TEST(DecodeUpdateInfo, RepeatedMembersKeepTheLastValue)
{
    EXPECT_EQ(decodeUpdateInfo(feed({ { "build", "1, \"build\": 44" } })).build, 44);
    EXPECT_THROW((void)decodeUpdateInfo(feed({ { "build", "44, \"build\": \"44\"" } })), FeedDecodeError);
}

TEST(FeedURL, UserDefaultWinsWhenItIsAURL)
{
    const std::string fallback = "https://updates.sandvoll.org/update.json";
    EXPECT_EQ(chooseFeedURL(std::nullopt, fallback), fallback);
    EXPECT_EQ(chooseFeedURL("", fallback), fallback);
    EXPECT_EQ(chooseFeedURL("not a url", fallback), fallback);
    EXPECT_EQ(chooseFeedURL("http://h/%zz", fallback), fallback);
    // Used unchanged whatever the scheme; nothing insists on https.
    EXPECT_EQ(chooseFeedURL("http://127.0.0.1:9/update.json", fallback), "http://127.0.0.1:9/update.json");
    EXPECT_EQ(chooseFeedURL("ftp://mirror.example.org/update.json", fallback), "ftp://mirror.example.org/update.json");
    // A relative reference is a URL too; it simply cannot be fetched later.
    EXPECT_EQ(chooseFeedURL("feeds/update.json", fallback), "feeds/update.json");

    // The publisher's site, chosen when the build is configured.
    EXPECT_TRUE(defaultFeed.starts_with("https://") && defaultFeed.ends_with("/update.json")) << defaultFeed;
}

TEST(FeedURL, ReadsTheUserDefaultsFileEachTime)
{
    test::Sandbox sandbox;
    const auto file = sandbox / "Library/Preferences/org.sandvoll.Sandvoll.plist";
    EXPECT_EQ(readFeedURLDefault(file), std::nullopt);

    platform::PropertyList defaults;
    defaults.setString("updateFeedURL", "http://127.0.0.1:9/a.json");
    ASSERT_TRUE(defaults.save(file));
    EXPECT_EQ(readFeedURLDefault(file), "http://127.0.0.1:9/a.json");

    defaults.setString("updateFeedURL", "http://127.0.0.1:9/b.json");
    ASSERT_TRUE(defaults.save(file));
    EXPECT_EQ(readFeedURLDefault(file), "http://127.0.0.1:9/b.json");

    defaults.setInteger("updateFeedURL", 7); // not a string: no default
    ASSERT_TRUE(defaults.save(file));
    EXPECT_EQ(readFeedURLDefault(file), std::nullopt);

    test::writeFile(file, "garbage");
    EXPECT_EQ(readFeedURLDefault(file), std::nullopt);
}

} // namespace
} // namespace sv
