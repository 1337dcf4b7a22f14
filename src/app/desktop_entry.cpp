#include "app/desktop_entry.h"

#include "app/app_info.h"
#include "base/bundle_info.h"
#include "platform/bundle.h"
#include "platform/property_list.h"
#include "setup/text_file.h"
#include "setup/utf8.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace sv {
namespace {

constexpr std::string_view entryGroup = "[Desktop Entry]";
constexpr std::string_view bundleKey = "X-Sandvoll-Bundle";
constexpr std::string_view buildKey = "X-Sandvoll-Build";
constexpr std::string_view iconExtensions[] = { ".png", ".svg" };

// A value of the entry's string type: the backslash is its escape character.
std::string escapeString(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// One argument of Exec, quoted so that blanks and the characters a shell
// would read stay part of it, with the quoting's own escapes and the
// field-code escape for '%'.
std::string execArgument(std::string_view argument)
{
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

// The Exec value that runs the executable, with the string escape the whole
// value gets last.
std::string execValue(std::string_view executable)
{
    std::string command = execArgument(executable);
    // GLib looks the program of an Exec line up on disk before it turns "%%"
    // back into "%", finds no file at the doubled path and refuses to load
    // the whole entry. So a path with '%' is handed to the shell as an
    // argument, where the launcher undoes "%%" as it should, and the shell
    // runs the path exactly as it is ($0 is never split or expanded).
    if (executable.find('%') != std::string_view::npos)
        command = "/bin/sh -c " + execArgument("exec \"$0\"") + " " + command;
    return escapeString(command);
}

std::string unescapeString(std::string_view value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '\\': out += '\\'; break;
        default: out += '\\'; out += value[i]; break;
        }
    }
    return out;
}

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

bool writableInEntry(std::string_view text)
{
    if (!isValidUtf8(text))
        return false;
    for (unsigned char c : text) {
        if (isControl(c))
            return false;
    }
    return true;
}

// A path for a line on stderr: control characters and bytes that are not
// UTF-8 as \xNN, so that the line stays one readable line.
std::string printable(std::string_view text)
{
    std::string out;
    auto escape = [&out](unsigned char c) {
        constexpr std::string_view digits = "0123456789abcdef";
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 0xf];
    };
    while (!text.empty()) {
        const auto valid = scanUtf8(text).validLength;
        for (char c : text.substr(0, valid)) {
            if (isControl(static_cast<unsigned char>(c)))
                escape(static_cast<unsigned char>(c));
            else
                out += c;
        }
        text.remove_prefix(valid);
        if (!text.empty()) {
            escape(static_cast<unsigned char>(text.front()));
            text.remove_prefix(1);
        }
    }
    return out;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::string readBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::filesystem::filesystem_error("Could not read " + file.filename().string(), file,
            std::make_error_code(std::errc::io_error));
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What is at the entry's place, for desktopEntryChange: nothing when there
// is nothing, and an empty text for whatever the app cannot have written. It
// writes only regular UTF-8 files, so a link, a folder or a file it cannot
// read is someone else's; a link is not followed, so it is never replaced
// by a file.
std::optional<std::string> readExistingEntry(const std::filesystem::path& entry)
{
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(entry, ec);
    if (status.type() == std::filesystem::file_type::not_found)
        return std::nullopt;
    if (ec || status.type() != std::filesystem::file_type::regular)
        return std::string();
    return readTextFile(entry).value_or(std::string());
}

bool isOwnIcon(const std::filesystem::path& file, const std::string& identifier)
{
    for (auto extension : iconExtensions) {
        if (file.filename() == identifier + std::string(extension))
            return file.parent_path().filename() == "apps";
    }
    return false;
}

} // namespace

std::filesystem::path userDataHome(const std::string& home, const char* xdgDataHome)
{
    if (xdgDataHome && std::filesystem::path(xdgDataHome).is_absolute())
        return xdgDataHome;
    return std::filesystem::path(home) / ".local" / "share";
}

DesktopEntryPaths desktopEntryPaths(const std::filesystem::path& dataHome, const std::string& identifier)
{
    return { dataHome / "applications" / (identifier + ".desktop"), dataHome / "icons" / "hicolor" };
}

std::optional<std::string> desktopEntryText(std::string_view templateText,
    const std::filesystem::path& executable, const std::filesystem::path& bundle, std::int64_t build)
{
    const std::string path = executable.string();
    const std::string root = bundle.string();
    if (!writableInEntry(path) || !writableInEntry(root))
        return std::nullopt;
    const std::pair<std::string_view, std::string> fields[] = {
        { "${exec}", execValue(path) },
        { "${path}", escapeString(path) },
        { "${bundle}", escapeString(root) },
        { "${build}", std::to_string(build) },
    };
    std::string out;
    std::size_t at = 0;
    while (at < templateText.size()) {
        bool replaced = false;
        for (const auto& [field, value] : fields) {
            if (templateText.substr(at).starts_with(field)) {
                out += value;
                at += field.size();
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out += templateText[at++];
    }
    return out;
}

std::optional<DesktopEntryOwner> desktopEntryOwner(std::string_view entryText)
{
    std::optional<std::string> bundle;
    std::string build;
    bool inEntryGroup = false;
    std::istringstream lines { std::string(entryText) };
    for (std::string line; std::getline(lines, line);) {
        const auto text = trim(line);
        if (text.starts_with('[')) {
            inEntryGroup = text == entryGroup;
            continue;
        }
        const auto equals = text.find('=');
        if (!inEntryGroup || equals == std::string_view::npos)
            continue;
        const auto key = trim(text.substr(0, equals));
        const auto value = unescapeString(trim(text.substr(equals + 1)));
        if (key == bundleKey)
            bundle = value;
        else if (key == buildKey)
            build = value;
    }
    if (!bundle)
        return std::nullopt;
    return DesktopEntryOwner { *bundle, build };
}

DesktopEntryChange desktopEntryChange(const std::optional<std::string>& existing,
    const std::filesystem::path& bundle, std::int64_t build)
{
    if (!existing)
        return DesktopEntryChange::write;
    const auto owner = desktopEntryOwner(*existing);
    if (!owner)
        return DesktopEntryChange::leaveAlone;
    if (owner->bundle != bundle.string() || owner->build != std::to_string(build))
        return DesktopEntryChange::write;
    return DesktopEntryChange::keep;
}

bool keepDesktopEntry(const std::filesystem::path& dataHome, const DesktopEntrySource& source,
    const std::filesystem::path& userDefaults, std::ostream& diagnostics)
{
    if (const auto defaults = platform::PropertyList::load(userDefaults);
        defaults && defaults->boolean(disableDesktopEntryKey).value_or(false))
        return true;

    // Each message is put together first and written at once: this runs on
    // a worker thread, beside whatever else the app prints.
    auto say = [&diagnostics](const std::string& line) { diagnostics << ("Sandvoll: " + line + "\n") << std::flush; };
    const auto paths = desktopEntryPaths(dataHome, source.identifier);
    const auto change = desktopEntryChange(readExistingEntry(paths.entry), source.bundle, source.build);
    if (change == DesktopEntryChange::leaveAlone) {
        say("left the launcher entry " + printable(paths.entry.string()) + " alone: Sandvoll did not write it.");
        return true;
    }
    const bool rewrite = change == DesktopEntryChange::write;

    const auto resources = source.bundle / "Contents" / "Resources";
    std::optional<std::string> entry;
    if (rewrite) {
        const auto templateText = readTextFile(resources / desktopEntryTemplateName);
        if (!templateText) {
            say("no launcher entry: the bundle has no readable " + std::string(desktopEntryTemplateName) + ".");
            return false;
        }
        entry = desktopEntryText(*templateText, source.executable, source.bundle, source.build);
        if (!entry) {
            say("no launcher entry: a desktop entry cannot name " + printable(source.executable.string())
                + " (not UTF-8, or with a control character).");
            return false;
        }
    }

    try {
        // The icons go first, so an entry never names an icon that is not there.
        const auto bundleIcons = resources / bundleIconThemeName;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(bundleIcons, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_regular_file() || !isOwnIcon(it->path(), source.identifier))
                continue;
            const auto target = paths.iconTheme / std::filesystem::relative(it->path(), bundleIcons);
            if (!rewrite && std::filesystem::exists(target))
                continue;
            std::filesystem::create_directories(target.parent_path());
            writeTextFileAtomically(target, readBytes(it->path()));
        }
        if (rewrite) {
            std::filesystem::create_directories(paths.entry.parent_path());
            writeTextFileAtomically(paths.entry, *entry);
        }
    } catch (const std::filesystem::filesystem_error& error) {
        say("could not keep the launcher entry: " + printable(error.what()));
        return false;
    }
    return true;
}

void keepOwnDesktopEntry(const std::string& home, const std::filesystem::path& dataHome)
{
    const auto executable = platform::runningExecutable();
    const auto bundle = executable ? platform::Bundle::containing(*executable) : platform::Bundle();
    if (!bundle.root())
        return;
    const DesktopEntrySource source { *bundle.root(), *executable, buildFromInfo(bundle.info()),
        platform::builtInBundleIdentifier() };
    (void)keepDesktopEntry(dataHome, source, userDefaultsPath(home, appBundleIdentifier()), std::cerr);
}

int uninstallDesktopEntry(const std::filesystem::path& dataHome, const std::string& identifier, std::ostream& out)
{
    const auto paths = desktopEntryPaths(dataHome, identifier);
    int status = 0;
    bool removedAny = false;
    auto remove = [&](const std::filesystem::path& file) {
        std::error_code ec;
        if (std::filesystem::remove(file, ec)) {
            out << "Removed " << file.string() << "\n";
            removedAny = true;
        } else if (ec) {
            out << "Could not remove " << file.string() << ": " << ec.message() << "\n";
            status = 1;
        }
    };

    if (const auto existing = readExistingEntry(paths.entry); existing && desktopEntryOwner(*existing))
        remove(paths.entry);
    else if (existing)
        out << "Left " << paths.entry.string() << " alone: Sandvoll did not write it.\n";

    std::error_code ec;
    // Every size the app ever installed, including sizes a later version no
    // longer ships.
    for (auto it = std::filesystem::directory_iterator(paths.iconTheme, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        for (auto extension : iconExtensions) {
            const auto icon = it->path() / "apps" / (identifier + std::string(extension));
            if (std::filesystem::is_regular_file(std::filesystem::symlink_status(icon)))
                remove(icon);
        }
    }
    if (!removedAny && status == 0)
        out << "Sandvoll has no launcher entry to remove.\n";
    return status;
}

} // namespace sv
