#include "app/desktop_entry.h"

#include "app/app_info.h"
#include "base/bundle_info.h"
#include "platform/bundle.h"
#include "platform/property_list.h"
#include "setup/text_file.h"
#include "setup/utf8.h"

#include <fstream>
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
// would read stay part of it, with the quoting's own escapes, then the
// field-code escape for '%', then the string escape the whole value gets.
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
    return escapeString(quoted);
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

bool writableInEntry(std::string_view text)
{
    if (!isValidUtf8(text))
        return false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
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

bool isOwnIcon(const std::filesystem::path& file, const std::string& identifier)
{
    for (auto extension : iconExtensions) {
        if (file.filename() == identifier + std::string(extension))
            return file.parent_path().filename() == "apps";
    }
    return false;
}

} // namespace

DesktopEntryPaths desktopEntryPaths(const std::string& home, const std::string& identifier)
{
    const auto data = std::filesystem::path(home) / ".local" / "share";
    return { data / "applications" / (identifier + ".desktop"), data / "icons" / "hicolor" };
}

std::optional<std::string> desktopEntryText(std::string_view templateText,
    const std::filesystem::path& executable, const std::filesystem::path& bundle, std::int64_t build)
{
    const std::string path = executable.string();
    const std::string root = bundle.string();
    if (!writableInEntry(path) || !writableInEntry(root))
        return std::nullopt;
    const std::pair<std::string_view, std::string> fields[] = {
        { "${exec}", execArgument(path) },
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

bool desktopEntryNeedsWriting(const std::optional<std::string>& existing,
    const std::filesystem::path& bundle, std::int64_t build)
{
    if (!existing)
        return true;
    const auto owner = desktopEntryOwner(*existing);
    return !owner || owner->bundle != bundle.string() || owner->build != std::to_string(build);
}

bool keepDesktopEntry(const std::string& home, const DesktopEntrySource& source,
    const std::filesystem::path& userDefaults)
{
    if (const auto defaults = platform::PropertyList::load(userDefaults);
        defaults && defaults->boolean(disableDesktopEntryKey).value_or(false))
        return true;

    const auto resources = source.bundle / "Contents" / "Resources";
    const auto templateText = readTextFile(resources / desktopEntryTemplateName);
    if (!templateText)
        return false;
    const auto entry = desktopEntryText(*templateText, source.executable, source.bundle, source.build);
    if (!entry)
        return false;
    const auto paths = desktopEntryPaths(home, source.identifier);
    const bool rewrite = desktopEntryNeedsWriting(readTextFile(paths.entry), source.bundle, source.build);

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
    } catch (const std::filesystem::filesystem_error&) {
        return false;
    }
    return true;
}

void keepOwnDesktopEntry(const std::string& home)
{
    const auto executable = platform::runningExecutable();
    const auto bundle = executable ? platform::Bundle::containing(*executable) : platform::Bundle();
    if (!bundle.root())
        return;
    const DesktopEntrySource source { *bundle.root(), *executable, buildFromInfo(bundle.info()),
        platform::builtInBundleIdentifier() };
    (void)keepDesktopEntry(home, source, userDefaultsPath(home, appBundleIdentifier()));
}

int uninstallDesktopEntry(const std::string& home, const std::string& identifier, std::ostream& out)
{
    const auto paths = desktopEntryPaths(home, identifier);
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

    std::error_code ec;
    if (const auto existing = readTextFile(paths.entry); existing && desktopEntryOwner(*existing))
        remove(paths.entry);
    else if (std::filesystem::exists(paths.entry, ec))
        out << "Left " << paths.entry.string() << " alone: Sandvoll did not write it.\n";

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
