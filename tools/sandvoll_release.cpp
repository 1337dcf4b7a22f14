// sandvoll-release: the publisher's side of updates. Makes the signing key,
// signs an update package and writes the feed that announces it.

#include "base/bundle_info.h"
#include "platform/crypto.h"
#include "base/globals.h"
#include "platform/bundle.h"
#include "platform/temporary_directory.h"
#include "update/package_check.h"
#include "update/package_unpack.h"
#include "update/public_key.h"
#include "update/update_error.h"
#include "update/updater.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
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

sv::platform::Ed25519KeyPair loadKey(const std::string& path)
{
    auto keys = sv::platform::loadEd25519PrivateKey(readWhole(path));
    if (!keys)
        fail(path + " is not an Ed25519 private key in PEM form");
    const auto publicKey = sv::platform::base64Encode(keys->publicKey);
    const auto trusts = [&](const std::vector<std::string>& keys) {
        return std::find(keys.begin(), keys.end(), publicKey) != keys.end();
    };
    if (trusts(sv::testUpdatePublicKeys()))
        std::cerr << "warning: this is the repository's TEST key; never publish a release signed with it\n";
    else if (!trusts(sv::updatePublicKeys()))
        std::cerr << "note: this key is not one this build trusts (SANDVOLL_UPDATE_PUBLIC_KEY); apps built "
                     "with "
                  << publicKey << " accept it\n";
    return *keys;
}

// The CFBundleVersion of the bundle that the app would find in the package:
// unpacked the app's way into a folder of its own, the first "<name>.app"
// at the archive's top level.
std::int64_t packageBuild(const std::string& package)
{
    const auto work = sv::newWorkDirectoryPath(sv::platform::temporaryDirectory());
    if (::mkdir(work.c_str(), 0700) != 0)
        fail("cannot create " + work.string() + ": " + std::strerror(errno));
    struct Removed {
        std::filesystem::path tree;
        ~Removed() { sv::removeTree(tree); }
    } removed { work };
    try {
        sv::unpackPackage(package, work, sv::commandRunner(sv::Globals(sv::userHomeDirectory())));
    } catch (const sv::UpdateFailure&) {
        fail(package + " is not a zip archive that unzip can unpack safely");
    }
    std::filesystem::path bundle;
    try {
        bundle = sv::findNewBundle(work);
    } catch (const sv::UpdateFailure&) {
        fail(package + " holds no <name>.app folder at its top level; zip the .app folder itself "
                       "(the update_package target does)");
    }
    const auto number = sv::parseSignedInteger(
        sv::platform::Bundle::at(bundle).info().value_or(sv::InfoDictionary {})["CFBundleVersion"]);
    if (!number)
        fail(bundle.filename().string() + " in " + package + " has no whole-number CFBundleVersion");
    return *number;
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
    std::cout << sv::platform::base64Encode(keys->publicKey) << std::endl;
    std::cerr << "Keep " << path << " secret and backed up. Build Sandvoll with\n"
              << "  -DSANDVOLL_UPDATE_PUBLIC_KEY=" << sv::platform::base64Encode(keys->publicKey) << '\n';
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
    // whose own build is not newer, so the two must agree.
    const auto bundleBuild = packageBuild(arguments.positional);
    if (bundleBuild != *build)
        fail("the package's bundle has CFBundleVersion " + std::to_string(bundleBuild) + " but --build is "
            + std::to_string(*build));

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
