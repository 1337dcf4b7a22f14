// The file the web view keeps its cookies in: made private whatever the
// umask, and never written through anything else found at its path.

#include "platform/cookie_file.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace sv {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class CookieFile : public ::testing::Test {
protected:
    // As a desktop session usually starts the app.
    void SetUp() override { previousMask = ::umask(022); }
    void TearDown() override { ::umask(previousMask); }

    test::Sandbox sandbox;
    fs::path folder = sandbox / "data/Sandvoll";
    fs::path file = folder / "cookies.sqlite";
    mode_t previousMask = 0;
};

TEST_F(CookieFile, ANewFileAndFolderAreThisUsersOnly)
{
    EXPECT_EQ(platform::prepareCookieFile(folder), file);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(CookieFile, AFileThatIsThereKeepsItsCookiesAndBecomesThisUsersOnly)
{
    test::writeFile(file, "the cookies of earlier launches");
    ::chmod(file.c_str(), 0644);
    ::chmod(folder.c_str(), 0755); // what the engine made is not changed
    EXPECT_EQ(platform::prepareCookieFile(folder), file);
    EXPECT_EQ(test::readFile(file), "the cookies of earlier launches");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(folder), 0755u);
}

TEST_F(CookieFile, NothingElseAtItsPathIsWrittenThroughOrChanged)
{
    const fs::path outside = sandbox / "outside.txt";
    const struct Case {
        const char* what;
        std::function<void()> place;
    } cases[] = {
        { "a link to a file", [&] { fs::create_symlink(outside, file); } },
        { "a link to nothing", [&] { fs::create_symlink(sandbox / "nothing", file); } },
        { "a folder", [&] { fs::create_directories(file); } },
        { "a FIFO nobody writes to", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(sandbox / "data");
        fs::create_directories(folder);
        test::writeFile(outside, "someone's file");
        ::chmod(outside.c_str(), 0644);
        c.place();
        EXPECT_EQ(platform::prepareCookieFile(folder), std::nullopt);
        EXPECT_EQ(test::readFile(outside), "someone's file");
        EXPECT_EQ(modeOf(outside), 0644u);
        EXPECT_FALSE(fs::exists(sandbox / "nothing"));
    }
    // A folder that cannot be made: a file is in the way.
    fs::remove_all(sandbox / "data");
    test::writeFile(sandbox / "data", "in the way");
    EXPECT_EQ(platform::prepareCookieFile(folder), std::nullopt);
    EXPECT_EQ(test::readFile(sandbox / "data"), "in the way");
}

} // namespace
} // namespace sv
