// The publisher's tool, run as a program: what it makes is what the app
// accepts, and its mistakes are caught before anything is published.

#include "elf_needs.h"
#include "base/bundle_info.h"
#include "platform/bundle.h"
#include "platform/crypto.h"
#include "platform/property_list.h"
#include "support/local_runner.h"
#include "support/loopback_http_server.h"
#include "support/sandbox.h"
#include "support/scoped_variable.h"
#include "update/package_install.h"
#include "update/public_key.h"
#include "update/update_error.h"
#include "update/update_info.h"

#include <gtest/gtest.h>

#include <regex>
#include <nlohmann/json.hpp>

#include <optional>
#include <sys/stat.h>

namespace sv {
namespace {

namespace fs = std::filesystem;

const fs::path tool = SV_BINARY_DIR "/tools/sandvoll-release";
// The same tool from a build that trusts the repository's test keys.
const fs::path testKeyTool = SV_BINARY_DIR "/tests/sandvoll_release_test_key";
const fs::path testKeys = SV_SOURCE_DIR "/tests/fixtures/keys";

// The value after "<label>: " on its own line of the output.
std::string field(const std::string& output, const std::string& label)
{
    const auto text = "\n" + output;
    const auto at = text.find("\n" + label + ": ");
    if (at == std::string::npos)
        return "";
    const auto begin = at + label.size() + 3;
    return text.substr(begin, text.find('\n', begin) - begin);
}

class ReleaseTool : public ::testing::Test {
protected:
    test::Sandbox sandbox;
    fs::path key = sandbox / "keys/release.pem";
    fs::path package = sandbox / "Sandvoll-2.0-43.zip";

    void SetUp() override
    {
        fs::create_directories(key.parent_path());
        makePackage(package, "Sandvoll.app", "43");
    }

    void makePackage(const fs::path& archive, const std::string& bundlePath, const std::string& build,
        const std::string& version = "2.0", const std::string& executable = "#!/bin/sh\n")
    {
        const auto tree = sandbox / ("tree-" + archive.stem().string());
        test::writeFile(tree / bundlePath / "Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>org.sandvoll.Sandvoll</string>"
            "<key>CFBundleShortVersionString</key><string>"
                + version + "</string><key>CFBundleVersion</key><string>" + build + "</string></dict></plist>");
        test::writeFile(tree / bundlePath / "Contents/Linux/Sandvoll", executable);
        fs::permissions(tree / bundlePath / "Contents/Linux/Sandvoll", fs::perms::owner_all);
        fs::remove(archive); // zip adds to an archive that is there
        fs::create_directories(archive.parent_path());
        const auto made = test::runLocally(
            "/bin/sh", { "-c", "cd \"$1\" && zip -q -r -y \"$2\" .", "sh", tree.string(), archive.string() });
        ASSERT_EQ(made.status, 0) << made.output;
    }

    std::string keygen()
    {
        const auto result = test::runLocally(tool, { "keygen", key.string() });
        EXPECT_EQ(result.status, 0) << result.output;
        return result.output.substr(0, result.output.find('\n'));
    }

    // What the app makes of the package when it trusts the key.
    fs::path install(const std::string& sha256, const std::string& signature, const std::string& publicKey,
        const fs::path& work)
    {
        test::downloadInto(work, test::readFile(package));
        const InstallEnvironment environment { { publicKey },
            RunningApp { sandbox / "Applications/Sandvoll.app", "org.sandvoll.Sandvoll", 42 }, test::localRunner(),
            nullptr };
        return preparePackage(work, sha256, signature, environment);
    }
};

TEST_F(ReleaseTool, KeygenWritesAnOwnerOnlyKeyAndNeverReplacesOne)
{
    const auto publicKey = keygen();
    struct stat info {};
    ASSERT_EQ(stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    const auto keys = platform::loadEd25519PrivateKey(test::readFile(key));
    ASSERT_TRUE(keys);
    EXPECT_EQ(publicKey, platform::base64Encode(keys->publicKey));
    EXPECT_EQ(publicKey.size(), 44u);

    const auto before = test::readFile(key);
    const auto again = test::runLocally(tool, { "keygen", key.string() });
    EXPECT_NE(again.status, 0);
    EXPECT_NE(again.output.find("File exists"), std::string::npos) << again.output;
    EXPECT_EQ(test::readFile(key), before);
}

TEST_F(ReleaseTool, SignatureIsAcceptedByTheAppAndByOpenSSL)
{
    const auto publicKey = keygen();
    const auto signedOutput = test::runLocally(tool, { "sign", package.string(), "--key", key.string() });
    ASSERT_EQ(signedOutput.status, 0) << signedOutput.output;
    const auto sha256 = field(signedOutput.output, "sha256");
    const auto signature = field(signedOutput.output, "signature");
    EXPECT_EQ(sha256.size(), 64u);
    EXPECT_EQ(signature.size(), 88u);

    fs::create_directories(sandbox / "Applications");
    EXPECT_NO_THROW((void)install(sha256, signature, publicKey, sandbox / "tmp/Sandvoll-Update-TOOL"));

    // An independent implementation agrees on both.
    test::writeFile(sandbox / "signature.bin", *platform::base64Decode(signature));
    const auto publicPem = test::runLocally(
        "/usr/bin/openssl", { "pkey", "-in", key.string(), "-pubout", "-out", (sandbox / "public.pem").string() });
    ASSERT_EQ(publicPem.status, 0) << publicPem.output;
    const auto verified = test::runLocally("/usr/bin/openssl",
        { "pkeyutl", "-verify", "-pubin", "-inkey", (sandbox / "public.pem").string(), "-rawin", "-in",
            package.string(), "-sigfile", (sandbox / "signature.bin").string() });
    EXPECT_EQ(verified.status, 0) << verified.output;
    const auto digest = test::runLocally("/usr/bin/openssl", { "dgst", "-sha256", "-r", package.string() });
    EXPECT_EQ(digest.output.substr(0, 64), sha256);
}

TEST_F(ReleaseTool, FeedDescribesThePackageInTheAppsFormat)
{
    const auto publicKey = keygen();
    makePackage(package, "Sandvoll.app", "43", "2.0 \"Dune\"");
    const auto feedFile = sandbox / "site/update.json";
    fs::create_directories(feedFile.parent_path());
    const auto result = test::runLocally(tool,
        { "feed", package.string(), "--key", key.string(), "--version", "2.0 \"Dune\"", "--build", "43", "--url",
            "https://example.org/Sandvoll 2.0.zip", "--notes", "Faster.\nLine two: ünïcode", "--minimum-system-version",
            "12.3", "--output", feedFile.string() });
    ASSERT_EQ(result.status, 0) << result.output;
    const auto feed = nlohmann::json::parse(test::readFile(feedFile));
    ASSERT_TRUE(feed.is_object());
    EXPECT_EQ(feed.size(), 7u);
    EXPECT_EQ(feed.at("version"), "2.0 \"Dune\"");
    EXPECT_TRUE(feed.at("build").is_number_integer());
    EXPECT_EQ(feed.at("build"), 43);
    EXPECT_EQ(feed.at("url"), "https://example.org/Sandvoll 2.0.zip");
    EXPECT_EQ(feed.at("notesEN"), "Faster.\nLine two: ünïcode");
    EXPECT_EQ(feed.at("minimumSystemVersion"), "12.3");
    fs::create_directories(sandbox / "Applications");
    EXPECT_NO_THROW((void)install(feed.at("sha256").get<std::string>(), feed.at("signature").get<std::string>(),
        publicKey, sandbox / "tmp/Sandvoll-Update-FEED"));

    // Without the optional members the keys are left out, not null.
    const auto plain = test::runLocally(tool,
        { "feed", package.string(), "--key", key.string(), "--version", "2.0 \"Dune\"", "--build", "+43", "--url", "u",
            "--output", feedFile.string() });
    ASSERT_EQ(plain.status, 0) << plain.output;
    const auto plainFeed = nlohmann::json::parse(test::readFile(feedFile));
    EXPECT_EQ(plainFeed.size(), 5u);
    EXPECT_FALSE(plainFeed.contains("notesEN"));
    EXPECT_FALSE(plainFeed.contains("minimumSystemVersion"));
}

TEST_F(ReleaseTool, MistakesAreCaughtBeforeAFeedIsWritten)
{
    keygen();
    const auto feedFile = sandbox / "update.json";
    const auto feed = [&](const fs::path& archive, std::vector<std::string> extra, std::string version = "2.0") {
        std::vector<std::string> arguments { "feed", archive.string(), "--key", key.string(), "--version", version,
            "--url", "https://example.org/p.zip", "--output", feedFile.string() };
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return test::runLocally(tool, arguments);
    };
    const auto nested = sandbox / "nested.zip";
    makePackage(nested, "Release/Sandvoll.app", "43");

    const std::pair<ProgramResult, std::string> cases[] = {
        { feed(package, { "--build", "1.2" }), "--build must be a whole number" },
        { feed(package, { "--build", "44" }), "has CFBundleVersion 43 but --build is 44" },
        { feed(package, { "--build", "43" }, "9.9.9"),
            "has CFBundleShortVersionString \"2.0\" but --version is \"9.9.9\"" },
        { feed(nested, { "--build", "43" }), "holds no <name>.app folder at its top level" },
        { feed(package, { "--build", "43", "--minimum-system-version", "12.x" }), "--minimum-system-version must" },
        { feed(package, { "--build", "43", "--colour", "red" }), "unknown option --colour" },
        { feed(package, {}), "missing --build" },
        { feed(sandbox / "missing.zip", { "--build", "43" }), "missing.zip is not a zip archive" },
        { test::runLocally(tool, { "sign", package.string(), "--key", (sandbox / "nokey.pem").string() }),
            "cannot read" },
        { test::runLocally(tool, { "sign", package.string(), "--key", package.string() }),
            "is not an Ed25519 private key" },
        { test::runLocally(tool, { "publish" }), "usage:" },
    };
    for (const auto& [result, message] : cases) {
        EXPECT_NE(result.status, 0) << message;
        EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
    }
    EXPECT_FALSE(fs::exists(feedFile));
}

TEST_F(ReleaseTool, SigningWithARepositoryTestKeyIsFlagged)
{
    for (const char* name : { "test_update_key.pem", "test_update_key_2.pem" }) {
        const auto result = test::runLocally(tool,
            { "sign", package.string(), "--key", std::string(SV_SOURCE_DIR "/tests/fixtures/keys/") + name });
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("warning: this is the repository's TEST key"), std::string::npos) << name;
    }
}

// The whole path: a release that passes verify before upload and after it,
// and the three mistakes publishers make, each told by its own cause.
TEST_F(ReleaseTool, VerifyPassesAGoodReleaseAndNamesTheCauseOfEachMistake)
{
    fs::create_directories(sandbox / "tmp");
    const test::ScopedVariable temporary("TMPDIR", (sandbox / "tmp").string());
    const auto publicKey = keygen();
    const auto otherKey = sandbox / "keys/other.pem";
    ASSERT_EQ(test::runLocally(tool, { "keygen", otherKey.string() }).status, 0);
    test::LoopbackHttpServer site;
    const auto packageURL = site.url("/Sandvoll-2.0-43.zip");
    const auto writeFeed = [&](const fs::path& signingKey, const fs::path& output) {
        const auto written = test::runLocally(tool, { "feed", package.string(), "--key", signingKey.string(),
            "--version", "2.0", "--build", "43", "--url", packageURL, "--output", output.string() });
        EXPECT_EQ(written.status, 0) << written.output;
    };
    const auto goodFeed = sandbox / "site/update.json";
    fs::create_directories(goodFeed.parent_path());
    writeFeed(key, goodFeed);
    const auto serve = [&](const fs::path& zip) {
        // Compressed, as many servers send JSON: the app takes it so, and so must verify.
        site.route("/update.json", test::LoopbackHttpServer::gzipped(test::readFile(goodFeed)));
        auto response = test::LoopbackHttpServer::json(test::readFile(zip));
        response.contentType = "application/zip";
        site.route("/Sandvoll-2.0-43.zip", response);
    };
    const auto verify = [&](const std::string& feed, std::optional<fs::path> zip) {
        std::vector<std::string> arguments { "verify", feed, "--public-key", publicKey };
        if (zip)
            arguments.insert(arguments.end(), { "--package", zip->string() });
        return test::runLocally(tool, arguments);
    };

    // A real executable, so that verify reads what it needs of the system.
    makePackage(package, "Sandvoll.app", "43", "2.0", test::readFile(SV_BINARY_DIR "/tests/sandvoll-keeper"));
    writeFeed(key, goodFeed);
    // Before the upload, the zip stands in for the feed's url; after it, the
    // live feed and package are fetched as the app fetches them.
    serve(package);
    for (const auto& [feed, zip] : { std::pair<std::string, std::optional<fs::path>>(goodFeed, package),
             std::pair<std::string, std::optional<fs::path>>(site.url("/update.json"), std::nullopt) }) {
        const auto good = verify(feed, zip);
        EXPECT_EQ(good.status, 0) << good.output;
        EXPECT_NE(good.output.find("signature   ok    verifies with trusted key 1 of 1, " + publicKey),
            std::string::npos) << good.output;
        EXPECT_NE(good.output.find("would install 2.0 (build 43)"), std::string::npos) << good.output;
        EXPECT_TRUE(std::regex_search(good.output,
            std::regex("runs on +ok +systems with at least glibc 2\\.[0-9]+ and GLIBCXX (3\\.4\\.[0-9]+|\\(any\\))")))
            << good.output;
        EXPECT_EQ(good.output.find("FAIL"), std::string::npos) << good.output;
    }
    EXPECT_EQ(site.requestCount("/Sandvoll-2.0-43.zip"), 1u);

    // The zip made again after the feed was written, and uploaded.
    const auto rezipped = sandbox / "again/Sandvoll-2.0-43.zip";
    makePackage(rezipped, "Sandvoll.app", "43", "2.0", "#!/bin/sh\necho rebuilt\n");
    // A feed signed with a key that the build does not trust.
    const auto wrongKeyFeed = sandbox / "wrong-key.json";
    writeFeed(otherKey, wrongKeyFeed);
    // A feed whose build was raised by hand.
    auto edited = nlohmann::json::parse(test::readFile(goodFeed));
    edited["build"] = 44;
    const auto wrongBuildFeed = sandbox / "wrong-build.json";
    test::writeFile(wrongBuildFeed, edited.dump());

    const std::string signatureText(informativeText(UpdateError::badSignature));
    const std::string packageText(informativeText(UpdateError::badPackage));
    struct Mistake {
        fs::path served;
        std::string feed;
        std::optional<fs::path> zip;
        std::string cause;
        std::string userText;
    };
    const Mistake mistakes[] = {
        { rezipped, site.url("/update.json"), std::nullopt, "it changed after sandvoll-release feed", signatureText },
        { package, wrongKeyFeed, package, "signed with a key that is not among the trusted keys", signatureText },
        { package, wrongBuildFeed, package, "the feed says build 44 but the bundle is build 43", packageText },
    };
    for (const auto& mistake : mistakes) {
        serve(mistake.served);
        const auto result = verify(mistake.feed, mistake.zip);
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find("\"Update not installed\": \"" + mistake.userText + "\""), std::string::npos)
            << result.output;
        for (const auto& other : mistakes)
            EXPECT_EQ(result.output.find(other.cause) != std::string::npos, &other == &mistake)
                << other.cause << "\n" << result.output;
    }

    // A zip bomb in place of the package: 64 MiB of zeros in a zip of some
    // 64 KiB, under the size limit but not what the feed signed. Files this
    // run writes may not grow past 8 MiB, so unpacking it would fail the
    // extractor (and show as a failed archive line) before it filled a disk.
    const auto bomb = sandbox / "bomb/Sandvoll-2.0-43.zip";
    fs::create_directories(bomb.parent_path());
    const auto zipped = test::runLocally("/bin/sh",
        { "-c", "head -c 67108864 /dev/zero | zip -q \"$1\" -", "sh", bomb.string() });
    ASSERT_EQ(zipped.status, 0) << zipped.output;
    ASSERT_LT(fs::file_size(bomb), 1u << 20);
    const auto bombed = test::runLocally("/usr/bin/prlimit", { "--fsize=8388608", "--", tool.string(), "verify",
        goodFeed.string(), "--public-key", publicKey, "--package", bomb.string() });
    EXPECT_EQ(bombed.status, 1) << bombed.output;
    EXPECT_NE(bombed.output.find("signature   FAIL  no trusted key verifies it"), std::string::npos) << bombed.output;
    EXPECT_NE(bombed.output.find("archive     --    not unpacked"), std::string::npos) << bombed.output;
    EXPECT_EQ(bombed.output.find("archive     FAIL"), std::string::npos) << bombed.output;
    EXPECT_NE(bombed.output.find("shows \"Update not installed\": \"" + signatureText + "\""), std::string::npos)
        << bombed.output;

    EXPECT_TRUE(fs::is_empty(sandbox / "tmp")) << "verify leaves its work directories behind";
}

// The release runs on every current desktop only while its programs need no
// library whose name moves between distributions or releases.
TEST(ReleaseExecutable, NeedsOnlyLibrariesThatEveryDesktopShips)
{
#ifdef SV_SANITIZED_BUILD
    // The sanitizers' runtimes come first on the link line and turn off
    // --as-needed for the rest, so such a build names every library the
    // toolkit's link flags list. No release is built that way.
    GTEST_SKIP() << "a sanitizer build links its runtimes and every library of the toolkit's link flags";
#endif
    for (const fs::path program : { SV_BINARY_DIR "/Sandvoll.app/Contents/Linux/Sandvoll",
             SV_BINARY_DIR "/Sandvoll.app/Contents/Linux/sandvoll-keeper" }) {
        SCOPED_TRACE(program.string());
        const auto needs = tools::readElfNeeds(program);
        ASSERT_TRUE(needs);
        EXPECT_NE(std::find(needs->libraries.begin(), needs->libraries.end(), "libc.so.6"), needs->libraries.end());
        for (const auto& library : needs->libraries)
            EXPECT_TRUE(tools::isPortableLibrary(library)) << library;
        EXPECT_TRUE(std::regex_match(tools::highestVersion(*needs, "GLIBC_"), std::regex("2\\.[0-9]+")));
    }
    // The app is the one with the toolkit and the engine.
    const auto app = tools::readElfNeeds(SV_BINARY_DIR "/Sandvoll.app/Contents/Linux/Sandvoll");
    ASSERT_TRUE(app);
    EXPECT_NE(std::find(app->libraries.begin(), app->libraries.end(), "libwebkitgtk-6.0.so.4"), app->libraries.end());
    EXPECT_FALSE(tools::isPortableLibrary("libplist-2.0.so.3"));
    EXPECT_FALSE(tools::isPortableLibrary("libicuuc.so.72"));

    // Damaged or foreign files are refused, never read past their end.
    const test::Sandbox sandbox;
    const std::string bytes = test::readFile(SV_BINARY_DIR "/Sandvoll.app/Contents/Linux/sandvoll-keeper");
    for (std::size_t cut : { std::size_t(0), std::size_t(16), std::size_t(63), bytes.size() / 2 }) {
        test::writeFile(sandbox / "cut", bytes.substr(0, cut));
        EXPECT_FALSE(tools::readElfNeeds(sandbox / "cut")) << cut;
    }
    test::writeFile(sandbox / "script", "#!/bin/sh\n");
    EXPECT_FALSE(tools::readElfNeeds(sandbox / "script"));
    EXPECT_FALSE(tools::readElfNeeds(sandbox / "missing"));

    // Versions compare number by number, not as text.
    const tools::ElfNeeds versions { {}, { { "libc.so.6", { "GLIBC_2.9", "GLIBC_2.34", "GLIBC_PRIVATE", "GLIBC_2.2.5" } },
                                               { "libstdc++.so.6", { "GLIBCXX_3.4.9", "GLIBCXX_3.4.30", "CXXABI_1.3" } } } };
    EXPECT_EQ(tools::highestVersion(versions, "GLIBC_"), "2.34");
    EXPECT_EQ(tools::highestVersion(versions, "GLIBCXX_"), "3.4.30");
    EXPECT_EQ(tools::highestVersion(versions, "OPENSSL_"), "");
}

// A build's own keys are what its tool checks with, and a new key is added to
// them, never put in their place.
TEST_F(ReleaseTool, TheBuildsKeysAreTheOnesVerifyAndKeygenGoBy)
{
    const auto trusted = testUpdatePublicKeys();
    ASSERT_EQ(trusted.size(), 2u);
    const auto made = test::runLocally(testKeyTool, { "keygen", key.string() });
    ASSERT_EQ(made.status, 0) << made.output;
    const auto newKey = made.output.substr(0, made.output.find('\n'));
    EXPECT_NE(made.output.find("add it to the list:\n  -DSANDVOLL_UPDATE_PUBLIC_KEY='" + trusted[0] + ";"
                  + trusted[1] + ";" + newKey + "'"),
        std::string::npos)
        << made.output;
    const auto first = test::runLocally(tool, { "keygen", (sandbox / "keys/first.pem").string() });
    const auto firstKey = first.output.substr(0, first.output.find('\n'));
    EXPECT_NE(first.output.find("Build Sandvoll with\n  -DSANDVOLL_UPDATE_PUBLIC_KEY=" + firstKey + "\n"),
        std::string::npos)
        << first.output;

    const auto feedFile = sandbox / "update.json";
    const auto written = test::runLocally(testKeyTool,
        { "feed", package.string(), "--key", (testKeys / "test_update_key_2.pem").string(), "--version", "2.0",
            "--build", "43", "--url", "https://example.org/Sandvoll-2.0-43.zip", "--output", feedFile.string() });
    ASSERT_EQ(written.status, 0) << written.output;
    const auto checked = test::runLocally(testKeyTool, { "verify", feedFile.string(), "--package", package.string() });
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_NE(checked.output.find("verifies with trusted key 2 of 2, " + trusted[1]), std::string::npos)
        << checked.output;
    const auto noKeys = test::runLocally(tool, { "verify", feedFile.string(), "--package", package.string() });
    EXPECT_EQ(noKeys.status, 1) << noKeys.output;
    EXPECT_NE(noKeys.output.find("this build trusts no key"), std::string::npos) << noKeys.output;

    // The note on signing names the keys the build really trusts.
    const auto signedNew = test::runLocally(testKeyTool, { "sign", package.string(), "--key", key.string() });
    EXPECT_NE(signedNew.output.find("not one this build trusts (SANDVOLL_UPDATE_PUBLIC_KEY: " + trusted[0]),
        std::string::npos)
        << signedNew.output;
}

TEST_F(ReleaseTool, UseFeedSetsTheFeedAndKeepsTheOtherDefaults)
{
    const test::ScopedVariable home("HOME", (sandbox / "home").string());
    const auto defaults = userDefaultsPath((sandbox / "home").string(), platform::builtInBundleIdentifier());
    platform::PropertyList existing;
    existing.setInteger("Sandvoll Width", 1000);
    ASSERT_TRUE(existing.save(defaults));

    const std::string url = "http://127.0.0.1:8000/update.json";
    const auto set = test::runLocally(tool, { "use-feed", url });
    ASSERT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(readFeedURLDefault(defaults), url);
    EXPECT_EQ(platform::PropertyList::load(defaults)->integer("Sandvoll Width"), 1000);
    for (const char* refused : { "ftp://example.org/update.json", "update.json", "https://example.org/a b" }) {
        EXPECT_EQ(test::runLocally(tool, { "use-feed", refused }).status, 2) << refused;
        EXPECT_EQ(readFeedURLDefault(defaults), url) << refused;
    }
    ASSERT_EQ(test::runLocally(tool, { "use-feed", "" }).status, 0);
    EXPECT_EQ(chooseFeedURL(readFeedURLDefault(defaults), defaultFeed), defaultFeed);

    test::writeFile(defaults, "not a property list");
    EXPECT_EQ(test::runLocally(tool, { "use-feed", url }).status, 1);
    EXPECT_EQ(test::readFile(defaults), "not a property list");
}

// The bundle's copy of the publisher's program: what leaves the folder leaves
// the bundle, and the stamp that decides whether users get new code follows
// every change, folders included.
TEST(ShippedProgram, TheBundleMirrorsTheProgramFolderAndItsStampFollows)
{
    const test::Sandbox sandbox;
    const auto source = sandbox / "program";
    const auto bundled = sandbox / "Sandvoll.app/Contents/Resources/app";
    const auto assemble = [&] {
        return test::runLocally(SV_CMAKE_COMMAND,
            { "-DSOURCE=" + source.string(), "-DDEST=" + bundled.string(), "-DVERSION=1.1.0", "-DBUILD_NUMBER=3",
                "-P", SV_SOURCE_DIR "/cmake/assemble_app.cmake" });
    };
    const auto stamp = [&] { return test::readFile(bundled / ".stamp"); };
    test::writeFile(source / "start.py", "print('serving')\n");
    test::writeFile(source / "requirements.txt", "");
    test::writeFile(source / "static/css/site.css", "body {}\n");
    test::writeFile(source / "__pycache__/start.cpython-311.pyc", "byte code");
    test::writeFile(source / ".stamp", "the folder's own");
    fs::create_directories(source / "data/empty");

    ASSERT_EQ(assemble().status, 0);
    EXPECT_EQ(test::readFile(bundled / "static/css/site.css"), "body {}\n");
    EXPECT_TRUE(fs::is_directory(bundled / "data/empty"));
    EXPECT_FALSE(fs::exists(bundled / "__pycache__"));
    const auto first = stamp();
    EXPECT_TRUE(first.starts_with("1.1.0 (3) ")) << first;
    ASSERT_EQ(assemble().status, 0);
    EXPECT_EQ(stamp(), first) << "a build without changes must not make users copy the code again";

    fs::remove_all(source / "static");
    ASSERT_EQ(assemble().status, 0);
    EXPECT_FALSE(fs::exists(bundled / "static"));
    const auto second = stamp();
    EXPECT_NE(second, first);

    fs::remove(source / "data/empty");
    ASSERT_EQ(assemble().status, 0);
    EXPECT_FALSE(fs::exists(bundled / "data/empty"));
    EXPECT_TRUE(fs::is_directory(bundled / "data"));
    EXPECT_NE(stamp(), second);

    fs::remove(source / "start.py");
    const auto noProgram = assemble();
    EXPECT_NE(noProgram.status, 0);
    EXPECT_NE(noProgram.output.find("holds no start.py"), std::string::npos) << noProgram.output;
}

// What configuring with a given SANDVOLL_UPDATE_PUBLIC_KEY says: the build
// trusts what the last line names, or no key at all.
TEST(UpdateKeyConfiguration, KeysAreCheckedAndTheTestKeysAreNeverTrusted)
{
    const std::string a = platform::base64Encode(platform::generateEd25519KeyPair()->publicKey);
    const std::string b = platform::base64Encode(platform::generateEd25519KeyPair()->publicKey);
    const std::string testKey = "WlsnHls6hgLlR6iK5+rrhTs1/6CjXEyTXfCsJPAhJFU=";
    const std::string none = "No update public key: this build trusts no key";
    const std::string malformed = "SANDVOLL_UPDATE_PUBLIC_KEY must hold 44-character standard Base64 texts";
    const std::vector<std::tuple<std::string, int, std::string>> cases {
        { "", 0, none },
        { a, 0, "Update public key: " + a + "\n" },
        { a + ";" + b, 0, "Update public key: " + a + ", " + b + "\n" },
        { " " + a + ",\n" + b + " , " + a, 0, "Update public key: " + a + ", " + b + "\n" },
        // A build directory configured when the test key was the default.
        { testKey, 0, none },
        { b + " " + testKey, 0, "Update public key: " + b + "\n" },
        { a.substr(0, 40), 1, malformed },
        { a + "x", 1, malformed },
        { "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAB=", 1, malformed }, // unused bits set
        { a + ";" + b.substr(1), 1, malformed },
    };
    for (const auto& [given, status, says] : cases) {
        const auto result = test::runLocally(
            SV_CMAKE_COMMAND, { "-DSANDVOLL_UPDATE_PUBLIC_KEY=" + given, "-P", SV_SOURCE_DIR "/cmake/update_public_key.cmake" });
        EXPECT_EQ(result.status != 0, status != 0) << given << "\n" << result.output;
        // CMake folds warnings over several lines.
        std::string output = result.output;
        for (auto at = output.find("\n  "); at != std::string::npos; at = output.find("\n  "))
            output.replace(at, 3, " ");
        EXPECT_NE(output.find(says), std::string::npos) << given << "\n" << output;
        EXPECT_EQ(output.find("TEST keys") != std::string::npos, given.find(testKey) != std::string::npos) << given;
    }
}

} // namespace
} // namespace sv
