// Installing a package up to the swap script, with real keys, real archives
// and the real unzip: every bad package ends in its exact message and leaves
// no work directory and an untouched app behind.

#include "platform/crypto.h"
#include "support/bundle_build.h"
#include "support/local_runner.h"
#include "support/sandbox.h"
#include "update/package_install.h"
#include "update/swap_script.h"
#include "update/updater.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace sv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view signatureText = "The update isn't properly signed, so it was not installed.";
constexpr std::string_view packageText = "The update package is damaged, so it was not installed.";
constexpr std::string_view locationText
    = "Please move Sandvoll to your Applications folder first, then the update will work.";
constexpr std::string_view downloadText = "The update couldn't be downloaded. Please try again later.";

std::string infoPlist(const std::optional<std::string>& identifier, const std::optional<std::string>& build)
{
    std::string entries;
    if (identifier)
        entries += "<key>CFBundleIdentifier</key><string>" + *identifier + "</string>";
    if (build)
        entries += "<key>CFBundleVersion</key><string>" + *build + "</string>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleShortVersionString</key><string>2.0</string>"
        + entries + "</dict></plist>\n";
}

void makeExecutable(const fs::path& file, const std::string& content)
{
    test::writeFile(file, content);
    fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
            | fs::perms::others_read | fs::perms::others_exec);
}

// A bundle tree as the build makes it, with an executable and a link.
void makeBundle(const fs::path& root, const std::optional<std::string>& identifier,
    const std::optional<std::string>& build, const std::string& marker)
{
    test::writeFile(root / "Contents/Info.plist", infoPlist(identifier, build));
    makeExecutable(root / "Contents/Linux/Sandvoll", "#!/bin/sh\necho " + marker + "\n");
    test::writeFile(root / "Contents/Resources/app/start.py", "print('" + marker + "')\n");
    fs::create_symlink("app/start.py", root / "Contents/Resources/start-link.py");
}

// What an install would tell the user, and the new bundle when it succeeds.
struct Outcome {
    std::string text;
    std::optional<fs::path> newBundle;
};

class PackageInstall : public ::testing::Test {
protected:
    test::Sandbox sandbox;
    platform::Ed25519KeyPair keys = *platform::generateEd25519KeyPair();
    fs::path temporary = sandbox / "tmp";
    fs::path work = temporary / ("Sandvoll-Update-" + platform::randomUUIDString());
    fs::path applications = sandbox / "Applications";
    std::vector<std::vector<std::string>> extractorCalls;
    InstallEnvironment environment {
        { platform::base64Encode(keys.publicKey) },
        RunningApp { applications / "Sandvoll.app", "org.sandvoll.Sandvoll", 42 },
        [this](const fs::path& executable, const std::vector<std::string>& arguments) {
            std::vector<std::string> call { executable.string() };
            call.insert(call.end(), arguments.begin(), arguments.end());
            extractorCalls.push_back(call);
            return test::runLocally(executable, arguments);
        },
        nullptr,
    };
    int archives = 0;

    void SetUp() override
    {
        fs::create_directories(temporary);
        makeBundle(environment.running.bundle, "org.sandvoll.Sandvoll", "42", "old");
    }

    // Zips a staged tree the way the update_package target does.
    std::string zipTree(const fs::path& tree)
    {
        const auto archive = sandbox / ("archive-" + std::to_string(++archives) + ".zip");
        const auto result = test::runLocally("/bin/sh", { "-c", "cd \"$1\" && zip -q -r -y \"$2\" .", "sh",
                                                            tree.string(), archive.string() });
        EXPECT_EQ(result.status, 0) << result.output;
        return test::readFile(archive);
    }

    // A package holding one bundle named `name` at the top level.
    std::string package(const std::string& name = "Sandvoll.app",
        const std::optional<std::string>& identifier = "org.sandvoll.Sandvoll",
        const std::optional<std::string>& build = "43")
    {
        const auto tree = sandbox / ("stage-" + std::to_string(archives + 1));
        makeBundle(tree / name, identifier, build, "new");
        return zipTree(tree);
    }

    // An archive with members of any name, which zip itself would not write.
    std::string rawArchive(const std::vector<std::pair<std::string, std::string>>& members)
    {
        const auto archive = sandbox / ("archive-" + std::to_string(++archives) + ".zip");
        std::vector<std::string> arguments { "-c",
            "import sys, zipfile\n"
            "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
            "    for name, data in zip(sys.argv[2::2], sys.argv[3::2]):\n"
            "        z.writestr(name, data)\n",
            archive.string() };
        for (const auto& [name, data] : members) {
            arguments.push_back(name);
            arguments.push_back(data);
        }
        const auto result = test::runLocally("/usr/bin/python3", arguments);
        EXPECT_EQ(result.status, 0) << result.output;
        return test::readFile(archive);
    }

    std::string sha256(const std::string& bytes) { return platform::sha256Hex(bytes); }
    std::string signature(const std::string& bytes)
    {
        return platform::base64Encode(*platform::signEd25519(keys.privateKeyPEM, bytes));
    }

    Outcome install(const std::string& bytes, std::string_view expectedSHA256, std::string_view signatureBase64)
    {
        try {
            test::downloadInto(work, bytes);
            return { "", preparePackage(work, expectedSHA256, signatureBase64, environment) };
        } catch (...) {
            return { std::string(abandonInstall(work, std::current_exception())), std::nullopt };
        }
    }
    Outcome install(const std::string& bytes) { return install(bytes, sha256(bytes), signature(bytes)); }

    bool workDirectoryLeft() const
    {
        for (const auto& entry : fs::directory_iterator(temporary)) {
            if (entry.path().filename().string().starts_with("Sandvoll-Update-"))
                return true;
        }
        return false;
    }

    void expectRefused(const Outcome& outcome, std::string_view text)
    {
        EXPECT_EQ(outcome.text, text);
        EXPECT_FALSE(outcome.newBundle);
        EXPECT_FALSE(workDirectoryLeft());
        EXPECT_EQ(test::readFile(environment.running.bundle / "Contents/Linux/Sandvoll"), "#!/bin/sh\necho old\n");
        EXPECT_EQ(test::bundleBuild(environment.running.bundle), "42");
    }
};

TEST_F(PackageInstall, GoodPackageIsUnpackedWithModesAndLinks)
{
    const auto bytes = package("Renamed Sandvoll.app");
    const auto outcome = install(bytes);
    ASSERT_EQ(outcome.text, "");
    ASSERT_TRUE(outcome.newBundle);
    EXPECT_EQ(*outcome.newBundle, work / "Renamed Sandvoll.app");
    // The archive that was unpacked is the verified bytes, kept for the swap script to delete.
    EXPECT_EQ(test::readFile(work / "update.zip"), bytes);
    EXPECT_EQ(fs::status(work).permissions() & fs::perms::all, fs::perms::owner_all);

    const auto executable = *outcome.newBundle / "Contents/Linux/Sandvoll";
    EXPECT_EQ(test::readFile(executable), "#!/bin/sh\necho new\n");
    EXPECT_NE(fs::status(executable).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_TRUE(fs::is_symlink(*outcome.newBundle / "Contents/Resources/start-link.py"));
    EXPECT_EQ(fs::read_symlink(*outcome.newBundle / "Contents/Resources/start-link.py"), "app/start.py");

    // The listing is read before anything is unpacked, both by /usr/bin/unzip.
    ASSERT_EQ(extractorCalls.size(), 2u);
    EXPECT_EQ(extractorCalls[0], (std::vector<std::string> { "/usr/bin/unzip", "-Z1", (work / "update.zip").string() }));
    EXPECT_EQ(extractorCalls[1].front(), "/usr/bin/unzip");
    EXPECT_EQ(extractorCalls[1].back(), work.string());

    // Staged beside the running app, modes and links kept, while nothing of
    // the old bundle is touched yet.
    const auto plan = planSwap(1, 0, environment.running.bundle, work);
    claimStagingName(plan);
    stageNewBundle(*outcome.newBundle, plan, environment.run);
    EXPECT_EQ(plan.staged.parent_path(), applications);
    EXPECT_EQ(test::readFile(plan.staged / "Contents/Linux/Sandvoll"), "#!/bin/sh\necho new\n");
    EXPECT_EQ(fs::status(plan.staged / "Contents/Linux/Sandvoll").permissions(), fs::status(executable).permissions());
    EXPECT_EQ(fs::read_symlink(plan.staged / "Contents/Resources/start-link.py"), "app/start.py");
    EXPECT_EQ(test::readFile(environment.running.bundle / "Contents/Linux/Sandvoll"), "#!/bin/sh\necho old\n");
    // A staged name that is taken after all, by a folder, a file or a
    // dangling link, is not claimed.
    removeTree(plan.staged);
    test::writeFile(plan.staged / "Contents/Linux/Sandvoll", "someone else's");
    EXPECT_THROW(claimStagingName(plan), std::system_error);
    EXPECT_EQ(test::readFile(plan.staged / "Contents/Linux/Sandvoll"), "someone else's");
    removeTree(plan.staged);
    test::writeFile(plan.staged, "a file");
    EXPECT_THROW(claimStagingName(plan), std::system_error);
    removeTree(plan.staged);
    fs::create_symlink(sandbox / "nowhere", plan.staged);
    EXPECT_THROW(claimStagingName(plan), std::system_error);
    EXPECT_FALSE(fs::exists(sandbox / "nowhere"));
    removeTree(plan.staged);
    removeTree(work);
    EXPECT_FALSE(workDirectoryLeft());
}

TEST_F(PackageInstall, AnyFlippedByteIsABadSignature)
{
    const auto bytes = package();
    const auto sum = sha256(bytes);
    const auto sig = signature(bytes);
    // Local headers, file data and the central directory at the end alike.
    for (std::size_t position : { std::size_t { 0 }, std::size_t { 1 }, bytes.size() / 3, bytes.size() / 2,
             bytes.size() - 30, bytes.size() - 1 }) {
        auto changed = bytes;
        changed[position] ^= 0x04;
        expectRefused(install(changed, sum, sig), signatureText);
        // Even when the feed's digest is made to match the changed bytes.
        expectRefused(install(changed, sha256(changed), sig), signatureText);
    }
    EXPECT_TRUE(extractorCalls.empty());
}

TEST_F(PackageInstall, DigestMustMatchTheSignedBytes)
{
    const auto bytes = package();
    const auto sig = signature(bytes);
    auto otherDigest = sha256(bytes);
    otherDigest[10] = otherDigest[10] == '0' ? '1' : '0';
    expectRefused(install(bytes, otherDigest, sig), signatureText);
    expectRefused(install(bytes, sha256(bytes) + " ", sig), signatureText);
    expectRefused(install(bytes, sha256(bytes) + "\n", sig), signatureText);
    expectRefused(install(bytes, "", sig), signatureText);

    std::string upper = sha256(bytes);
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(install(bytes, upper, sig).text, "");
}

TEST_F(PackageInstall, SignatureTextMustBeStrictBase64FromTheTrustedKey)
{
    const auto bytes = package();
    const auto sum = sha256(bytes);
    const auto sig = signature(bytes);
    for (const std::string& bad : { sig.substr(0, 44) + "\n" + sig.substr(44), sig + "\n", sig + "\r\n  ",
             sig.substr(0, 20) + " " + sig.substr(20), " " + sig, std::string(), std::string("not base64"),
             platform::base64Encode(std::string(64, '\0')) })
        expectRefused(install(bytes, sum, bad), signatureText);

    const auto stranger = *platform::generateEd25519KeyPair();
    expectRefused(install(bytes, sum, platform::base64Encode(*platform::signEd25519(stranger.privateKeyPEM, bytes))),
        signatureText);

    // A baked-in key that is no key at all trusts nothing, and a build
    // without a key refuses everything.
    const auto trusted = environment.publicKeys.front();
    for (const std::string& key : { std::string(), trusted.substr(0, 40),
             platform::base64Encode(keys.publicKey.substr(0, 31)), trusted + "\n" }) {
        environment.publicKeys = { key };
        expectRefused(install(bytes, sum, sig), signatureText);
    }
    environment.publicKeys = {};
    expectRefused(install(bytes, sum, sig), signatureText);
    EXPECT_TRUE(extractorCalls.empty());

    // Any one of several trusted keys will do, wherever it is in the list.
    environment.publicKeys = { "not a key", platform::base64Encode(stranger.publicKey), trusted };
    EXPECT_EQ(install(bytes, sum, sig).text, "");
}

TEST_F(PackageInstall, ErrorPageInPlaceOfThePackageIsABadSignature)
{
    const auto bytes = package();
    const std::string page = "<!DOCTYPE html><html><head><title>404 Not Found</title></head>"
                             "<body><h1>Not Found</h1></body></html>\n";
    expectRefused(install(page, sha256(bytes), signature(bytes)), signatureText);
    expectRefused(install("", sha256(bytes), signature(bytes)), signatureText);
}

TEST_F(PackageInstall, BundleMustBeAtTheTopWithALowerCaseAppName)
{
    for (const auto& name : { "Release/Sandvoll.app", "Sandvoll.APP", "Sandvoll.App", "Sandvoll", ".app" })
        expectRefused(install(package(name)), packageText);
    // A file or a link with the right name is not a bundle either.
    expectRefused(install(rawArchive({ { "Sandvoll.app", "just a file" } })), packageText);
    const auto tree = sandbox / "stage-link";
    makeBundle(tree / "Real/Sandvoll.app", "org.sandvoll.Sandvoll", "43", "new");
    fs::create_symlink("Real/Sandvoll.app", tree / "Sandvoll.app");
    const auto linked = zipTree(tree);
    // The folder "Real" may be listed first; either way the result is the package message.
    expectRefused(install(linked), packageText);
}

TEST_F(PackageInstall, IdentifierMustBeTheRunningApps)
{
    expectRefused(install(package("Sandvoll.app", "org.example.Other")), packageText);
    expectRefused(install(package("Sandvoll.app", "org.sandvoll.sandvoll")), packageText);
    expectRefused(install(package("Sandvoll.app", std::nullopt)), packageText);

    // Neither having one is a match.
    environment.running.identifier = std::nullopt;
    expectRefused(install(package("Sandvoll.app", "org.sandvoll.Sandvoll")), packageText);
    EXPECT_EQ(install(package("Sandvoll.app", std::nullopt)).text, "");
}

TEST_F(PackageInstall, BuildMustBeAWholeNumberAboveTheRunningOne)
{
    for (const std::optional<std::string>& build : { std::optional<std::string>("1.2"),
             std::optional<std::string>(), std::optional<std::string>("42"), std::optional<std::string>("+42"),
             std::optional<std::string>("41"), std::optional<std::string>(""), std::optional<std::string>("43 "),
             std::optional<std::string>("9223372036854775808") })
        expectRefused(install(package("Sandvoll.app", "org.sandvoll.Sandvoll", build)), packageText);
    EXPECT_EQ(install(package("Sandvoll.app", "org.sandvoll.Sandvoll", "+43")).text, "");
}

TEST_F(PackageInstall, NamesLeavingTheWorkDirectoryAreRefused)
{
    const auto outside = sandbox / "outside";
    const std::string bundleInfo = infoPlist("org.sandvoll.Sandvoll", "43");
    for (const auto& evil : { std::string("../escaped"), std::string("Sandvoll.app/../../escaped"),
             (outside / "absolute").string(), std::string("..\\escaped") }) {
        expectRefused(install(rawArchive({ { "Sandvoll.app/Contents/Info.plist", bundleInfo }, { evil, "boo" } })),
            packageText);
        EXPECT_FALSE(fs::exists(temporary / "escaped"));
        EXPECT_FALSE(fs::exists(sandbox / "escaped"));
        EXPECT_FALSE(fs::exists(outside));
        // Refused from the listing, before unzip wrote anything.
        EXPECT_EQ(extractorCalls.back().at(1), "-Z1");
    }

    // Through the app's own command runner, a listing far longer than what
    // it keeps of other programs' output is still checked from its first name.
    const auto archive = sandbox / "many-members.zip";
    const auto made = test::runLocally("/usr/bin/python3",
        { "-c",
            "import sys, zipfile\n"
            "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
            "    z.writestr('../escaped', 'boo')\n"
            "    for i in range(6000):\n"
            "        z.writestr('Sandvoll.app/Contents/Resources/app/static/%s-%04d.js' % ('a' * 150, i), '')\n"
            "    z.writestr('Sandvoll.app/Contents/Info.plist', sys.argv[2])\n",
            archive.string(), bundleInfo });
    ASSERT_EQ(made.status, 0) << made.output;
    const auto appRunner = commandRunner(Globals(sandbox.path().string(), 1));
    environment.run = [&](const fs::path& executable, const std::vector<std::string>& arguments) {
        extractorCalls.push_back(arguments);
        return appRunner(executable, arguments);
    };
    expectRefused(install(test::readFile(archive)), packageText);
    EXPECT_EQ(extractorCalls.back().at(0), "-Z1");
}

TEST_F(PackageInstall, AListingThatCannotBeReadIsNotTakenAsSafe)
{
    // The command runner reports output that is not UTF-8 (a member name in
    // another encoding) as empty; such names cannot be checked.
    const auto real = environment.run;
    environment.run = [&](const fs::path& executable, const std::vector<std::string>& arguments) {
        auto result = real(executable, arguments);
        if (arguments.front() == "-Z1")
            result.output.clear();
        return result;
    };
    expectRefused(install(package()), packageText);
    EXPECT_EQ(extractorCalls.size(), 1u); // nothing was extracted
}

TEST_F(PackageInstall, ArchivesUnzipCannotUnpackAreDamaged)
{
    // Signed, so they pass verification and reach the extractor.
    const auto good = package();
    expectRefused(install("this is not a zip archive"), packageText);
    expectRefused(install(good.substr(0, good.size() / 2)), packageText);
    expectRefused(install(rawArchive({})), packageText);

    // An encrypted member must fail at once rather than ask for a password.
    const auto tree = sandbox / "stage-encrypted";
    makeBundle(tree / "Sandvoll.app", "org.sandvoll.Sandvoll", "43", "new");
    const auto archive = sandbox / "encrypted.zip";
    const auto made = test::runLocally("/bin/sh",
        { "-c", "cd \"$1\" && zip -q -r -y -P secret \"$2\" .", "sh", tree.string(), archive.string() });
    ASSERT_EQ(made.status, 0) << made.output;
    expectRefused(install(test::readFile(archive)), packageText);
}

TEST_F(PackageInstall, ReadOnlyFoldersInARefusedPackageAreStillRemoved)
{
    const auto tree = sandbox / "stage-readonly";
    makeBundle(tree / "Sandvoll.app", "org.example.Other", "43", "new");
    fs::permissions(tree / "Sandvoll.app/Contents/Resources/app", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(tree / "Sandvoll.app/Contents", fs::perms::owner_read | fs::perms::owner_exec);
    const auto bytes = zipTree(tree);
    fs::permissions(tree / "Sandvoll.app/Contents", fs::perms::owner_all);
    fs::permissions(tree / "Sandvoll.app/Contents/Resources/app", fs::perms::owner_all);
    expectRefused(install(bytes), packageText);
}

// Root may write anywhere, so the writable check is made to answer for an
// ordinary user: access() looks at the real user, which this changes while
// the effective user stays root.
class RealUserIsNobody {
public:
    RealUserIsNobody()
    {
        if (getuid() == 0)
            active_ = setresuid(65534, static_cast<uid_t>(-1), static_cast<uid_t>(-1)) == 0;
    }
    ~RealUserIsNobody()
    {
        if (active_)
            (void)setresuid(0, static_cast<uid_t>(-1), static_cast<uid_t>(-1));
    }
    RealUserIsNobody(const RealUserIsNobody&) = delete;
    RealUserIsNobody& operator=(const RealUserIsNobody&) = delete;

private:
    bool active_ = false;
};

TEST_F(PackageInstall, UnwritableAppFolderIsToldLastAfterUnpacking)
{
    fs::permissions(applications, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
            | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const auto good = package();
    const auto otherIdentifier = package("Sandvoll.app", "org.example.Other");
    const auto badSignature = signature(otherIdentifier);
    Outcome unwritable, damaged, forged;
    {
        RealUserIsNobody nobody;
        unwritable = install(good);
        damaged = install(otherIdentifier);
        forged = install(good, sha256(good), badSignature);
    }
    fs::permissions(applications, fs::perms::owner_all);
    expectRefused(unwritable, locationText);
    // It was unpacked and checked before the folder was looked at.
    ASSERT_EQ(extractorCalls.size(), 4u);
    EXPECT_EQ(extractorCalls[1].back(), work.string());
    // Every earlier failure wins over the folder.
    expectRefused(damaged, packageText);
    expectRefused(forged, signatureText);
}

TEST_F(PackageInstall, TheNewVersionsExecutableMustBeThereAndRunnable)
{
    // Swapped in, such a bundle would replace a working app with a dead one.
    const auto withExecutable = [&](const std::function<void(const fs::path&)>& change) {
        const auto tree = sandbox / ("stage-exe-" + std::to_string(archives));
        makeBundle(tree / "Sandvoll.app", "org.sandvoll.Sandvoll", "43", "new");
        change(tree / "Sandvoll.app/Contents/Linux/Sandvoll");
        return zipTree(tree);
    };
    expectRefused(install(withExecutable([](const fs::path& exe) { fs::remove(exe); })), packageText);
    expectRefused(install(withExecutable([](const fs::path& exe) {
        fs::permissions(exe, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    })),
        packageText);
    expectRefused(install(withExecutable([](const fs::path& exe) {
        fs::remove(exe);
        fs::create_directory(exe);
    })),
        packageText);
}

TEST_F(PackageInstall, OtherFailuresGiveTheDownloadMessage)
{
    // A package file that cannot be read is not the publisher's fault.
    fs::create_directories(work);
    Outcome outcome;
    try {
        outcome = { "", preparePackage(work, sha256("x"), signature("x"), environment) };
    } catch (...) {
        outcome = { std::string(abandonInstall(work, std::current_exception())), std::nullopt };
    }
    EXPECT_EQ(outcome.text, downloadText);
    EXPECT_FALSE(workDirectoryLeft());
    EXPECT_TRUE(extractorCalls.empty());
}

} // namespace
} // namespace sv
