#include "setup/command_runner.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

namespace fs = std::filesystem;

class Which : public ::testing::Test {
protected:
    test::Sandbox box;
    fs::path a = box / "a", b = box / "b", c = box / "c";
    Globals globals { (box / "home").string(), 0, ":" + a.string() + "::" + b.string() + ":" + c.string() + ":" };

    void program(const fs::path& file, fs::perms perms = fs::perms::owner_all)
    {
        test::writeFile(file, "#!/bin/sh\n");
        fs::permissions(file, perms);
    }
};

TEST_F(Which, DirectoryOrderWinsOverNameOrder)
{
    program(a / "python3");
    program(b / "python3.12");
    EXPECT_EQ(which(globals, { "python3.12", "python3" }), (a / "python3").string());
    program(a / "python3.12");
    EXPECT_EQ(which(globals, { "python3.12", "python3" }), (a / "python3.12").string());
}

TEST_F(Which, SkipsWhatCannotBeExecuted)
{
    program(a / "uv", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directories(b / "uv");
    fs::create_symlink(box / "nowhere", a / "python3");
    EXPECT_EQ(which(globals, { "uv", "python3" }), std::nullopt);
    program(c / "real-uv");
    fs::create_symlink(c / "real-uv", c / "uv");
    EXPECT_EQ(which(globals, { "uv" }), (c / "uv").string());
}

TEST_F(Which, NeverLooksAtTheProcessPath)
{
    // sh is on this process's PATH but in none of the search directories.
    EXPECT_EQ(which(globals, { "sh", "ls" }), std::nullopt);
    EXPECT_EQ(which(Globals("/h", 0, ""), { "sh" }), std::nullopt);
    EXPECT_EQ(which(Globals("/h", 0, "/bin"), { "sh" }), "/bin/sh");
}

} // namespace
} // namespace sv
