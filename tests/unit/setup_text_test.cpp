#include "setup/text_file.h"
#include "setup/utf8.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace sv {
namespace {

using namespace std::string_literals;

TEST(Utf8, AcceptsWellFormedText)
{
    for (const std::string& good : { ""s, "plain ascii\n"s, "nul \0 inside"s, "blåbærsyltetøy"s,
             "\u20ac \u0800 \uffff \U00010000 \U0010FFFF"s, "\xed\x9f\xbf"s /* U+D7FF */ })
        EXPECT_TRUE(isValidUtf8(good)) << good;
}

TEST(Utf8, RejectsWhatTheStandardRejects)
{
    for (const std::string& bad : { "\x80"s, "\xbf"s, "\xc0\x80"s, "\xc1\xbf"s, "\xe0\x80\x80"s, "\xe0\x9f\xbf"s,
             "\xed\xa0\x80"s /* surrogate */, "\xf0\x80\x80\x80"s, "\xf4\x90\x80\x80"s /* > U+10FFFF */, "\xf5\x80\x80\x80"s,
             "\xff"s, "\xc3\x28"s, "\xe2\x82\x28"s })
        EXPECT_FALSE(isValidUtf8(bad)) << testing::PrintToString(bad);
}

TEST(Utf8, FindsABadByteWhereverTheWordScanLeavesIt)
{
    for (std::size_t at = 0; at < 20; ++at) {
        std::string text(20, 'a');
        text[at] = '\xff';
        const Utf8Scan scan = scanUtf8(text);
        EXPECT_TRUE(scan.invalid);
        EXPECT_EQ(scan.validLength, at);
    }
}

TEST(Utf8, StopsBeforeASequenceCutOffAtTheEnd)
{
    const std::string text = "abc\xe2\x82"; // first two bytes of U+20AC
    const Utf8Scan scan = scanUtf8(text);
    EXPECT_FALSE(scan.invalid);
    EXPECT_EQ(scan.validLength, 3u);
    EXPECT_FALSE(isValidUtf8(text));
    // A cut-off sequence that is already wrong is reported at once.
    EXPECT_TRUE(scanUtf8("abc\xe0\x80").invalid);
}

TEST(TextFile, ReadsWholeUtf8FilesVerbatim)
{
    test::Sandbox box;
    test::writeFile(box / "stamp", "1.0 (7)\r\n\n");
    EXPECT_EQ(readTextFile(box / "stamp"), "1.0 (7)\r\n\n");
    test::writeFile(box / "empty", "");
    EXPECT_EQ(readTextFile(box / "empty"), "");
    const std::string big(300000, 'x');
    test::writeFile(box / "big", big);
    EXPECT_EQ(readTextFile(box / "big"), big);
}

TEST(TextFile, AnythingUnreadableIsAbsent)
{
    test::Sandbox box;
    test::writeFile(box / "latin1", "caf\xe9");
    std::filesystem::create_directory(box / "dir");
    ASSERT_EQ(::mkfifo((box / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readTextFile(box / "missing"), std::nullopt);
    EXPECT_EQ(readTextFile(box / "latin1"), std::nullopt);
    EXPECT_EQ(readTextFile(box / "dir"), std::nullopt);
    EXPECT_EQ(readTextFile(box / "fifo"), std::nullopt); // and does not hang
}

TEST(TextFile, AtomicWriteReplacesAndLeavesNothingBeside)
{
    test::Sandbox box;
    writeTextFileAtomically(box / "stamp", "old");
    writeTextFileAtomically(box / "stamp", "new\n");
    EXPECT_EQ(test::readFile(box / "stamp"), "new\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.path()), {}), 1);
}

TEST(TextFile, AtomicWriteFailureNamesTheFileAndCleansUp)
{
    test::Sandbox box;
    std::filesystem::create_directories(box / "stamp/inside");
    try {
        writeTextFileAtomically(box / "stamp", "text");
        FAIL() << "writing over a directory succeeded";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find((box / "stamp").string()), std::string::npos) << error.what();
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.path()), {}), 1);
    EXPECT_THROW(writeTextFileAtomically(box / "no/such/dir/stamp", "text"), std::filesystem::filesystem_error);
}

} // namespace
} // namespace sv
