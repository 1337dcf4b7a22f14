#include "setup/code_sync.h"
#include "setup/command_runner.h"
#include "setup/python_env.h"
#include "support/offline_wheel.h"
#include "support/sandbox.h"
#include "support/scoped_variable.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace sv {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;

// Fake uv and python3 (the search path holds only the test's own folders,
// so they name other programs by full path): each call appends its PATH, working directory, own
// path and arguments to one log. Creating an environment installs a copy of
// the fake as its interpreter. A script named after the step in `control`
// ("venv", "ensurepip", "install") is run in its place, to fail it.
std::string fakeTool(const fs::path& log, const fs::path& control)
{
    return "#!/bin/sh\n"
           "{ printf '%s\\037' \"$PATH\" \"$PWD\" \"$0\" \"$@\"; echo; } >> '" + log.string() + "'\n"
           "case \"$1 $2\" in\n"
           "  'venv --python'|'-m venv') step=venv ;;\n"
           "  '-m ensurepip') step=ensurepip ;;\n"
           "  *) step=install ;;\n"
           "esac\n"
           "[ -f '" + control.string() + "'/$step ] && . '" + control.string() + "'/$step\n"
           "if [ $step = venv ]; then for last; do :; done; /bin/mkdir -p \"$last/bin\" && /bin/cp \"$0\" \"$last/bin/python\"; fi\n"
           "echo \"fake $step done\"\n";
}

class EnsurePython : public ::testing::Test {
protected:
    test::Sandbox box;
    fs::path first = box / "opt-bin", second = box / "local-bin", third = box / "usr-bin";
    Globals globals { (box / "home").string(), 0, first.string() + ":" + second.string() + ":" + third.string() };
    fs::path log = box / "calls.log", control = box / "control";
    std::string requirements = globals.project + "/requirements.txt";
    std::string stamp = requirementsStampPath(globals);
    Lines statuses;

    void SetUp() override
    {
        fs::create_directories(control);
        test::writeFile(requirements, "flask==3.0\n");
    }
    fs::path tool(const fs::path& file)
    {
        test::writeFile(file, fakeTool(log, control));
        fs::permissions(file, fs::perms(0755));
        return file;
    }
    void failStep(const std::string& step, const std::string& script) { test::writeFile(control / step, script); }
    void ensure()
    {
        // A server may start before this call when the environment is in
        // step: the call must then run and show nothing.
        const bool inStep = environmentInStep(globals);
        const auto ran = calls().size();
        const auto shown = statuses.size();
        ensurePython(globals, [this](const std::string& s) { statuses.push_back(s); });
        if (inStep) {
            EXPECT_EQ(calls().size(), ran);
            EXPECT_EQ(statuses.size(), shown);
        }
    }
    // The command lines run so far, without PATH and working directory.
    Calls calls(bool withContext = false)
    {
        Calls result;
        if (!fs::exists(log))
            return result;
        std::istringstream lines(test::readFile(log));
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> fields;
            std::istringstream parts(line);
            for (std::string field; std::getline(parts, field, '\037');)
                fields.push_back(field);
            result.emplace_back(fields.begin() + (withContext ? 0 : 2), fields.end());
        }
        return result;
    }
};

const Lines bothSteps = { std::string(settingUpPythonText), std::string(installingPackagesText) };

TEST_F(EnsurePython, FirstStartWithUvThenNothing)
{
    const auto uv = tool(second / "uv").string();
    tool(first / "python3");
    ensure();
    EXPECT_EQ(statuses, bothSteps);
    EXPECT_EQ(calls(), (Calls { { uv, "venv", "--python", "3.12", globals.venv },
                           { uv, "pip", "install", "--python", globals.python, "-r", requirements } }));
    EXPECT_EQ(test::readFile(stamp), "flask==3.0\n");
    // Every command sees the search path and runs in our working directory.
    for (const auto& call : calls(true)) {
        EXPECT_EQ(call[0], globals.searchPath);
        EXPECT_EQ(call[1], fs::current_path().string());
    }

    ensure();
    EXPECT_EQ(statuses, bothSteps);
    EXPECT_EQ(calls().size(), 2u);
}

TEST_F(EnsurePython, FirstStartWithSystemPythonThenNothing)
{
    const auto python3 = tool(third / "python3").string();
    ensure();
    EXPECT_EQ(statuses, bothSteps);
    EXPECT_EQ(calls(), (Calls { { python3, "-m", "venv", globals.venv },
                           { globals.python, "-m", "ensurepip", "--upgrade" },
                           { globals.python, "-m", "pip", "install", "-r", requirements } }));
    EXPECT_EQ(test::readFile(stamp), "flask==3.0\n");
    ensure();
    EXPECT_EQ(calls().size(), 3u);
    EXPECT_EQ(statuses.size(), 2u);
}

TEST_F(EnsurePython, ChangedRequirementsOnlyInstall)
{
    tool(first / "uv");
    ensure();
    statuses.clear();
    test::writeFile(requirements, "flask==3.0"); // only the line end differs
    ensure();
    EXPECT_EQ(statuses, Lines { std::string(installingPackagesText) });
    ASSERT_EQ(calls().size(), 3u);
    EXPECT_EQ(calls()[2][1], "pip");
    EXPECT_EQ(test::readFile(stamp), "flask==3.0");

    // A file changed while it is being installed: what was installed is the
    // text read before, and that is what the stamp records, so the next
    // launch installs the change.
    test::writeFile(requirements, "flask==3.1\n");
    failStep("install", "printf 'flask==3.2\\n' > '" + requirements + "'\n");
    ensure();
    EXPECT_EQ(test::readFile(stamp), "flask==3.1\n");
    fs::remove(control / "install");
    ensure();
    EXPECT_EQ(calls().size(), 5u);
    EXPECT_EQ(test::readFile(stamp), "flask==3.2\n");
}

TEST_F(EnsurePython, NoRequirementsFileCreatesTheEnvironmentOnly)
{
    tool(first / "uv");
    fs::remove(requirements);
    ensure();
    EXPECT_EQ(statuses, Lines { std::string(settingUpPythonText) });
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_FALSE(fs::exists(stamp));
    ensure();
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(statuses.size(), 1u);
}

TEST_F(EnsurePython, NoInterpreterRunsNothingAndCreatesNothing)
{
    fs::create_directories(first);
    tool(first / "python2");
    try {
        ensure();
        FAIL() << "no error without an interpreter";
    } catch (const SetupError& error) {
        EXPECT_EQ(error.message,
            "Python 3 was not found. Please install it (python.org or Homebrew) and open Sandvoll again.");
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(fs::exists(globals.venv));
}

TEST_F(EnsurePython, FailedInstallShowsItsWholeOutputAndKeepsTheOldStamp)
{
    tool(first / "python3");
    ensure();
    test::writeFile(requirements, "flask==3.1\n");
    std::string script;
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        script += "echo 'Collecting package " + std::to_string(i) + " ...............'\n";
        script += "echo 'WARNING: retry " + std::to_string(i) + "' >&2\n";
        expected += "Collecting package " + std::to_string(i) + " ...............\nWARNING: retry "
            + std::to_string(i) + "\n";
    }
    failStep("install", script + "echo 'ERROR: No matching distribution found for flask==3.1' >&2; exit 1\n");
    expected += "ERROR: No matching distribution found for flask==3.1\n";
    try {
        ensure();
        FAIL() << "a failed install was reported as success";
    } catch (const SetupError& error) {
        EXPECT_EQ(error.message, expected);
    }
    EXPECT_EQ(test::readFile(stamp), "flask==3.0\n");
    EXPECT_TRUE(isExecutableFile(globals.python));

    // The next launch tries again from there.
    fs::remove(control / "install");
    ensure();
    EXPECT_EQ(test::readFile(stamp), "flask==3.1\n");
}

TEST_F(EnsurePython, FailedEnsurepipDoesNotStopTheInstall)
{
    tool(first / "python3");
    failStep("ensurepip", "echo 'ensurepip is disabled' >&2; exit 1\n");
    ensure();
    EXPECT_EQ(calls().size(), 3u);
    EXPECT_EQ(test::readFile(stamp), "flask==3.0\n");
}

TEST_F(EnsurePython, FailedCreationLeavesWhatItMadeAndInstallsNothing)
{
    tool(first / "uv");
    failStep("venv", "/bin/mkdir -p \"$4\"; echo half > \"$4/pyvenv.cfg\"\n"
                     "echo 'error: No interpreter found for Python 3.12' >&2; exit 2\n");
    try {
        ensure();
        FAIL();
    } catch (const SetupError& error) {
        EXPECT_EQ(error.message, "error: No interpreter found for Python 3.12\n");
    }
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(test::readFile(globals.venv + "/pyvenv.cfg"), "half\n");
    EXPECT_EQ(statuses, Lines { std::string(settingUpPythonText) });
}

TEST_F(EnsurePython, CreationThatStoppedAfterMakingItsInterpreterIsMadeAgainFromNothing)
{
    tool(first / "uv");
    failStep("venv", "/bin/mkdir -p \"$4/bin\"; /bin/cp \"$0\" \"$4/bin/python\"; echo > \"$4/half-made\"\n"
                     "echo 'error: interrupted' >&2; exit 1\n");
    EXPECT_THROW(ensure(), SetupError);
    EXPECT_TRUE(isExecutableFile(globals.python));
    EXPECT_TRUE(fs::exists(globals.venv + "/half-made"));

    fs::remove(control / "venv");
    ensure();
    EXPECT_FALSE(fs::exists(globals.venv + "/half-made"));
    ASSERT_EQ(calls().size(), 3u);
    EXPECT_EQ(calls()[1][1], "venv");
    EXPECT_EQ(calls()[2][1], "pip");
    EXPECT_EQ(statuses, (Lines { std::string(settingUpPythonText), std::string(settingUpPythonText),
                            std::string(installingPackagesText) }));
    EXPECT_EQ(test::readFile(stamp), "flask==3.0\n");
}

TEST_F(EnsurePython, UnstartableOrSilentToolsStillExplainThemselves)
{
    test::writeFile(first / "uv", "\x7f" "ELF but not really");
    fs::permissions(first / "uv", fs::perms(0755));
    try {
        ensure();
        FAIL();
    } catch (const SetupError& error) {
        EXPECT_NE(error.message.find((first / "uv").string()), std::string::npos) << error.message;
    }
    tool(first / "uv");
    failStep("venv", "exit 1\n");
    try {
        ensure();
        FAIL();
    } catch (const SetupError& error) {
        EXPECT_EQ(error.message, (first / "uv").string() + " failed with status 1 and printed nothing readable.");
    }
}

TEST_F(EnsurePython, UnwritableStampIsReportedAndInstallsAgainNextTime)
{
    tool(first / "uv");
    fs::create_directories(stamp + "/in-the-way");
    EXPECT_THROW(ensure(), fs::filesystem_error);
    EXPECT_EQ(calls().size(), 2u);
    fs::remove_all(stamp);
    ensure();
    EXPECT_EQ(calls().size(), 3u);
    EXPECT_EQ(test::readFile(stamp), "flask==3.0\n");
}

// One real run on the machine's own interpreter: venv, ensurepip and pip
// install a wheel that the test builds, offline, from a local folder.
TEST(EnsurePythonForReal, InstallsAnOfflineWheelWithTheSystemPythonThenRunsNothing)
{
    if (!isExecutableFile("/usr/bin/python3"))
        GTEST_SKIP() << "no /usr/bin/python3 on this machine";
    test::Sandbox box;
    const fs::path bin = box / "bin", wheels = box / "wheels", shipped = box / "shipped";
    fs::create_directories(bin);
    fs::create_directories(wheels);
    fs::create_symlink("/usr/bin/python3", bin / "python3");
    const Globals globals((box / "home").string(), 0, bin.string());
    // Keep pip's cache and configuration inside the sandbox.
    test::ScopedVariable cache("XDG_CACHE_HOME", (box / "cache").string());
    test::ScopedVariable config("PIP_CONFIG_FILE", "/dev/null");
    test::ScopedVariable quiet("PIP_DISABLE_PIP_VERSION_CHECK", "1");

    const auto wheelError = test::buildOfflineWheel(wheels, "1.0");
    ASSERT_EQ(wheelError, "");
    const std::string requirementsText = test::offlineRequirements(wheels, "1.0");
    test::writeFile(shipped / "start.py", "");
    test::writeFile(shipped / ".stamp", "1\n");
    test::writeFile(shipped / "requirements.txt", requirementsText);

    Lines statuses;
    const auto onStatus = [&](const std::string& s) { statuses.push_back(s); };
    ASSERT_TRUE(syncCode(globals, shipped.string()));
    try {
        ensurePython(globals, onStatus);
    } catch (const SetupError& error) {
        FAIL() << error.message;
    }
    EXPECT_EQ(statuses, bothSteps);
    EXPECT_EQ(test::readFile(requirementsStampPath(globals)), requirementsText);
    const auto probe = run(globals, globals.python, { "-c", "import svprobe; print(svprobe.VALUE)" });
    EXPECT_EQ(probe.status, 0);
    EXPECT_EQ(probe.output, test::probeOutput("1.0"));

    // The next launch: nothing to copy, nothing to run, nothing rewritten.
    // The environment's interpreter leads to bin/python3; replaced by a
    // script that leaves a trace, it shows whether anything was run.
    struct stat before, after;
    ASSERT_EQ(::stat(requirementsStampPath(globals).c_str(), &before), 0);
    fs::remove(bin / "python3");
    test::writeFile(bin / "python3", "#!/bin/sh\n/usr/bin/touch '" + (box / "ran").string() + "'\n");
    fs::permissions(bin / "python3", fs::perms(0755));
    statuses.clear();
    EXPECT_FALSE(syncCode(globals, shipped.string()));
    ensurePython(globals, onStatus);
    EXPECT_TRUE(statuses.empty());
    EXPECT_FALSE(fs::exists(box / "ran"));
    ASSERT_EQ(::stat(requirementsStampPath(globals).c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

} // namespace
} // namespace sv
