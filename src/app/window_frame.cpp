#include "app/window_frame.h"

#include "platform/property_list.h"

#include <algorithm>

namespace sv {
namespace {

// A saved size larger than this is damage, not a window anyone had.
constexpr std::int64_t maxDimension = 32767;

std::string key(const std::string& autosaveName, const char* field)
{
    return "Window " + autosaveName + " " + field;
}

} // namespace

std::optional<WindowFrame> loadWindowFrame(const std::filesystem::path& defaults,
    const std::string& autosaveName, int minWidth, int minHeight)
{
    const auto plist = platform::PropertyList::load(defaults);
    if (!plist)
        return std::nullopt;
    const auto width = plist->integer(key(autosaveName, "Width"));
    const auto height = plist->integer(key(autosaveName, "Height"));
    if (!width || !height || *width <= 0 || *height <= 0 || *width > maxDimension || *height > maxDimension)
        return std::nullopt;
    WindowFrame frame;
    frame.width = static_cast<int>(std::max<std::int64_t>(*width, minWidth));
    frame.height = static_cast<int>(std::max<std::int64_t>(*height, minHeight));
    frame.maximized = plist->boolean(key(autosaveName, "Maximized")).value_or(false);
    return frame;
}

bool saveWindowFrame(const std::filesystem::path& defaults, const std::string& autosaveName, const WindowFrame& frame)
{
    // Start from what is there so the user's other defaults survive; a file
    // we cannot parse is left alone rather than overwritten.
    std::optional<platform::PropertyList> plist;
    std::error_code ec;
    if (std::filesystem::exists(defaults, ec)) {
        plist = platform::PropertyList::load(defaults);
        if (!plist)
            return false;
    } else {
        plist.emplace();
    }
    plist->setInteger(key(autosaveName, "Width"), frame.width);
    plist->setInteger(key(autosaveName, "Height"), frame.height);
    plist->setBoolean(key(autosaveName, "Maximized"), frame.maximized);
    return plist->save(defaults);
}

} // namespace sv
