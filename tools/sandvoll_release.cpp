// sandvoll-release: the publisher's side of updates. Makes the signing key,
// signs an update package, writes the feed that announces it, and checks a
// release the way the app will before and after it is uploaded.

#include "base/bundle_info.h"
#include "elf_needs.h"
#include "platform/crypto.h"
#include "base/globals.h"
#include "platform/bundle.h"
#include "platform/http.h"
#include "platform/property_list.h"
#include "platform/system_version.h"
#include "platform/temporary_directory.h"
#include "update/package_check.h"
#include "update/package_install.h"
#include "update/package_unpack.h"
#include "update/package_verify.h"
#include "update/public_key.h"
#include "update/update_error.h"
#include "update/update_info.h"
#include "update/updater.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* usage = R"(usage:
  sandvoll-release keygen <private-key-file>
      Makes a new Ed25519 signing key, writes its private half to the file
      (mode 0600; an existing file is never replaced) and prints the public
      key for SANDVOLL_UPDATE_PUBLIC_KEY.
  sandvoll-release sign <package.zip> --key <private-key-file>
      Prints the package's SHA-256 digest and its Base64 Ed25519 signature.
  sandvoll-release feed <package.zip> --key <private-key-file> --version <text>
                   --build <number> --url <package URL> [--notes <text>]
                   [--minimum-system-version <x[.y[.z]]>] [--output <file>]
      Writes the update feed for the package (update.json unless --output).
      --version and --build must be the bundle's own.
  sandvoll-release verify <feed URL or file> [--package <package.zip>]
                   [--installed-build <number>] [--public-key <keys>]
      Checks a release as an app of this build would: reads the feed,
      downloads the package (or takes --package in place of the feed's url,
      to check before uploading), and reports each check in the app's order.
      Exits with 0 only when the app would install the release.
  sandvoll-release use-feed <feed URL>
      Points your own apps of this build at another feed: sets updateFeedURL
      in ~/Library/Preferences/<bundle identifier>.plist and keeps everything
      else there. An empty URL ('') goes back to the built-in feed.
)";

// A failure that ends the program with a message and the given status.
struct Exit {
    int status;
    std::string message;
};

[[noreturn]] void fail(const std::string& message, int status = 1) { throw Exit { status, message }; }

std::string readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot read " + path + ": " + std::strerror(errno));
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad())
        fail("cannot read " + path);
    return bytes.str();
}

// The sub-command's one positional argument and its --options.
struct Arguments {
    std::string positional;
    std::map<std::string, std::string> options;

    [[nodiscard]] std::optional<std::string> option(const std::string& name) const
    {
        const auto it = options.find(name);
        return it == options.end() ? std::nullopt : std::optional(it->second);
    }
    [[nodiscard]] std::string required(const std::string& name) const
    {
        auto value = option(name);
        if (!value)
            fail("missing --" + name + "\n" + usage, 2);
        return *value;
    }
};

Arguments parse(const std::vector<std::string>& words, const std::vector<std::string>& allowed)
{
    Arguments arguments;
    bool havePositional = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto& word = words[i];
        if (word.starts_with("--")) {
            const auto name = word.substr(2);
            if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
                fail("unknown option " + word + "\n" + usage, 2);
            if (i + 1 >= words.size())
                fail("missing value for " + word, 2);
            if (!arguments.options.emplace(name, words[++i]).second)
                fail(word + " given twice", 2);
        } else if (!havePositional) {
            arguments.positional = word;
            havePositional = true;
        } else {
            fail("unexpected argument " + word + "\n" + usage, 2);
        }
    }
    if (!havePositional)
        fail(usage, 2);
    return arguments;
}

std::string joined(const std::vector<std::string>& words, const std::string& separator)
{
    std::string text;
    for (const auto& word : words)
        text += (text.empty() ? "" : separator) + word;
    return text;
}

sv::platform::Ed25519KeyPair loadKey(const std::string& path)
{
    auto keys = sv::platform::loadEd25519PrivateKey(readWhole(path));
    if (!keys)
        fail(path + " is not an Ed25519 private key in PEM form");
    const auto publicKey = sv::platform::base64Encode(keys->publicKey);
    const auto trusts = [&](const std::vector<std::string>& keys) {
        return std::find(keys.begin(), keys.end(), publicKey) != keys.end();
    };
    const auto trusted = sv::updatePublicKeys();
    if (trusts(sv::testUpdatePublicKeys()))
        std::cerr << "warning: this is the repository's TEST key; never publish a release signed with it\n";
    else if (!trusts(trusted))
        std::cerr << "note: this key is not one this build trusts (SANDVOLL_UPDATE_PUBLIC_KEY: "
                  << (trusted.empty() ? "none" : joined(trusted, ", ")) << "); apps built with " << publicKey
                  << " accept it\n";
    return *keys;
}

// Runs the extractor as the app does: unzip, found by its fixed path, with
// the app's search path.
sv::ProgramRunner appRunner() { return sv::commandRunner(sv::Globals(sv::userHomeDirectory())); }

// A fresh work directory, private to the user as the app's are, removed
// with everything in it when this goes.
class WorkDirectory {
public:
    WorkDirectory()
        : path_(sv::newWorkDirectoryPath(sv::platform::temporaryDirectory()))
    {
        if (::mkdir(path_.c_str(), 0700) != 0)
            fail("cannot create " + path_.string() + ": " + std::strerror(errno));
    }
    ~WorkDirectory() { sv::removeTree(path_); }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The information dictionary of the bundle that the app would find in the
// package: unpacked the app's way into a folder of its own, the first
// "<name>.app" at the archive's top level.
sv::InfoDictionary packageBundleInfo(const std::string& package)
{
    const WorkDirectory work;
    try {
        sv::unpackPackage(package, work.path(), appRunner());
    } catch (const sv::UpdateFailure&) {
        fail(package + " is not a zip archive that unzip can unpack safely");
    }
    std::filesystem::path bundle;
    try {
        bundle = sv::findNewBundle(work.path());
    } catch (const sv::UpdateFailure&) {
        fail(package + " holds no <name>.app folder at its top level; zip the .app folder itself "
                       "(the update_package target does)");
    }
    return sv::platform::Bundle::at(bundle).info().value_or(sv::InfoDictionary {});
}

struct Signed {
    std::string sha256;
    std::string signature;
};

Signed signPackage(const std::string& package, const std::string& keyPath)
{
    const auto bytes = readWhole(package);
    const auto keys = loadKey(keyPath);
    const auto signature = sv::platform::signEd25519(keys.privateKeyPEM, bytes);
    // Check the result the way the app will before anyone publishes it.
    if (!signature || !sv::platform::verifyEd25519(keys.publicKey, bytes, *signature))
        fail("signing " + package + " failed");
    return { sv::platform::sha256Hex(bytes), sv::platform::base64Encode(*signature) };
}

int keygen(const std::vector<std::string>& words)
{
    const auto arguments = parse(words, {});
    const auto keys = sv::platform::generateEd25519KeyPair();
    if (!keys)
        fail("cannot make a key");
    const auto& path = arguments.positional;
    // Only the owner may read the private key, from the first byte on, and
    // an existing key is never overwritten: losing it strands every user.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create " + path + ": " + std::strerror(errno));
    const auto& pem = keys->privateKeyPEM;
    const bool written = ::fchmod(fd, 0600) == 0
        && ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) {
        ::unlink(path.c_str());
        fail("cannot write " + path);
    }
    const auto publicKey = sv::platform::base64Encode(keys->publicKey);
    std::cout << publicKey << std::endl;
    std::cerr << "Keep " << path << " secret and backed up.\n";
    const auto trusted = sv::updatePublicKeys();
    if (trusted.empty()) {
        std::cerr << "Build Sandvoll with\n  -DSANDVOLL_UPDATE_PUBLIC_KEY=" << publicKey << '\n';
    } else {
        // Apps out there trust only the keys they were built with; a build
        // with the new key alone could not be installed over them.
        std::cerr << "This build already trusts " << joined(trusted, ", ")
                  << ". To move to the new key, add it to the list:\n  -DSANDVOLL_UPDATE_PUBLIC_KEY='"
                  << joined(trusted, ";") << ';' << publicKey << "'\n"
                  << "and go on signing with the old key until your users run a release that trusts both "
                     "(README, \"Moving to a new key\").\n";
    }
    return 0;
}

int sign(const std::vector<std::string>& words)
{
    const auto arguments = parse(words, { "key" });
    const auto result = signPackage(arguments.positional, arguments.required("key"));
    std::cout << "sha256: " << result.sha256 << "\nsignature: " << result.signature << std::endl;
    return 0;
}

int feed(const std::vector<std::string>& words)
{
    const auto arguments = parse(words, { "key", "version", "build", "url", "notes", "minimum-system-version", "output" });
    const auto version = arguments.required("version");
    const auto buildText = arguments.required("build");
    const auto build = sv::parseSignedInteger(buildText);
    if (!build)
        fail("--build must be a whole number, such as 43, not \"" + buildText + "\"", 2);
    const auto url = arguments.required("url");
    if (url.empty())
        fail("--url must not be empty", 2);
    const auto minimum = arguments.option("minimum-system-version");
    if (minimum && !std::regex_match(*minimum, std::regex("[0-9]+(\\.[0-9]+){0,2}")))
        fail("--minimum-system-version must be numbers separated by dots, such as 12 or 12.3.1", 2);
    const auto keyPath = arguments.required("key");
    const auto output = arguments.option("output").value_or("update.json");

    // The app offers a release by the feed's build and then refuses a bundle
    // whose own build is not newer, so the two must agree. The offer names
    // the feed's version, and the installed app its bundle's: they agree too.
    auto info = packageBundleInfo(arguments.positional);
    const auto bundleBuild = sv::parseSignedInteger(info["CFBundleVersion"]);
    if (!bundleBuild)
        fail("the package's bundle has no whole-number CFBundleVersion");
    if (*bundleBuild != *build)
        fail("the package's bundle has CFBundleVersion " + std::to_string(*bundleBuild) + " but --build is "
            + std::to_string(*build));
    const auto bundleVersion = info.find("CFBundleShortVersionString");
    if (bundleVersion == info.end())
        fail("the package's bundle has no CFBundleShortVersionString");
    if (bundleVersion->second != version)
        fail("the package's bundle has CFBundleShortVersionString \"" + bundleVersion->second + "\" but --version is \""
            + version + "\"");

    const auto result = signPackage(arguments.positional, keyPath);
    nlohmann::ordered_json document;
    document["version"] = version;
    document["build"] = *build;
    document["url"] = url;
    document["sha256"] = result.sha256;
    document["signature"] = result.signature;
    if (const auto notes = arguments.option("notes"))
        document["notesEN"] = *notes;
    if (minimum)
        document["minimumSystemVersion"] = *minimum;

    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out << document.dump(2) << '\n';
    out.close();
    if (!out)
        fail("cannot write " + output);
    std::cout << "wrote " << output << " for " << version << " (build " << *build << ")\n";
    return 0;
}

// ---- verify -----------------------------------------------------------------

using InfoEntry = sv::InfoDictionary::const_iterator;

std::string inQuotes(std::string_view text) { return nlohmann::json(std::string(text)).dump(); }

std::string versionText(const sv::platform::SystemVersion& version)
{
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.patch);
}

std::string byteCount(std::uintmax_t bytes) { return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes"); }

// What an app message box says: its title, then its text.
struct UserMessage {
    std::string title;
    std::string text;
};

UserMessage cantCheckMessage() { return { sv::cantCheckTitle, sv::cantCheckText }; }

UserMessage notInstalled(const std::exception_ptr& failure)
{
    return { std::string(sv::updateNotInstalledTitle), std::string(sv::informativeText(failure)) };
}

UserMessage notInstalled(sv::UpdateError error)
{
    return notInstalled(std::make_exception_ptr(sv::UpdateFailure(error)));
}

// Prints one line per check, "  <check>  ok|FAIL|note|--  <what it found>",
// and for a failure what the user would see and the real cause beneath it.
class Report {
public:
    void ok(std::string_view check, const std::string& found) { line(check, "ok", found); }
    void note(std::string_view check, const std::string& found) { line(check, "note", found); }
    void notJudged(std::string_view check, const std::string& found) { line(check, "--", found); }
    void failure(std::string_view check, const std::string& found, const UserMessage& message, const std::string& cause)
    {
        line(check, "FAIL", found);
        std::cout << indent << "the user sees: " << inQuotes(message.title) << ": " << inQuotes(message.text) << '\n'
                  << indent << "cause: " << cause << '\n';
        if (!firstFailure_)
            firstFailure_ = message;
    }
    [[nodiscard]] const std::optional<UserMessage>& firstFailure() const { return firstFailure_; }

private:
    static constexpr const char* indent = "                    ";
    static void line(std::string_view check, std::string_view status, const std::string& found)
    {
        std::cout << "  " << std::left << std::setw(12) << check << std::setw(6) << status << found << '\n';
    }
    std::optional<UserMessage> firstFailure_;
};

// What the bundle's executable asks of the systems it is to run on. glibc
// and the C++ runtime are only ever compatible forwards, so these are the
// oldest versions a user's system may have.
void reportSystemNeeds(Report& report, const std::filesystem::path& executable)
{
    const auto needs = sv::tools::readElfNeeds(executable);
    if (!needs) {
        report.note("runs on", "not read: " + executable.filename().string() + " is not an ELF executable of this machine");
        return;
    }
    const auto atLeast = [&](const std::string& name, const std::string& prefix) {
        const auto version = sv::tools::highestVersion(*needs, prefix);
        return name + " " + (version.empty() ? std::string("(any)") : version);
    };
    report.ok("runs on", "systems with at least " + atLeast("glibc", "GLIBC_") + " and " + atLeast("GLIBCXX", "GLIBCXX_")
            + "; build on the oldest system you support");
    std::vector<std::string> unusual;
    for (const auto& library : needs->libraries)
        if (!sv::tools::isPortableLibrary(library))
            unusual.push_back(library);
    if (!unusual.empty()) {
        std::string names;
        for (const auto& library : unusual)
            names += (names.empty() ? "" : ", ") + library;
        report.note("runs on", "also needs " + names
                + ", whose name differs between distributions and releases: the app will not start where it is missing");
    }
}

// Whether the text names a place by a scheme ("https://…", "file:…") rather
// than being a path on this machine.
bool hasScheme(std::string_view text)
{
    return std::regex_search(std::string(text), std::regex("^[A-Za-z][A-Za-z0-9+.-]*:"));
}

bool isHttpURL(std::string_view url)
{
    return std::regex_search(std::string(url), std::regex("^https?://", std::regex::icase));
}

std::vector<std::string> parsePublicKeys(const std::string& text)
{
    std::vector<std::string> keys;
    const std::regex separators("[,; \t\r\n]+");
    for (std::sregex_token_iterator it(text.begin(), text.end(), separators, -1), end; it != end; ++it) {
        const std::string key = *it;
        if (key.empty())
            continue;
        const auto bytes = sv::platform::base64Decode(key);
        if (!bytes || bytes->size() != sv::platform::ed25519PublicKeySize)
            fail("--public-key: \"" + key + "\" is not a 44-character Base64 Ed25519 public key", 2);
        keys.push_back(key);
    }
    if (keys.empty())
        fail("--public-key names no key", 2);
    return keys;
}

// The feed body as a check gets it: fetched with the app's request, or read
// from a local file within the same size limit.
struct FeedBody {
    std::string body;
    std::optional<long> status; // the HTTP status when fetched
    // Where it was fetched from; a local file is the publisher's own.
    sv::platform::AddressScope scope = sv::platform::AddressScope::loopback;
};

std::optional<FeedBody> readFeed(const std::string& where, Report& report)
{
    if (hasScheme(where)) {
        const auto result = sv::platform::httpGet(sv::feedRequest(where, sv::UpdaterSettings {}));
        if (!result.ok()) {
            report.failure("feed", where + ": no answer", cantCheckMessage(),
                result.error + (isHttpURL(where) ? "" : " (the app fetches feeds over http and https only)"));
            return std::nullopt;
        }
        report.ok("feed", where + ": HTTP " + std::to_string(result.response->status) + ", "
                + byteCount(result.response->body.size()));
        return FeedBody { result.response->body, result.response->status, result.response->scope };
    }
    std::ifstream in(where, std::ios::binary);
    if (!in)
        fail("cannot read " + where + ": " + std::strerror(errno), 2);
    std::string body(sv::maxFeedBytes + 1, '\0');
    in.read(body.data(), static_cast<std::streamsize>(body.size()));
    body.resize(static_cast<std::size_t>(in.gcount()));
    if (body.size() > sv::maxFeedBytes) {
        report.failure("feed", where + ": over " + byteCount(sv::maxFeedBytes), cantCheckMessage(),
            "the app stops reading a feed at that size; a feed is a few hundred bytes of JSON");
        return std::nullopt;
    }
    report.ok("feed", where + ": " + byteCount(body.size()) + " (a local file: the app will fetch it from its URL)");
    return FeedBody { body, std::nullopt };
}

// Puts the package where the app's download leaves it, "update.zip" in the
// work directory: downloaded from the feed's url with the app's request, or
// copied from --package. Nothing when there is nothing to check; else the
// HTTP status of the download (200 for a local package).
std::optional<long> fetchPackage(const sv::UpdateInfo& info, const std::optional<std::string>& localPackage,
    const std::filesystem::path& work, Report& report)
{
    const sv::UpdaterSettings limits;
    const auto downloadFailed = notInstalled(std::exception_ptr());
    sv::UniqueFd file = sv::createWorkDirectory(work);
    if (localPackage) {
        // The app downloads the url exactly as the feed writes it.
        if (!isHttpURL(info.url)) {
            report.failure("download", inQuotes(info.url) + " cannot be downloaded", downloadFailed,
                "the app downloads only http and https URLs, as written; give the full address the zip will have");
            return std::nullopt;
        }
        std::error_code ec;
        const auto size = std::filesystem::file_size(*localPackage, ec);
        if (ec)
            fail("cannot read " + *localPackage + ": " + ec.message(), 2);
        if (size > limits.maxPackageBytes) {
            report.failure("download", *localPackage + ": " + byteCount(size), downloadFailed,
                "the app refuses a package over " + byteCount(limits.maxPackageBytes));
            return std::nullopt;
        }
        std::ifstream in(*localPackage, std::ios::binary);
        std::vector<char> buffer(1 << 20);
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            if (!sv::writeAll(file.get(), std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount()))))
                fail("cannot copy " + *localPackage + " to " + work.string());
        }
        if (in.bad() || file.reset() != 0)
            fail("cannot copy " + *localPackage + " to " + work.string());
        report.note("download", "not made: " + *localPackage + " (" + byteCount(size) + ") stands for " + info.url);
        return 200;
    }

    sv::platform::HttpRequest request = sv::packageRequest(info, limits);
    request.onBody = [fd = file.get()](std::string_view piece) { return sv::writeAll(fd, piece); };
    const auto result = sv::platform::httpGet(request);
    if (!result.ok() || file.reset() != 0) {
        report.failure("download", info.url + ": no package", downloadFailed,
            result.ok() ? "cannot write " + work.string()
                        : result.error + (isHttpURL(info.url) ? "" : " (the app downloads only http and https URLs, as written)"));
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(work / sv::packageFileName);
    const long status = result.response->status;
    report.ok("download", info.url + ": HTTP " + std::to_string(status) + ", " + byteCount(size)
            + (status == 200 ? "" : " (the app does not look at the status: this page is what it checks)"));
    return status;
}

// The names in the archive that the app's unpacking refuses, or why it
// cannot list them.
std::string whyNotUnpacked(const std::filesystem::path& archive)
{
    const auto listing = appRunner()(std::filesystem::path(sv::unzipPath), { "-Z1", archive.string() });
    if (listing.status != 0 || listing.output.empty())
        return "unzip cannot read it as a zip archive";
    std::istringstream names(listing.output);
    for (std::string name; std::getline(names, name);) {
        if (!sv::isSafeArchiveName(name))
            return "the archive holds " + inQuotes(name) + ", a name that points outside the folder it is unpacked in";
    }
    return "unzip cannot unpack it (an encrypted or damaged member)";
}

std::string topLevelNames(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().filename() != sv::packageFileName)
            names.push_back(entry.path().filename().string() + (entry.is_directory() ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? "nothing" : joined(names, ", ");
}

int verify(const std::vector<std::string>& words)
{
    const auto arguments = parse(words, { "package", "installed-build", "public-key" });
    const auto publicKeyOption = arguments.option("public-key");
    const auto keys = publicKeyOption ? parsePublicKeys(*publicKeyOption) : sv::updatePublicKeys();
    std::optional<std::int64_t> installedOption;
    if (const auto text = arguments.option("installed-build")) {
        installedOption = sv::parseSignedInteger(*text);
        if (!installedOption)
            fail("--installed-build must be a whole number, such as 42, not " + inQuotes(*text), 2);
    }
    const auto localPackage = arguments.option("package");
    const std::string identifier = sv::platform::builtInBundleIdentifier();

    std::cout << "Checking " << arguments.positional << " as an app of this build would.\n"
              << "  trusted keys: "
              << (keys.empty() ? "none (this build was configured without SANDVOLL_UPDATE_PUBLIC_KEY)"
                               : joined(keys, ", "))
              << (publicKeyOption ? " (--public-key, in place of this build's)" : "") << '\n'
              << "  bundle identifier: " << identifier << '\n'
              << "  built-in feed: " << sv::defaultFeed << " (a user's updateFeedURL takes its place)\n";
    // Whose verdict this is: with --public-key, apps that trust other keys
    // than this build's (those still out there during a move to a new key).
    const std::string judge = publicKeyOption ? "an app that trusts the --public-key keys" : "an app of this build";
    Report report;
    const auto finish = [&] {
        if (const auto& failure = report.firstFailure()) {
            std::cout << "verify: " << judge << " would not install this release. It stops at the first FAIL "
                         "and shows "
                      << inQuotes(failure->title) << ": " << inQuotes(failure->text) << '\n';
            return 1;
        }
        return 0;
    };

    // The check: the feed, its fields, newer than the installed build, the
    // system it needs.
    const auto feedBody = readFeed(arguments.positional, report);
    if (!feedBody)
        return finish();
    sv::UpdateInfo info;
    try {
        info = sv::decodeUpdateInfo(feedBody->body);
        info.feedScope = feedBody->scope;
    } catch (const sv::FeedDecodeError& error) {
        std::string cause = std::string("not a feed: ") + error.what();
        if (feedBody->status && *feedBody->status != 200)
            cause += " (the server answered HTTP " + std::to_string(*feedBody->status) + ": an error page?)";
        report.failure("fields", "not an update feed", cantCheckMessage(), cause);
        return finish();
    }
    report.ok("fields", "version " + inQuotes(info.version) + ", build " + std::to_string(info.build) + ", url "
            + info.url + (info.notesEN ? ", notesEN" : "")
            + (info.minimumSystemVersion ? ", minimumSystemVersion " + inQuotes(*info.minimumSystemVersion) : ""));

    // Every app the feed is offered to runs a build below the feed's; the
    // highest of them is the one a too-low bundle build fails first.
    const std::int64_t installed = installedOption.value_or(
        info.build == std::numeric_limits<std::int64_t>::min() ? info.build : info.build - 1);
    const std::string installedBuild = "build " + std::to_string(installed);
    const std::string installedText = "installed " + installedBuild;
    const std::string installedWhy = installedOption
        ? " (--installed-build)"
        : " (the feed's build less one, which stands for every app the feed is offered to; --installed-build "
          "to check for another)";
    if (info.build <= installed)
        report.failure("newer", "build " + std::to_string(info.build) + " is not newer than the " + installedText + installedWhy,
            { sv::upToDateTitle, sv::upToDateText("<installed version>") },
            "the app offers only a build greater than its own; raise SANDVOLL_BUILD_NUMBER for each release");
    else
        report.ok("newer", "build " + std::to_string(info.build) + " is newer than the " + installedText + installedWhy);

    if (!info.minimumSystemVersion) {
        report.ok("system", "no minimumSystemVersion: offered on every system");
    } else {
        // Users' machines are not this one, so this is told, not judged.
        const auto required = sv::requiredSystemVersion(*info.minimumSystemVersion);
        const auto here = sv::platform::runningSystemVersion();
        const bool meets = here >= required;
        report.note("system", "needs Linux " + versionText(required) + " or newer; this machine runs "
                + versionText(here)
                + (meets ? ", which meets it"
                         : ", which does not: an app here would say it is up to date")
                + "; users with an older kernel are not offered it");
    }

    // The install: download, signature, digest, unpacking, the bundle.
    const WorkDirectory scratch;
    const auto work = scratch.path() / "download";
    const auto packageStatus = fetchPackage(info, localPackage, work, report);
    if (!packageStatus)
        return finish();

    // The app's own verdict, from the very steps it runs, in its order. The
    // folder check answers for this machine's temporary directory, which
    // says nothing about a user's; it is reported as not judged below.
    // Whether the package passed the app's own verification, after which,
    // and only after which, the app unpacks it.
    bool verified = false;
    sv::InstallEnvironment environment { keys,
        sv::RunningApp { scratch.path() / "Applications" / "Sandvoll.app", identifier, installed }, appRunner(),
        [&verified] { verified = true; } };
    std::filesystem::create_directories(environment.running.bundle.parent_path());
    std::exception_ptr verdict;
    std::filesystem::path newBundle;
    try {
        newBundle = sv::preparePackage(work, info.sha256, info.signature, environment);
    } catch (...) {
        verdict = std::current_exception();
    }

    // Signature, then digest, as the app checks them.
    const auto archive = work / sv::packageFileName;
    const auto findings = sv::examinePackageFile(archive, info.sha256, info.signature, keys);
    const auto badSignature = notInstalled(sv::UpdateError::badSignature);
    if (findings.signingKey) {
        report.ok("signature", "verifies with trusted key " + std::to_string(*findings.signingKey + 1) + " of "
                + std::to_string(keys.size()) + ", " + keys[*findings.signingKey]);
    } else if (!findings.signatureDecodes) {
        report.failure("signature", "not strict Base64", badSignature,
            "the feed's signature was changed by hand or broken in transit; write the feed again with "
            "sandvoll-release feed");
    } else if (keys.empty()) {
        report.failure("signature", "no key to verify it with", badSignature,
            "this build trusts no key; configure it with -DSANDVOLL_UPDATE_PUBLIC_KEY=<your public key>");
    } else if (!findings.digestMatches && *packageStatus != 200) {
        report.failure("signature", "no trusted key verifies it", badSignature,
            "the url answered HTTP " + std::to_string(*packageStatus)
                + " with a page instead of the zip; upload the zip to exactly the feed's url");
    } else if (!findings.digestMatches) {
        report.failure("signature", "no trusted key verifies it", badSignature,
            "the package is not the zip the feed was written for: its digest differs too, so it changed after "
            "sandvoll-release feed (zipped again, rebuilt, or altered on the way); write the feed again from the "
            "zip you upload, and upload that zip unchanged");
    } else {
        report.failure("signature", "no trusted key verifies it", badSignature,
            "the package is the one the feed describes (its digest matches), but it was signed with a key that is "
            "not among the trusted keys above; sign it with the private key of one of them");
    }
    if (findings.digestMatches)
        report.ok("digest", "expected " + info.sha256 + ", actual " + findings.sha256);
    else
        report.failure("digest", "expected " + info.sha256 + ", actual " + findings.sha256, badSignature,
            findings.signingKey ? "the feed's sha256 is not this package's; it was edited by hand or belongs to "
                                  "another zip; write the feed again with sandvoll-release feed"
                                : "the zip changed after the feed was written");

    // Unpacked the app's way, and only when the app would unpack it. A
    // package that fails verification may be anyone's, and a small zip can
    // unpack to gigabytes, so it is not unpacked here either.
    if (!verified) {
        report.notJudged("archive", "not unpacked: the app unpacks only a package that passes the checks above");
        return finish();
    }
    const auto badPackage = notInstalled(sv::UpdateError::badPackage);
    const WorkDirectory unpacked;
    if (newBundle.empty()) {
        try {
            sv::unpackPackage(archive, unpacked.path(), appRunner());
        } catch (const sv::UpdateFailure&) {
            report.failure("archive", "cannot be unpacked", badPackage, whyNotUnpacked(archive));
            return finish();
        }
        try {
            newBundle = sv::findNewBundle(unpacked.path());
        } catch (const sv::UpdateFailure&) {
            report.failure("archive", "no <name>.app at the top level; it holds " + topLevelNames(unpacked.path()),
                badPackage,
                "zip the .app folder itself, from the folder that holds it (the update_package target does); "
                "the name must end in .app in lower case");
            return finish();
        }
    }
    report.ok("archive", newBundle.filename().string() + " at the top level, unpacked as the app unpacks it");

    std::error_code ec;
    if (std::filesystem::symlink_status(newBundle, ec).type() != std::filesystem::file_type::directory) {
        report.failure("archive", newBundle.filename().string() + " is not a folder", badPackage,
            "the app moves only a real folder into its place, never a link or a file");
        return finish();
    }
    const auto bundleInfo = sv::platform::Bundle::at(newBundle).info();
    const auto newIdentifier = sv::identifierFromInfo(bundleInfo);
    const std::string identifierText = newIdentifier ? inQuotes(*newIdentifier) : "none";
    if (newIdentifier == identifier)
        report.ok("identifier", identifierText + ", the same as this build's");
    else
        report.failure("identifier", identifierText + ", not this build's " + inQuotes(identifier), badPackage,
            "the app installs only a bundle with its own identifier; build the release with the "
            "SANDVOLL_BUNDLE_IDENTIFIER your users' apps have");

    const auto bundleBuild = sv::buildFromInfo(bundleInfo);
    std::string buildText = "CFBundleVersion " + std::to_string(bundleBuild);
    const auto written = bundleInfo ? bundleInfo->find("CFBundleVersion") : InfoEntry();
    if (!bundleInfo || written == bundleInfo->end())
        buildText += " (none in its Info.plist)";
    else if (!sv::parseSignedInteger(written->second))
        buildText += " (" + inQuotes(written->second) + " is not a whole number)";
    if (bundleBuild <= installed) {
        std::string cause = "the app installs only a bundle newer than itself";
        if (bundleBuild < info.build)
            cause = "the feed says build " + std::to_string(info.build) + " but the bundle is build "
                + std::to_string(bundleBuild) + ": apps below build " + std::to_string(bundleBuild)
                + " install it once, and from then on it is offered at every check and refused as damaged; "
                  "write the feed with the bundle's own build";
        report.failure("build", buildText + ", not newer than the " + installedText, badPackage, cause);
    } else if (bundleBuild < info.build) {
        report.failure("build", buildText + ", below the feed's build " + std::to_string(info.build), badPackage,
            "apps of builds " + std::to_string(bundleBuild) + " to " + std::to_string(info.build - 1)
                + " are offered it at every check and refuse it as damaged; write the feed with the bundle's "
                  "own build");
    } else {
        report.ok("build", buildText + ", newer than the " + installedText
                + (bundleBuild == info.build ? ", and the feed's build"
                                             : "; note: the feed says " + std::to_string(info.build)));
    }

    const auto bundleVersion = sv::versionFromInfo(bundleInfo);
    if (bundleVersion == info.version)
        report.ok("version", "CFBundleShortVersionString " + inQuotes(bundleVersion) + ", as the feed says");
    else
        report.note("version", "CFBundleShortVersionString " + inQuotes(bundleVersion) + ", but the offer will say "
                + inQuotes(info.version));

    const auto executable = newBundle / sv::bundleExecutable;
    if (std::filesystem::is_regular_file(executable, ec)
        && ::faccessat(AT_FDCWD, executable.c_str(), X_OK, AT_EACCESS) == 0)
        report.ok("executable", std::string(sv::bundleExecutable) + " is an executable file");
    else
        report.failure("executable", std::string(sv::bundleExecutable) + " is missing or not executable", badPackage,
            "the app would replace itself with a bundle that cannot start; zip the whole built Sandvoll.app");

    reportSystemNeeds(report, executable);

    report.notJudged("folder", "whether a user may write to the folder of their app is checked on their machine");

    // The app's verdict decides; the lines above explain it.
    if (verdict && !report.firstFailure())
        report.failure("package", "refused", notInstalled(verdict), "a check this tool cannot name refused it");
    if (!report.firstFailure()) {
        std::cout << "verify: " << judge << " at " << installedBuild << " would install " << info.version
                  << " (build " << bundleBuild << ")\n";
        if (!hasScheme(arguments.positional) || localPackage)
            std::cout << "Once the zip and then the feed are uploaded, check the live feed the same way: "
                         "sandvoll-release verify <feed URL>\n";
    }
    return finish();
}

// ---- use-feed ---------------------------------------------------------------

int useFeed(const std::vector<std::string>& words)
{
    const auto arguments = parse(words, {});
    const auto& url = arguments.positional;
    // The app ignores a default that is not a URL and fetches only over
    // http and https; either would leave it on the built-in feed or none.
    if (!url.empty() && (!sv::platform::isURL(url) || !isHttpURL(url)))
        fail(inQuotes(url) + " is not an http or https URL", 2);
    const std::string identifier = sv::platform::builtInBundleIdentifier();
    const auto file = sv::userDefaultsPath(sv::userHomeDirectory(), identifier);
    std::optional<sv::platform::PropertyList> defaults;
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        // The app's other defaults (the window's size) stay; a file that
        // cannot be read is left alone rather than replaced.
        defaults = sv::platform::PropertyList::load(file);
        if (!defaults)
            fail(file.string() + " is not a property list; it is left as it is");
    } else {
        defaults.emplace();
    }
    defaults->setString("updateFeedURL", url);
    if (!defaults->save(file))
        fail("cannot write " + file.string());
    if (url.empty())
        std::cout << "apps of " << identifier << " that you run now use the built-in feed, " << sv::defaultFeed
                  << '\n';
    else
        std::cout << "set updateFeedURL to " << url << " in " << file.string()
                  << "\napps of " << identifier << " that you run read it at their next check\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> words(argv + std::min(argc, 2), argv + argc);
    const std::string command = argc >= 2 ? argv[1] : "";
    try {
        if (command == "keygen")
            return keygen(words);
        if (command == "sign")
            return sign(words);
        if (command == "feed")
            return feed(words);
        if (command == "verify")
            return verify(words);
        if (command == "use-feed")
            return useFeed(words);
        if (command == "--help" || command == "-h" || command == "help") {
            std::cout << usage;
            return 0;
        }
        std::cerr << usage;
        return 2;
    } catch (const Exit& exit) {
        std::cerr << "sandvoll-release: " << exit.message << '\n';
        return exit.status;
    } catch (const std::exception& error) {
        std::cerr << "sandvoll-release: " << error.what() << '\n';
        return 1;
    }
}
