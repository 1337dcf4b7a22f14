#include "support/sandbox.h"
#include "update/package_check.h"
#include "update/package_install.h"
#include "update/update_error.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <system_error>

namespace sv {
namespace {

namespace fs = std::filesystem;

TEST(UpdateErrorText, EachFailureHasItsOwnTextAndTheRestIsADownloadFailure)
{
    EXPECT_EQ(updateNotInstalledTitle, "Update not installed");
    EXPECT_EQ(informativeText(UpdateError::badSignature), "The update isn't properly signed, so it was not installed.");
    EXPECT_EQ(informativeText(UpdateError::badPackage), "The update package is damaged, so it was not installed.");
    EXPECT_EQ(informativeText(UpdateError::notWritable),
        "Please move Sandvoll to your Applications folder first, then the update will work.");

    const auto textFor = [](auto exception) { return informativeText(std::make_exception_ptr(exception)); };
    EXPECT_EQ(textFor(UpdateFailure(UpdateError::badPackage)), informativeText(UpdateError::badPackage));
    EXPECT_EQ(textFor(UpdateFailure(UpdateError::notWritable)), informativeText(UpdateError::notWritable));
    const std::string_view download = "The update couldn't be downloaded. Please try again later.";
    EXPECT_EQ(textFor(std::runtime_error("connection refused")), download);
    EXPECT_EQ(textFor(std::system_error(std::make_error_code(std::errc::no_space_on_device))), download);
    EXPECT_EQ(textFor(fs::filesystem_error("listing", std::make_error_code(std::errc::permission_denied))), download);
    EXPECT_EQ(textFor(42), download);
    EXPECT_EQ(informativeText(std::exception_ptr()), download);
}

TEST(ArchiveNames, OnlyRelativeNamesThatStayInside)
{
    for (const char* good : { "Sandvoll.app/", "Sandvoll.app/Contents/Info.plist", "a..b", "..app", "x/..y/z",
             "./Sandvoll.app", "dir/.../file", "update.zip" })
        EXPECT_TRUE(isSafeArchiveName(good)) << good;
    for (const char* bad : { "", "/etc/passwd", "/", "..", "../x", "x/../../y", "x/..", "x/../y", "\\abs",
             "..\\x", "x\\..\\y", "//server/share" })
        EXPECT_FALSE(isSafeArchiveName(bad)) << bad;
}

TEST(WorkDirectory, FreshPrivateAndNamedWithAnUpperCaseUUID)
{
    test::Sandbox sandbox;
    const auto first = newWorkDirectoryPath(sandbox.path());
    const auto second = newWorkDirectoryPath(sandbox.path());
    EXPECT_NE(first, second);
    EXPECT_EQ(first.parent_path(), sandbox.path());
    EXPECT_TRUE(std::regex_match(first.filename().string(),
        std::regex("Sandvoll-Update-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << first;
    EXPECT_FALSE(fs::exists(first));

    const auto file = createWorkDirectory(first);
    EXPECT_EQ(fs::status(first).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(writeAll(file.get(), "PK"));
    EXPECT_EQ(test::readFile(first / "update.zip"), "PK");
    // A name that is taken is somebody else's.
    EXPECT_THROW((void)createWorkDirectory(first), std::system_error);
    EXPECT_EQ(test::readFile(first / "update.zip"), "PK");
}

TEST(WorkDirectory, RemovalIgnoresWhatIsNotThere)
{
    test::Sandbox sandbox;
    removeTree(sandbox / "never-made");
    removeTree(""); // must not be taken for the current directory
    EXPECT_EQ(abandonInstall(sandbox / "never-made", std::make_exception_ptr(UpdateFailure(UpdateError::badSignature))),
        "The update isn't properly signed, so it was not installed.");
    test::writeFile(sandbox / "made/a/b", "x");
    fs::create_symlink(sandbox.path(), sandbox / "made/link-out");
    removeTree(sandbox / "made");
    EXPECT_FALSE(fs::exists(sandbox / "made"));
    EXPECT_TRUE(fs::exists(sandbox.path())); // links are removed, not followed
}

TEST(RunningAppDescription, ComesFromTheBundle)
{
    test::Sandbox sandbox;
    const auto root = sandbox / "Sandvoll.app";
    test::writeFile(root / "Contents/Info.plist",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>org.x</string>"
        "<key>CFBundleVersion</key><string>17</string></dict></plist>");
    const auto app = runningAppFrom(platform::Bundle::at(root));
    EXPECT_EQ(app.bundle, root);
    EXPECT_EQ(app.identifier, "org.x");
    EXPECT_EQ(app.build, 17);

    // Outside a bundle: no path, no identifier, build 0; such an app cannot be replaced.
    const auto loose = runningAppFrom(platform::Bundle::containing("/usr/bin/Sandvoll"));
    EXPECT_EQ(loose.bundle, fs::path());
    EXPECT_EQ(loose.identifier, std::nullopt);
    EXPECT_EQ(loose.build, 0);
    EXPECT_THROW(checkAppFolderWritable(loose.bundle), UpdateFailure);
}

TEST(AppFolder, TheFolderAroundTheBundleIsChecked)
{
    test::Sandbox sandbox;
    fs::create_directories(sandbox / "Applications");
    EXPECT_NO_THROW(checkAppFolderWritable(sandbox / "Applications/Sandvoll.app"));
    EXPECT_NO_THROW(checkAppFolderWritable(sandbox / "Applications/Sandvoll.app/"));
    // The bundle itself need not exist; its folder must.
    try {
        checkAppFolderWritable(sandbox / "Missing/Sandvoll.app");
        ADD_FAILURE() << "a missing folder cannot be written";
    } catch (const UpdateFailure& failure) {
        EXPECT_EQ(failure.error(), UpdateError::notWritable);
    }
}

} // namespace
} // namespace sv
