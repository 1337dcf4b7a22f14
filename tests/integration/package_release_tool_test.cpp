// The publisher's tool, run as a program: what it makes is what the app
// accepts, and its mistakes are caught before anything is published.

#include "platform/crypto.h"
#include "support/local_runner.h"
#include "support/sandbox.h"
#include "update/package_install.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace sv {
namespace {

namespace fs = std::filesystem;

const fs::path tool = SV_BINARY_DIR "/tools/sandvoll-release";

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

    void makePackage(const fs::path& archive, const std::string& bundlePath, const std::string& build)
    {
        const auto tree = sandbox / ("tree-" + archive.stem().string());
        test::writeFile(tree / bundlePath / "Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>org.sandvoll.Sandvoll</string>"
            "<key>CFBundleVersion</key><string>"
                + build + "</string></dict></plist>");
        test::writeFile(tree / bundlePath / "Contents/Linux/Sandvoll", "#!/bin/sh\n");
        fs::permissions(tree / bundlePath / "Contents/Linux/Sandvoll", fs::perms::owner_all);
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
        { "feed", package.string(), "--key", key.string(), "--version", "2.0", "--build", "+43", "--url", "u",
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
    const auto feed = [&](const fs::path& archive, std::vector<std::string> extra) {
        std::vector<std::string> arguments { "feed", archive.string(), "--key", key.string(), "--version", "2.0",
            "--url", "https://example.org/p.zip", "--output", feedFile.string() };
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return test::runLocally(tool, arguments);
    };
    const auto nested = sandbox / "nested.zip";
    makePackage(nested, "Release/Sandvoll.app", "43");

    const std::pair<ProgramResult, std::string> cases[] = {
        { feed(package, { "--build", "1.2" }), "--build must be a whole number" },
        { feed(package, { "--build", "44" }), "has CFBundleVersion 43 but --build is 44" },
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
