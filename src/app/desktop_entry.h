#pragma once
// The app's own launcher entry: <data home>/applications/<identifier>.desktop
// and its icon under <data home>/icons/hicolor, kept pointing at the bundle
// that runs, so the app shows up in the desktop's launcher and dock wherever
// the user unpacked it. An entry at that place that the app did not write is
// the user's, and a launch never changes it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace sv {

// The one command-line option: removes what the app wrote for the launcher.
inline constexpr std::string_view uninstallDesktopEntryOption = "--uninstall-desktop-entry";
// A boolean user default; true means the app never writes a launcher entry.
inline constexpr const char* disableDesktopEntryKey = "disableDesktopEntry";
// The entry template and the icon theme folder inside the bundle's resources.
inline constexpr const char* desktopEntryTemplateName = "Sandvoll.desktop.in";
inline constexpr const char* bundleIconThemeName = "icons/hicolor";

// The folder a user's launcher entries and icons live in: XDG_DATA_HOME when
// it holds an absolute path, else ~/.local/share (the base directory rules
// say a relative value is to be ignored). `xdgDataHome` is the variable's
// value, null when it is unset.
[[nodiscard]] std::filesystem::path userDataHome(const std::string& home, const char* xdgDataHome);

// Where the launcher looks in one data home.
struct DesktopEntryPaths {
    std::filesystem::path entry;     // .../applications/<identifier>.desktop
    std::filesystem::path iconTheme; // .../icons/hicolor
};
[[nodiscard]] DesktopEntryPaths desktopEntryPaths(const std::filesystem::path& dataHome, const std::string& identifier);

// What the entry says about the bundle it was written for.
struct DesktopEntryOwner {
    std::string bundle;
    std::string build;
};

// The entry for a bundle: the template with ${exec} (the quoted command
// line), ${path} (the executable), ${bundle} and ${build} filled in. Nothing
// when the executable's path cannot be written in an entry: not UTF-8, or
// with a control character, which the format cannot carry.
[[nodiscard]] std::optional<std::string> desktopEntryText(std::string_view templateText,
    const std::filesystem::path& executable, const std::filesystem::path& bundle, std::int64_t build);

// The bundle and build an entry names, when the app wrote it; nothing for
// an entry that someone else wrote.
[[nodiscard]] std::optional<DesktopEntryOwner> desktopEntryOwner(std::string_view entryText);

// What a launch does with the entry that is there: `existing` is nothing
// when there is none, else its text (empty when it cannot be the app's: not
// a regular file, unreadable, not UTF-8).
enum class DesktopEntryChange {
    write,      // missing, or the app wrote it for another bundle path or build
    keep,       // the app wrote it for this bundle and build: kept with any change the user made
    leaveAlone, // someone else's: the app never changes it, nor the icons
};
[[nodiscard]] DesktopEntryChange desktopEntryChange(const std::optional<std::string>& existing,
    const std::filesystem::path& bundle, std::int64_t build);

// The running bundle as far as the launcher entry is concerned.
struct DesktopEntrySource {
    std::filesystem::path bundle;     // X.app
    std::filesystem::path executable; // X.app/Contents/Linux/<name>
    std::int64_t build = 0;
    std::string identifier;
};

// At launch: writes the entry and the icons when the entry is to be
// written, and any icon that has gone missing from the app's own entry,
// unless the user defaults opt out. Icons go first, so an entry never names
// an icon that is not there. Every file is staged beside its place and
// renamed into it. Says in one line on `diagnostics` why no entry was
// written: someone else's entry is there, the bundle's path cannot be
// written in an entry, or a file could not be written. Returns false when
// something could not be written (the app carries on without an entry).
bool keepDesktopEntry(const std::filesystem::path& dataHome, const DesktopEntrySource& source,
    const std::filesystem::path& userDefaults, std::ostream& diagnostics);

// keepDesktopEntry for the running bundle, with the user's own defaults,
// saying why on stderr. Outside a bundle there is nothing to point an entry
// at, so nothing happens.
void keepOwnDesktopEntry(const std::string& home, const std::filesystem::path& dataHome);

// Removes the entry when the app wrote it and the icons named after the
// identifier, and nothing else; says what it removed. Returns the process's
// exit status: 0, or 1 when something could not be removed.
int uninstallDesktopEntry(const std::filesystem::path& dataHome, const std::string& identifier, std::ostream& out);

} // namespace sv
