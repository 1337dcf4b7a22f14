#include "setup/command_runner.h"
#include "setup/utf8.h"
#include "support/sandbox.h"

#include <fcntl.h>
#include <fstream>
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

// What run() keeps of a valid output: its last keptOutputBytes, from the
// first whole character on.
std::string keptEnd(const std::string& output)
{
    std::size_t from = output.size() > keptOutputBytes ? output.size() - keptOutputBytes : 0;
    while (from < output.size() && (static_cast<unsigned char>(output[from]) & 0xC0) == 0x80)
        ++from;
    return output.substr(from);
}

// The peak of this process's resident memory since the last reset, in KiB.
long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    return -1;
}

TEST_F(Run, MuchOutputIsReadWithoutBlockingAndItsEndKept)
{
    std::string text;
    while (text.size() < 5'000'000)
        text += "line " + std::to_string(text.size()) + " æøå €\n";
    test::writeFile(box / "big.txt", text);
    // Sizes around the first buffer's end, where it grows, around the size
    // kept, around the buffer's largest size, where the oldest bytes first
    // go, and the whole text.
    for (const std::size_t size : { std::size_t(65535), std::size_t(65536), std::size_t(65537), keptOutputBytes - 1,
             keptOutputBytes, keptOutputBytes + 1, 4 * keptOutputBytes, 4 * keptOutputBytes + 1, text.size() }) {
        const auto result = run(globals, "/usr/bin/head", { "-c", std::to_string(size), (box / "big.txt").string() });
        EXPECT_EQ(result.status, 0);
        const std::string expected = text.substr(0, size);
        // Cut inside a character, the output is not UTF-8; otherwise its end is kept.
        EXPECT_TRUE(result.output == (isValidUtf8(expected) ? keptEnd(expected) : std::string()))
            << size << ": output of " << result.output.size() << " bytes differs";
    }
}

TEST_F(Run, FarMoreOutputKeepsExactlyItsEndInBoundedMemory)
{
    // 48 MiB of filler, then an end of numbered runs of three-byte
    // characters, longer than what is kept.
    std::string end;
    for (int i = 0; end.size() < keptOutputBytes + keptOutputBytes / 2; ++i)
        end += i % 1000 == 0 ? "\n" + std::to_string(i) + " " : "€";
    test::writeFile(box / "end.txt", end);
    const std::string expected = keptEnd(end);
    ASSERT_LT(expected.size(), keptOutputBytes) << "the cut falls inside a character";

    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from now
    const long before = peakResidentKiB();
    const auto result = sh("head -c 50331648 /dev/zero | tr '\\0' a; cat '" + (box / "end.txt").string() + "'");
    const long peakGrowth = peakResidentKiB() - before;
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.output == expected) << "kept " << result.output.size() << " bytes";
    ASSERT_GT(before, 0);
    EXPECT_LT(peakGrowth, 16 * 1024) << "KiB more at the peak while reading 49 MiB";
}

TEST_F(Run, OutputThatIsNotUtf8IsEmptyButTheStatusStays)
{
    EXPECT_EQ(sh("echo fine; printf '\\377'; echo more; exit 4").output, "");
    EXPECT_EQ(sh("echo fine; printf '\\377'; echo more; exit 4").status, 4);
    EXPECT_EQ(sh("printf 'cut \\342\\202'").output, ""); // ends inside a character
    EXPECT_EQ(sh("printf '\\342\\202\\254'").output, "€");
    // A bad byte long gone from what is kept still makes the output not text.
    EXPECT_TRUE(sh("printf '\\377'; head -c 6000000 /dev/zero | tr '\\0' a").output.empty());
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
