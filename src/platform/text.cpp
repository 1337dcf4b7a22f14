#include "platform/text.h"

#include "platform/gobject_ptr.h"

#include <glib.h>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <memory>

namespace sv::platform {
namespace {

struct UTextCloser {
    void operator()(UText* text) const { utext_close(text); }
};

// A character break iterator over the UTF-8 bytes themselves, so offsets
// are byte offsets and no copy into UTF-16 is made.
std::unique_ptr<icu::BreakIterator> characterBreaks(std::string_view utf8, std::unique_ptr<UText, UTextCloser>& text)
{
    UErrorCode status = U_ZERO_ERROR;
    text.reset(utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status));
    if (U_FAILURE(status))
        return nullptr;
    std::unique_ptr<icu::BreakIterator> breaks(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks)
        return nullptr;
    breaks->setText(text.get(), status);
    if (U_FAILURE(status))
        return nullptr;
    return breaks;
}

} // namespace

std::string lastCharacters(std::string_view utf8, std::size_t count)
{
    if (count == 0)
        return {};
    std::unique_ptr<UText, UTextCloser> text;
    auto breaks = characterBreaks(utf8, text);
    if (!breaks)
        return std::string(utf8);
    int32_t position = breaks->last();
    for (std::size_t taken = 0; taken < count; ++taken) {
        const int32_t previous = breaks->previous();
        if (previous == icu::BreakIterator::DONE)
            return std::string(utf8);
        position = previous;
    }
    return std::string(utf8.substr(static_cast<std::size_t>(position)));
}

std::string formatByteSize(std::uint64_t bytes)
{
    return GCharPtr(g_format_size(bytes)).get();
}

std::size_t characterCount(std::string_view utf8)
{
    std::unique_ptr<UText, UTextCloser> text;
    auto breaks = characterBreaks(utf8, text);
    if (!breaks)
        return utf8.size();
    std::size_t count = 0;
    breaks->first();
    while (breaks->next() != icu::BreakIterator::DONE)
        ++count;
    return count;
}

} // namespace sv::platform
