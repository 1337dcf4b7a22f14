#include "platform/text.h"

#include "platform/gobject_ptr.h"

#include <glib.h>
#include <pango/pango.h>

#include <algorithm>
#include <vector>

namespace sv::platform {
namespace {

// The length of the longest start of a well-formed UTF-8 sequence at `at`
// (the "maximal subpart" of Unicode's chapter 3), at least 1. An ill-formed
// stretch counts as one replacement character per maximal subpart, which is
// how earlier versions, through ICU, counted it too.
std::size_t maximalSubpart(std::string_view bytes, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 1;
    }
    std::size_t taken = 1;
    for (; taken < length && at + taken < bytes.size(); ++taken) {
        const auto next = static_cast<unsigned char>(bytes[at + taken]);
        if (next < low || next > high)
            break;
        low = 0x80;
        high = 0xBF;
    }
    return taken;
}

// Text the segmenter can read: valid UTF-8, with the byte offset in the
// original of each character. Pango needs valid UTF-8; server output is not
// always that.
struct Readable {
    std::string text;
    std::vector<std::size_t> origins; // empty when the text is the original
};

Readable readable(std::string_view bytes)
{
    const char* end = nullptr;
    if (g_utf8_validate_len(bytes.data(), bytes.size(), &end))
        return { std::string(bytes), {} };
    Readable result;
    result.text.reserve(bytes.size() + 16);
    result.origins.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const gunichar c = g_utf8_get_char_validated(bytes.data() + at, static_cast<gssize>(bytes.size() - at));
        result.origins.push_back(at);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
            result.text += "\xEF\xBF\xBD"; // U+FFFD
            at += maximalSubpart(bytes, at);
        } else {
            const std::size_t length = static_cast<std::size_t>(g_utf8_skip[static_cast<unsigned char>(bytes[at])]);
            result.text.append(bytes.substr(at, length));
            at += length;
        }
    }
    return result;
}

// Thai and Lao SARA AM are spacing marks for grapheme clusters although they
// are letters, and Pango (1.50 to 1.56) takes them for letters: "น้ำ" would be
// two characters. Only a control character before one ends its cluster.
bool joinsPrevious(const char* character)
{
    const gunichar c = g_utf8_get_char(character);
    if (c != 0x0E33 && c != 0x0EB3)
        return false;
    const gunichar before = g_utf8_get_char(g_utf8_prev_char(character));
    switch (g_unichar_type(before)) {
    case G_UNICODE_CONTROL:
    case G_UNICODE_LINE_SEPARATOR:
    case G_UNICODE_PARAGRAPH_SEPARATOR:
        return false;
    case G_UNICODE_FORMAT: // but the joiners and tags, which extend a cluster
        return before == 0x200C || before == 0x200D || (before >= 0xE0020 && before <= 0xE007F);
    case G_UNICODE_UNASSIGNED: // but where default-ignorable characters will be
        return !((before >= 0x2060 && before <= 0x206F) || (before >= 0xFFF0 && before <= 0xFFF8)
            || (before >= 0xE0000 && before <= 0xE0FFF));
    default:
        return true;
    }
}

bool isHangul(gunichar c)
{
    const GUnicodeBreakType type = g_unichar_break_type(c);
    return type >= G_UNICODE_BREAK_HANGUL_L_JAMO && type <= G_UNICODE_BREAK_HANGUL_LVT_SYLLABLE;
}

// Whether Pango keeps a letter after `c` in its cluster: a prepended mark.
bool isPrepended(gunichar c)
{
    char text[8];
    int length = g_unichar_to_utf8(c, text);
    text[length++] = 'a';
    PangoLogAttr attrs[3];
    pango_default_break(text, length, nullptr, attrs, 3);
    return !attrs[1].is_cursor_position;
}

// Pango remembers the last Hangul jamo across other characters, so that in
// "ᄀ ᄀ" the second jamo would join the space. A jamo continues a syllable
// only right after Hangul, or after a prepended mark as anything does.
bool endsHangulSyllable(const char* character)
{
    if (!isHangul(g_utf8_get_char(character)))
        return false;
    const gunichar before = g_utf8_get_char(g_utf8_prev_char(character));
    return !isHangul(before) && !isPrepended(before);
}

// Adds the offsets (from `offset` on) where a user-perceived character starts
// in `bytes`, which hold no NUL: the boundaries of extended grapheme clusters.
// Pango's default segmentation is used without any language's tailoring, so
// the count does not depend on the user's locale.
void addCharacterStarts(std::string_view bytes, std::size_t offset, std::vector<std::size_t>& starts)
{
    if (bytes.empty())
        return;
    const Readable input = readable(bytes);
    // Pieces are far below 2 GB (longestPiece).
    const auto length = static_cast<int>(input.text.size());
    const glong characters = g_utf8_strlen(input.text.data(), length);
    std::vector<PangoLogAttr> attrs(static_cast<std::size_t>(characters) + 1);
    pango_default_break(input.text.data(), length, nullptr, attrs.data(), static_cast<int>(attrs.size()));
    // The start is a boundary whatever the text begins with.
    starts.push_back(offset);
    const char* position = g_utf8_next_char(input.text.data());
    for (glong i = 1; i < characters; ++i) {
        bool boundary = attrs[static_cast<std::size_t>(i)].is_cursor_position;
        if (boundary)
            boundary = !joinsPrevious(position);
        else
            boundary = endsHangulSyllable(position);
        if (boundary) {
            const auto at = static_cast<std::size_t>(position - input.text.data());
            starts.push_back(offset + (input.origins.empty() ? at : input.origins[static_cast<std::size_t>(i)]));
        }
        position = g_utf8_next_char(position);
    }
}

// The offsets in `bytes` where a user-perceived character starts, then the
// end: the boundaries of extended grapheme clusters.
std::vector<std::size_t> characterStarts(std::string_view bytes)
{
    std::vector<std::size_t> starts;
    // Pango reads a NUL as the end of the text. A NUL is a control character,
    // a character of its own with a boundary on each side, so the text
    // between NULs is segmented alone.
    std::size_t from = 0;
    for (;;) {
        const std::size_t nul = bytes.find('\0', from);
        addCharacterStarts(bytes.substr(from, nul - from), from, starts);
        if (nul == std::string_view::npos)
            break;
        starts.push_back(nul);
        from = nul + 1;
    }
    starts.push_back(bytes.size());
    return starts;
}

// Text is segmented in pieces, so that a long log needs neither one large
// table nor a pass over all of it to find its last characters. A piece ends
// only where a boundary is certain from the two bytes around it and no rule
// looks back across it: after a control character (but CR before LF), or
// between two other ASCII characters. The pieces then give the same
// characters as the whole.
constexpr std::size_t pieceSize = 64 * 1024;

// `at` is within the text, neither at its start nor at its end.
bool cutsCleanly(std::string_view text, std::size_t at)
{
    const auto before = static_cast<unsigned char>(text[at - 1]);
    const auto after = static_cast<unsigned char>(text[at]);
    if (before >= 0x80)
        return false;
    if (before < 0x20 || before == 0x7F)
        return before != '\r' || after != '\n';
    return after < 0x80;
}

// Pango counts in int. Text with no clean cut for this long (256 MB of
// letters that are not ASCII) is cut between two code points instead.
constexpr std::size_t longestPiece = 256 * 1024 * 1024;

bool startsCodePoint(std::string_view text, std::size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80; }

// The start of a piece that ends at `end` and reaches back at least `size`
// bytes, or 0.
std::size_t pieceStart(std::string_view text, std::size_t end, std::size_t size)
{
    std::size_t at = end > size ? end - size : 0;
    for (; at > 0; --at) {
        if (cutsCleanly(text, at) || (end - at >= longestPiece && startsCodePoint(text, at)))
            return at;
    }
    return 0;
}

// The end of a piece that starts at `start` and holds at least `size` bytes,
// or the end of the text.
std::size_t pieceEnd(std::string_view text, std::size_t start, std::size_t size)
{
    for (std::size_t at = start + size; at < text.size(); ++at) {
        if (cutsCleanly(text, at) || (at - start >= longestPiece && startsCodePoint(text, at)))
            return at;
    }
    return text.size();
}

} // namespace

std::string lastCharacters(std::string_view utf8, std::size_t count)
{
    if (count == 0)
        return {};
    std::size_t end = utf8.size();
    std::size_t wanted = count;
    std::size_t size = std::max<std::size_t>(4096, count * 4);
    while (end > 0) {
        const std::size_t start = pieceStart(utf8, end, size);
        const auto starts = characterStarts(utf8.substr(start, end - start));
        const std::size_t found = starts.size() - 1;
        if (found >= wanted)
            return std::string(utf8.substr(start + starts[found - wanted]));
        wanted -= found;
        end = start;
        size = std::min(size * 2, longestPiece);
    }
    return std::string(utf8);
}

std::string formatByteSize(std::uint64_t bytes)
{
    return GCharPtr(g_format_size(bytes)).get();
}

std::size_t characterCount(std::string_view utf8)
{
    std::size_t count = 0;
    for (std::size_t start = 0; start < utf8.size();) {
        const std::size_t end = pieceEnd(utf8, start, pieceSize);
        count += characterStarts(utf8.substr(start, end - start)).size() - 1;
        start = end;
    }
    return count;
}

} // namespace sv::platform
