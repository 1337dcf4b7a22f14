#include "platform/bundle.h"
#include "setup/code_sync.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace sv {
namespace {

namespace fs = std::filesystem;

// Everything that a copy must keep, entry by entry; with `identity`, also
// what changes when an entry is rewritten, renamed or re-created.
std::map<std::string, std::string> describe(const fs::path& root, bool identity = false)
{
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat info;
        EXPECT_EQ(::lstat(it->path().c_str(), &info), 0);
        std::string text = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + "."
            + std::to_string(info.st_mtim.tv_nsec) + " ";
        if (S_ISLNK(info.st_mode))
            text += fs::read_symlink(it->path()).string();
        else if (S_ISREG(info.st_mode))
            text += test::readFile(it->path());
        if (identity)
            text += " " + std::to_string(info.st_ino) + " " + std::to_string(info.st_ctim.tv_nsec);
        // Lexically: fs::relative follows links, which would file a link
        // under its target's name, so the listing would depend on the order
        // the file system lists entries in (tmpfs lists the newest first).
        entries[it->path().lexically_relative(root).string()] = text;
    }
    return entries;
}

class CodeSync : public ::testing::Test {
protected:
    test::Sandbox box;
    Globals globals { (box / "home").string(), 0, "/nowhere" };
    fs::path shipped = box / "Sandvoll.app/Contents/Resources/app";
    fs::path project { globals.project };
    fs::path staging { globals.support + "/app-new" };

    void SetUp() override
    {
        test::writeFile(shipped / "start.py", "print('hi')\n");
        test::writeFile(shipped / "requirements.txt", "");
        test::writeFile(shipped / ".stamp", "1.0 (1)\n");
        test::writeFile(shipped / "static/app.js", "'use strict';\n");
        test::writeFile(shipped / "tools/run.sh", "#!/bin/sh\n");
        fs::permissions(shipped / "tools/run.sh", fs::perms(0755));
        fs::create_symlink("static/app.js", shipped / "current.js");
        fs::create_symlink("missing-target", shipped / "dangling");
        test::writeFile(shipped / "locked/data.txt", "frozen");
        fs::permissions(shipped / "locked/data.txt", fs::perms(0444));
        fs::permissions(shipped / "locked", fs::perms(0555));
    }
    bool sync()
    {
        // A server may start before the sync when the code is in step, so
        // the test and the sync must agree, every time.
        const bool inStep = codeInStep(globals, shipped.string());
        const bool copied = syncCode(globals, shipped.string());
        EXPECT_EQ(inStep, !copied);
        return copied;
    }
    void setStamp(const std::string& stamp) { test::writeFile(shipped / ".stamp", stamp); }
};

TEST_F(CodeSync, FirstLaunchCopiesTheTreeWithLinksModesAndTimes)
{
    EXPECT_TRUE(sync());
    EXPECT_EQ(describe(project), describe(shipped));
    EXPECT_TRUE(fs::is_symlink(project / "current.js"));
    EXPECT_FALSE(fs::exists(staging));
}

TEST_F(CodeSync, TheSupportFolderIsTheUsersOnly)
{
    auto mode = [&] { return fs::status(globals.support).permissions(); };
    ASSERT_TRUE(sync());
    EXPECT_EQ(mode(), fs::perms::owner_all);

    // A folder an earlier version left open to others is closed to them,
    // with nothing else about it or in it changed.
    fs::permissions(globals.support, fs::perms(0755));
    const auto before = describe(globals.support, true);
    EXPECT_FALSE(sync());
    EXPECT_EQ(mode(), fs::perms::owner_all);
    EXPECT_EQ(describe(globals.support, true), before);
}

TEST_F(CodeSync, UnchangedStampTouchesNothing)
{
    ASSERT_TRUE(sync());
    const auto before = describe(globals.support, true);
    EXPECT_FALSE(sync());
    EXPECT_EQ(describe(globals.support, true), before);
}

TEST_F(CodeSync, ChangedStampReplacesTheCodeAsAWhole)
{
    ASSERT_TRUE(sync());
    test::writeFile(project / "written-by-the-server.db", "x");
    test::writeFile(shipped / "start.py", "print('v2')\n");
    setStamp("1.0 (1)"); // the same stamp less its line end is a different stamp
    EXPECT_TRUE(sync());
    EXPECT_EQ(describe(project), describe(shipped));
    EXPECT_FALSE(sync());
}

TEST_F(CodeSync, MissingOrUnreadableStampsForceACopy)
{
    ASSERT_TRUE(sync());
    // Byte-identical stamps that are not UTF-8 are not stamps at all.
    setStamp("build \xff\n");
    ASSERT_TRUE(sync());
    EXPECT_TRUE(sync());
    // An installed "stamp" that cannot be read as a file.
    setStamp("2\n");
    ASSERT_TRUE(sync());
    fs::remove(project / ".stamp");
    fs::create_directory(project / ".stamp");
    EXPECT_TRUE(sync());
    EXPECT_EQ(test::readFile(project / ".stamp"), "2\n");
    // No shipped stamp: copied at every launch.
    fs::remove(shipped / ".stamp");
    EXPECT_TRUE(sync());
    EXPECT_TRUE(sync());
    EXPECT_EQ(describe(project), describe(shipped));
}

TEST_F(CodeSync, InterruptedSyncIsRepaired)
{
    // Stopped between removing the old code and the rename: no project,
    // and a staging directory holding a partial copy.
    test::writeFile(staging / "start.py", "partial");
    test::writeFile(staging / "stale/leftover", "x");
    fs::permissions(staging / "stale", fs::perms(0555));
    EXPECT_TRUE(sync());
    EXPECT_EQ(describe(project), describe(shipped));
    EXPECT_FALSE(fs::exists(staging));
}

TEST_F(CodeSync, NoMarkerMeansNothingIsShippedAndNothingIsTouched)
{
    fs::remove(shipped / "start.py");
    EXPECT_FALSE(sync());
    EXPECT_FALSE(fs::exists(globals.support));

    test::writeFile(project / "start.py", "old");
    EXPECT_FALSE(sync());
    EXPECT_EQ(test::readFile(project / "start.py"), "old");
}

TEST_F(CodeSync, FailedCopyKeepsTheOldCodeAndNamesWhatFailed)
{
    ASSERT_TRUE(sync());
    const auto before = describe(project, true);
    setStamp("2\n");
    ASSERT_EQ(::mkfifo((shipped / "pipe").c_str(), 0600), 0);
    try {
        sync();
        FAIL() << "a tree holding a FIFO was copied";
    } catch (const fs::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find((shipped / "pipe").string()), std::string::npos) << error.what();
    }
    EXPECT_EQ(describe(project, true), before);
    EXPECT_TRUE(fs::exists(staging)); // the next launch removes it
}

TEST_F(CodeSync, UncreatableSupportDirectoryIsReported)
{
    test::writeFile(globals.home + "/Library", "a file where a folder belongs");
    try {
        sync();
        FAIL() << "sync succeeded without a support directory";
    } catch (const fs::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find(globals.support), std::string::npos) << error.what();
    }
}

// Read-only folders keep their mode in the copy; an ordinary user must still
// be able to replace that copy at the next update.
TEST_F(CodeSync, ReadOnlyFoldersDoNotBlockTheNextUpdate)
{
    const auto syncTwiceAsUser = [this] {
        if (::getuid() == 0) {
            const uid_t nobody = 65534;
            for (auto& entry : fs::recursive_directory_iterator(box.path()))
                (void)::lchown(entry.path().c_str(), nobody, nobody);
            (void)::chown(box.path().c_str(), nobody, nobody);
            if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                std::_Exit(2);
        }
        fs::permissions(shipped / "locked", fs::perms(0755));
        fs::remove(shipped / "locked/data.txt");
        test::writeFile(shipped / "locked/data.txt", "v1");
        fs::permissions(shipped / "locked", fs::perms(0555));
        if (!sync())
            std::_Exit(3);
        setStamp("2\n");
        fs::permissions(shipped / "locked", fs::perms(0755));
        fs::remove(shipped / "locked/data.txt");
        test::writeFile(shipped / "locked/data.txt", "v2");
        fs::permissions(shipped / "locked", fs::perms(0555));
        if (!sync() || test::readFile(project / "locked/data.txt") != "v2"
            || fs::status(project / "locked").permissions() != fs::perms(0555))
            std::_Exit(4);
        std::_Exit(0);
    };
    EXPECT_EXIT(syncTwiceAsUser(), ::testing::ExitedWithCode(0), "");
}

TEST(ShippedCode, LivesInTheBundleResources)
{
    EXPECT_EQ(shippedCodeDirectory(platform::Bundle::at("/opt/S.app")), "/opt/S.app/Contents/Resources/app");
    EXPECT_EQ(shippedCodeDirectory(platform::Bundle()), "/app");
}

} // namespace
} // namespace sv
