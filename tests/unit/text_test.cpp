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

// Each text with the number of characters a reader sees in it.
TEST(CharacterCount, CountsExtendedGraphemeClusters)
{
    const struct {
        const char* name;
        std::string text;
        std::size_t characters;
    } cases[] = {
        { "marks on a letter", "a\u0308\u0323", 1 },
        { "a mark with nothing before it", "\u0301a", 2 },
        { "precomposed Hangul", "\uD55C\uAE00", 2 },
        { "conjoining jamo, L V T and L V", "\u1112\u1161\u11AB\u1100\u1173", 2 },
        { "jamo on either side of a space", "\u1100 \u1100", 3 },
        { "a T jamo after a space", "\uAC01 \u11A8", 3 },
        { "three regional indicators", "\U0001F1F3\U0001F1F4\U0001F1FA", 2 },
        { "two flags", "\U0001F1F3\U0001F1F4\U0001F1FA\U0001F1E6", 2 },
        { "ZWJ sequence with a variation selector", "\U0001F3F3\uFE0F\u200D\U0001F308", 1 },
        { "ZWJ sequence with a skin tone", "\U0001F469\U0001F3FD\u200D\U0001F4BB", 1 },
        { "ZWJ before a letter", "\U0001F469\u200Da", 2 },
        { "keycap", "1\uFE0F\u20E3", 1 },
        { "tag sequence flag", "\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F", 1 },
        { "CR LF", "\r\n", 1 },
        { "LF CR", "\n\r", 2 },
        { "CR CR LF", "\r\r\n", 2 },
        { "a mark after a line feed", "\n\u0301", 2 },
        { "Thai SARA AM", "\u0E19\u0E49\u0E33\u0E01\u0E33", 2 },
        { "Thai SARA AM after a line feed", "\n\u0E33", 2 },
        { "Devanagari vowel sign", "\u0915\u093F", 1 },
        { "NUL between letters", std::string("a\0b", 3), 3 },
        { "a mark after NUL", std::string("\0\u0301", 3), 2 },
        // Invalid UTF-8: one character for each longest start of a valid sequence.
        { "cut-off sequences", "\xE2\x82\xF0\x9F\x98", 2 },
        { "bytes that start nothing", "\xFF\xFE\x80", 3 },
        { "an encoded surrogate", "\xED\xA0\x80", 3 },
        { "an overlong NUL", "\xC0\x80", 2 },
        { "a mark after invalid bytes", "\xFF\u0301", 1 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(characterCount(c.text), c.characters) << c.name;
}

TEST(LastCharacters, CutsLongLogsOnWholeCharactersAcrossLines)
{
    // Far more than one piece of the text is read at a time.
    std::string log;
    for (int i = 0; i < 40000; ++i)
        log += "line \U0001F1F3\U0001F1F4 e\u0301\r\n";
    EXPECT_EQ(characterCount(log), 40000u * 9);
    EXPECT_EQ(lastCharacters(log, 2), "e\u0301\r\n");
    EXPECT_EQ(lastCharacters(log, 10), "\r\nline \U0001F1F3\U0001F1F4 e\u0301\r\n");
    const std::string tail = lastCharacters(log, 250000);
    EXPECT_EQ(characterCount(tail), 250000u);
    EXPECT_TRUE(log.ends_with(tail));
    // Compared as booleans: a failure would print megabytes.
    EXPECT_TRUE(lastCharacters(log, 359999) == log.substr(1));
    EXPECT_TRUE(lastCharacters(log, 360000) == log);
    EXPECT_TRUE(lastCharacters(log, 360001) == log);

    // One long line, which can only be read whole.
    std::string line(200000, 'x');
    line += "\u0E19\u0E49\u0E33";
    EXPECT_EQ(lastCharacters(line, 2), "x\u0E19\u0E49\u0E33");
    EXPECT_EQ(characterCount(line), 200001u);
}

TEST(LastCharacters, SurvivesInvalidUTF8)
{
    const std::string broken = std::string("ok \xff\xfe\xc3", 6) + " end";
    const std::string tail = lastCharacters(broken, 4);
    EXPECT_EQ(tail, " end");
    EXPECT_LE(lastCharacters(broken, 100).size(), broken.size());
    // A cut-off sequence at the end is one character, kept whole.
    EXPECT_EQ(lastCharacters("ok\xE2\x82", 1), "\xE2\x82");
    EXPECT_EQ(lastCharacters(std::string("x\0\xFF", 3), 2), std::string("\0\xFF", 2));
}

} // namespace
} // namespace sv
