#include "platform/text.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

using platform::characterCount;
using platform::lastCharacters;

TEST(LastCharacters, ShortTextIsKeptWhole)
{
    EXPECT_EQ(lastCharacters("abc", 1200), "abc");
    EXPECT_EQ(lastCharacters("", 1200), "");
    EXPECT_EQ(lastCharacters("abc", 3), "abc");
    EXPECT_EQ(lastCharacters("abc", 2), "bc");
    EXPECT_EQ(lastCharacters("abc", 0), "");
}

TEST(LastCharacters, CountsWhatAPersonSeesNotBytesOrCodePoints)
{
    const std::string eAcute = "e\u0301";                                  // e + combining acute
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467"; // ZWJ sequence
    const std::string flag = "\U0001F1F3\U0001F1F4";                        // regional indicator pair
    const std::string thumbs = "\U0001F44D\U0001F3FD";                      // emoji + skin tone
    const std::string text = "x" + eAcute + family + flag + thumbs + "\r\n";
    EXPECT_EQ(characterCount(text), 6u); // CR LF is one character too
    EXPECT_EQ(lastCharacters(text, 1), "\r\n");
    EXPECT_EQ(lastCharacters(text, 3), flag + thumbs + "\r\n");
    EXPECT_EQ(lastCharacters(text, 4), family + flag + thumbs + "\r\n");
    EXPECT_EQ(lastCharacters(text, 5), eAcute + family + flag + thumbs + "\r\n");
    EXPECT_EQ(lastCharacters(text, 6), text);
}

TEST(LastCharacters, KeepsTheLast1200OfALongErrorWithoutSplittingAnything)
{
    std::string output;
    for (int i = 0; i < 2000; ++i)
        output += "a\u0308\u0323"; // two combining marks on each letter
    output += "ERROR: \U0001F469\u200D\U0001F4BB failed";
    const std::string tail = lastCharacters(output, 1200);
    EXPECT_EQ(characterCount(tail), 1200u);
    EXPECT_EQ(tail.substr(0, 5), "a\u0308\u0323"); // starts on a whole character
    EXPECT_TRUE(tail.ends_with("ERROR: \U0001F469\u200D\U0001F4BB failed"));
    EXPECT_EQ(characterCount("ERROR: \U0001F469\u200D\U0001F4BB failed"), 15u);
}

TEST(LastCharacters, SurvivesInvalidUTF8)
{
    const std::string broken = std::string("ok \xff\xfe\xc3", 6) + " end";
    const std::string tail = lastCharacters(broken, 4);
    EXPECT_EQ(tail, " end");
    EXPECT_LE(lastCharacters(broken, 100).size(), broken.size());
}

} // namespace
} // namespace sv
