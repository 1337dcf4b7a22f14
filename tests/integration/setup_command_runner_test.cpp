#include "setup/command_runner.h"
#include "setup/utf8.h"
#include "support/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <unistd.h>

extern char** environ;

namespace sv {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class Run : public ::testing::Test {
protected:
    test::Sandbox box;
    Globals globals { (box / "home").string(), 0, "/usr/local/sbin:/usr/bin:/bin" };

    RunResult sh(const std::string& script, const std::optional<std::string>& cwd = std::nullopt)
    {
        return run(globals, "/bin/sh", { "-c", script }, cwd);
    }
};

TEST_F(Run, BothStreamsArriveInOneTextInTheOrderWritten)
{
    const auto result = sh("echo out1; echo err1 >&2; echo out2; echo err2 >&2");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "out1\nerr1\nout2\nerr2\n");
}

TEST_F(Run, FailuresKeepTheirStatusAndOutput)
{
    const auto exited = sh("echo 'what went wrong' >&2; exit 3");
    EXPECT_EQ(exited.status, 3);
    EXPECT_EQ(exited.output, "what went wrong\n");
    EXPECT_EQ(sh("kill -TERM $$").status, SIGTERM);
}

TEST_F(Run, ProgramsThatCannotStartGiveMinusOneAndWhy)
{
    test::writeFile(box / "no-exec-bit", "#!/bin/sh\n");
    test::writeFile(box / "no-format", "just text\n");
    fs::permissions(box / "no-format", fs::perms(0755));
    for (const fs::path& program : { box / "missing", box / "no-exec-bit", box / "no-format", box.path() }) {
        const auto result = run(globals, program.string(), {});
        EXPECT_EQ(result.status, -1) << program;
        EXPECT_NE(result.output.find(program.string()), std::string::npos) << result.output;
    }
    const auto badCwd = run(globals, "/bin/true", {}, (box / "gone").string());
    EXPECT_EQ(badCwd.status, -1);
    EXPECT_NE(badCwd.output.find("No such file or directory"), std::string::npos) << badCwd.output;
    EXPECT_EQ(run(globals, "/bin/echo", { "a\0b"s }).status, -1);
}

TEST_F(Run, MuchOutputIsReadWholeWithoutBlocking)
{
    std::string text;
    while (text.size() < 5'000'000)
        text += "line " + std::to_string(text.size()) + " æøå €\n";
    test::writeFile(box / "big.txt", text);
    // Sizes around the first buffer's end, where it grows, and one past the
    // size from which memory is prepared in advance.
    for (const std::size_t size : { std::size_t(65535), std::size_t(65536), std::size_t(65537), text.size() }) {
        const auto result = run(globals, "/usr/bin/head", { "-c", std::to_string(size), (box / "big.txt").string() });
        EXPECT_EQ(result.status, 0);
        const std::string expected = text.substr(0, size);
        // Cut inside a character, the output is not UTF-8; otherwise it is whole.
        EXPECT_TRUE(result.output == (isValidUtf8(expected) ? expected : std::string()))
            << size << ": output of " << result.output.size() << " bytes differs";
    }
}

TEST_F(Run, OutputThatIsNotUtf8IsEmptyButTheStatusStays)
{
    EXPECT_EQ(sh("echo fine; printf '\\377'; echo more; exit 4").output, "");
    EXPECT_EQ(sh("echo fine; printf '\\377'; echo more; exit 4").status, 4);
    EXPECT_EQ(sh("printf 'cut \\342\\202'").output, ""); // ends inside a character
    EXPECT_EQ(sh("printf '\\342\\202\\254'").output, "€");
}

TEST_F(Run, ArgumentsArePassedVerbatimWithThePathAsArgv0)
{
    const std::vector<std::string> hostile = { "'^! $PATH", "", "two words", "\"quoted\" \\ `cmd`", "ü;|&" };
    std::vector<std::string> arguments = { "-c", "cat /proc/$$/cmdline" };
    arguments.insert(arguments.end(), hostile.begin(), hostile.end());
    const auto result = run(globals, "/bin/sh", arguments);
    std::string expected = "/bin/sh"s + '\0';
    for (const auto& a : arguments)
        expected += a + '\0';
    EXPECT_EQ(result.output, expected);
}

TEST_F(Run, ChildGetsTheSearchPathAndOtherwiseOurEnvironment)
{
    const auto result = run(globals, "/usr/bin/env", {});
    std::multiset<std::string> got, wanted;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);)
        got.insert(line);
    for (char** e = environ; *e; ++e)
        if (!std::string(*e).starts_with("PATH="))
            wanted.insert(*e);
    wanted.insert("PATH=" + globals.searchPath);
    EXPECT_EQ(got, wanted);
}

TEST_F(Run, WorkingDirectoryIsOursUnlessGiven)
{
    EXPECT_EQ(sh("pwd").output, fs::current_path().string() + "\n");
    EXPECT_EQ(sh("pwd", box.path().string()).output, box.path().string() + "\n");
}

TEST_F(Run, OnlyTheStandardDescriptorsReachTheChild)
{
    const int stray = ::fcntl(STDERR_FILENO, F_DUPFD, 40); // no close-on-exec
    ASSERT_GE(stray, 40);
    const auto result = sh("ls /proc/$$/fd");
    ::close(stray);
    EXPECT_EQ(result.output, "0\n1\n2\n");
}

TEST_F(Run, WaitsForEverythingThatHoldsTheOutput)
{
    // The shell exits at once; its background job writes later.
    const auto result = sh("(sleep 0.2; echo late) & echo early");
    EXPECT_EQ(result.output, "early\nlate\n");
}

} // namespace
} // namespace sv
