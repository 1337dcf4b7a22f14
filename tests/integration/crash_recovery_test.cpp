// Provisioning killed with SIGKILL at many moments: while the code is synced
// over an older good copy, while the environment is made on a first start,
// and while new requirements go into an existing environment. The launch
// runs in a driver process of its own (the sync and the environment set-up
// exactly as the start-up task calls them), killed with every program it
// started. After each kill the disk must be in a state that a later launch
// repairs, and the next launch, run to the end, must leave the shipped code
// in place (every byte, mode and link) and an environment that imports the
// package the test built and installed offline.
//
// Kill moments are of two kinds: spread over the measured length of an
// uninterrupted launch, and right after something observable on disk (the
// staging folder appearing or being complete, the old code starting to go,
// the interpreter appearing, pip unpacking itself, a package being replaced),
// found by polling the file system while the launch runs.

#include "setup/command_runner.h"
#include "setup/file_tree.h"
#include "setup/python_env.h"
#include "setup/text_file.h"
#include "support/local_runner.h"
#include "support/offline_wheel.h"
#include "support/sandbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace sv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Directory trees, compared entry by entry.

struct Entry {
    char kind; // 'f' file, 'l' symbolic link, 'd' directory
    unsigned mode; // permission bits of files and directories
    std::string data; // a file's bytes or a link's target
    bool operator==(const Entry&) const = default;
};
using Tree = std::map<std::string, Entry>;

void scan(const fs::path& root, const std::string& prefix, Tree& tree)
{
    DIR* dir = ::opendir((root / prefix).c_str());
    if (!dir)
        throw std::runtime_error("cannot list " + (root / prefix).string());
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        const fs::path full = root / relative;
        struct stat info;
        if (::lstat(full.c_str(), &info) != 0)
            throw std::runtime_error("cannot stat " + full.string());
        if (S_ISDIR(info.st_mode)) {
            tree[relative] = { 'd', info.st_mode & 07777u, {} };
            scan(root, relative, tree);
        } else if (S_ISLNK(info.st_mode)) {
            tree[relative] = { 'l', 0, fs::read_symlink(full).string() };
        } else {
            tree[relative] = { 'f', info.st_mode & 07777u, test::readFile(full) };
        }
    }
    ::closedir(dir);
}

// The tree under `root`, or nothing when `root` does not exist.
std::optional<Tree> snapshot(const fs::path& root)
{
    struct stat info;
    if (::lstat(root.c_str(), &info) != 0)
        return std::nullopt;
    Tree tree;
    tree[""] = { 'd', info.st_mode & 07777u, {} };
    scan(root, "", tree);
    return tree;
}

// Whether `part` could be what is left of `whole`, or what has been made of
// it so far: every entry is one of `whole`'s, of the same kind and, with
// `sameContent`, with the same bytes, mode or target.
bool isPartOf(const Tree& part, const Tree& whole, bool sameContent)
{
    for (const auto& [path, entry] : part) {
        const auto it = whole.find(path);
        if (it == whole.end() || it->second.kind != entry.kind)
            return false;
        if (sameContent && entry.kind != 'd' && it->second != entry)
            return false;
    }
    return true;
}

// The first few differences, for failure messages; empty when equal.
std::string difference(const std::optional<Tree>& actual, const Tree& expected)
{
    if (!actual)
        return "missing";
    std::string text;
    int shown = 0;
    const auto note = [&](const std::string& path, const char* what) {
        if (shown++ < 5)
            text += "'" + path + "' " + what + "; ";
    };
    for (const auto& [path, entry] : expected) {
        const auto it = actual->find(path);
        if (it == actual->end())
            note(path, "missing");
        else if (it->second.kind != entry.kind)
            note(path, "of another kind");
        else if (it->second.data != entry.data)
            note(path, entry.kind == 'l' ? "points elsewhere" : "has other bytes");
        else if (it->second.mode != entry.mode)
            note(path, "has another mode");
    }
    for (const auto& [path, entry] : *actual) {
        if (!expected.count(path))
            note(path, "should not be there");
    }
    if (shown > 5)
        text += "and " + std::to_string(shown - 5) + " more";
    return text;
}

// ---------------------------------------------------------------------------
// Shipped code: over 2,000 files in 28 folders (the copy takes long enough
// to be killed in the middle many times; fewer folders where only the
// environment is watched), with executable, private and read-only files, a
// read-only folder, and links (relative, to a folder, dangling). Each variant has its own stamp, its own bytes in a third of
// the files and its own modes in some; odd variants drop some files, add a
// folder and point a link elsewhere, so that any mix of two variants shows.

void writeWithMode(const fs::path& file, const std::string& content, unsigned mode)
{
    test::writeFile(file, content);
    if (::chmod(file.c_str(), mode) != 0)
        throw std::runtime_error("cannot chmod " + file.string());
}

void makeShippedCode(const fs::path& dir, int variant, const std::string& requirements, int folders = 28)
{
    const std::string tag = "variant " + std::to_string(variant);
    const bool odd = variant % 2 == 1;
    writeWithMode(dir / "start.py", "print('" + tag + "')\n", 0644);
    writeWithMode(dir / ".stamp", "build " + std::to_string(variant) + "\n", 0644);
    writeWithMode(dir / "requirements.txt", requirements, 0644);
    for (int folder = 0; folder < folders; ++folder) {
        char name[32];
        std::snprintf(name, sizeof name, "pkg/mod%02d", folder);
        for (int i = 0; i < 75; ++i) {
            if (odd && (folder * 7 + i) % 11 == 0)
                continue;
            char file[32];
            std::snprintf(file, sizeof file, "/file_%03d.py", i);
            std::string content = "# " + std::string(name) + file + "\n";
            content += (folder + i) % 3 == 0 ? "VALUE = '" + tag + "'\n" : "VALUE = 'common'\n";
            content.append(static_cast<std::size_t>(i * 37 % 1500), static_cast<char>('a' + i % 26));
            unsigned mode = 0644;
            if (i % 5 == 0)
                mode = 0755;
            else if (i % 7 == 0)
                mode = odd ? 0640 : 0600;
            else if (i % 13 == 0)
                mode = 0444;
            writeWithMode(dir / (std::string(name) + file), content, mode);
        }
    }
    if (odd) {
        for (int i = 0; i < 100; ++i)
            writeWithMode(dir / ("extra/added_" + std::to_string(i) + ".txt"), tag + " " + std::to_string(i), 0644);
    }
    fs::create_symlink(odd ? "file_002.py" : "file_001.py", dir / "pkg/mod00/current.py");
    fs::create_directory_symlink("pkg/mod01", dir / "lib");
    fs::create_symlink("does/not/exist", dir / "pkg/broken");
    for (int i = 0; i < 3; ++i)
        writeWithMode(dir / ("data/readonly/table_" + std::to_string(i) + ".csv"), tag + ",1,2,3\n", 0444);
    ::chmod((dir / "data/readonly").c_str(), 0555);
    // The copy makes the staging folder 0700 and gives it this mode last: a
    // moment the tests can see.
    ::chmod(dir.c_str(), 0755);
}

// `count` files spread over a tree, to watch copies and removals with a few
// checks instead of a full listing.
std::vector<std::string> sampleFiles(const Tree& tree, std::size_t count)
{
    std::vector<std::string> files;
    for (const auto& [path, entry] : tree) {
        if (entry.kind == 'f')
            files.push_back(path);
    }
    std::vector<std::string> sample;
    for (std::size_t i = 0; i < count; ++i)
        sample.push_back(files[i * files.size() / count]);
    return sample;
}

bool present(const fs::path& path)
{
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

// ---------------------------------------------------------------------------
// One launch in a process group of its own.

class Launch {
public:
    Launch(const std::vector<std::string>& arguments, std::vector<std::string> environment, const fs::path& log)
        : log_(log)
    {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        // Its own group, so that one signal reaches the driver and every
        // program it runs, as when the whole session goes.
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        std::vector<std::string> argv = arguments;
        const auto argp = cStringArray(argv);
        const auto envp = cStringArray(environment);
        const int error = ::posix_spawn(&pid_, argv[0].c_str(), &actions, &attributes, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0)
            throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
        started_ = Clock::now();
    }
    ~Launch()
    {
        if (!finished_) {
            kill();
            (void)wait();
        }
    }
    Launch(const Launch&) = delete;
    Launch& operator=(const Launch&) = delete;

    [[nodiscard]] bool running() const
    {
        siginfo_t info {};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    }
    void kill() { ::kill(-pid_, SIGKILL); }

    // Waits for the driver, then reaps every process left of its group (the
    // test is their subreaper), so nothing of this launch touches the disk
    // afterwards. Returns the driver's wait status.
    int wait()
    {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
        finished_ = true;
        elapsed_ = Clock::now() - started_;
        for (int other; ::waitpid(-pid_, &other, 0) > 0 || errno == EINTR;) { }
        return status;
    }

    [[nodiscard]] Clock::duration elapsed() const { return elapsed_; }
    [[nodiscard]] Clock::time_point started() const { return started_; }
    [[nodiscard]] std::string output() const { return present(log_) ? test::readFile(log_) : std::string(); }

private:
    fs::path log_;
    pid_t pid_ = -1;
    Clock::time_point started_;
    Clock::duration elapsed_ {};
    bool finished_ = false;
};

// A moment to kill at: a condition on the disk (or on the clock), checked
// while the launch runs.
struct KillPoint {
    std::string name;
    std::function<bool(Clock::time_point started)> due;
};

KillPoint after(const std::string& name, std::function<bool()> event)
{
    return { name, [event = std::move(event)](Clock::time_point) { return event(); } };
}

KillPoint at(double fraction, const Clock::duration& length)
{
    const auto offset = std::chrono::duration_cast<Clock::duration>(length * fraction);
    return { "at " + std::to_string(static_cast<int>(fraction * 100)) + "% of "
            + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(length).count()) + " ms",
        [offset](Clock::time_point started) { return Clock::now() >= started + offset; } };
}

class CrashRecovery : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override
    {
        if (!isExecutableFile(test::systemPython))
            GTEST_SKIP() << "no " << test::systemPython << " on this machine";
        fs::create_directories(bin);
        fs::create_directories(logs);
        fs::create_symlink(test::systemPython, bin / "python3");
        for (const char* version : { "1.0", "2.0" })
            ASSERT_EQ(test::buildOfflineWheel(wheels, version), "");
        const auto tag = test::runLocally(
            test::systemPython, { "-c", "import sys; print('python%d.%d' % sys.version_info[:2], end='')" });
        ASSERT_EQ(tag.status, 0) << tag.output;
        sitePackages = fs::path(globals.venv) / "lib" / tag.output / "site-packages";

        // pip inside the sandbox: no user configuration, no version check,
        // its cache in the sandbox, never a question.
        const std::map<std::string, std::string> own { { "PIP_CONFIG_FILE", "/dev/null" },
            { "PIP_DISABLE_PIP_VERSION_CHECK", "1" }, { "PIP_NO_INPUT", "1" },
            { "XDG_CACHE_HOME", (box / "cache").string() } };
        for (char** variable = environ; *variable; ++variable) {
            const std::string entry = *variable;
            if (!own.count(entry.substr(0, entry.find('='))))
                environment.push_back(entry);
        }
        for (const auto& [name, value] : own)
            environment.push_back(name + "=" + value);
    }

    std::unique_ptr<Launch> start(const fs::path& shipped)
    {
        const fs::path log = logs / ("launch-" + std::to_string(++launches) + ".log");
        return std::make_unique<Launch>(
            std::vector<std::string> { SV_PROVISION_DRIVER, globals.home, globals.searchPath, shipped.string() },
            environment, log);
    }

    // A launch that must succeed; returns how long it took.
    Clock::duration launch(const fs::path& shipped)
    {
        auto running = start(shipped);
        const int status = running->wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "launch with " << shipped << " failed (status " << status << "):\n"
            << running->output();
        return running->elapsed();
    }

    struct Killed {
        bool interrupted = false; // the launch was still running (one that ended first was not)
        Clock::duration elapsed {};
        std::string stage; // how far it got, from the status lines it printed
    };

    // Starts a launch and kills it when the point is due.
    Killed killAt(const fs::path& shipped, const KillPoint& point, Clock::duration limit)
    {
        auto running = start(shipped);
        const auto deadline = running->started() + limit;
        while (!point.due(running->started()) && running->running() && Clock::now() < deadline)
            std::this_thread::sleep_for(100us);
        running->kill();
        const int status = running->wait();
        const std::string output = running->output();
        EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) != 0)
            << "the launch failed before it was killed:\n" << output;
        Killed killed { WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, running->elapsed(), "syncing the code" };
        if (output.find(installingPackagesText) != std::string::npos)
            killed.stage = "installing packages";
        else if (output.find(settingUpPythonText) != std::string::npos)
            killed.stage = "creating the environment";
        else if (output.starts_with("code "))
            killed.stage = "checking the environment";
        return killed;
    }

    // What the disk shows after a kill during a sync from `before` (nothing:
    // a first start) to `after`, and what is wrong with it, if anything. The
    // sync guarantees one of these: the old code whole in `project` (the
    // staging folder holding nothing but part or all of the new code); the
    // new code whole in `project`; or the new code whole in the staging
    // folder while `project` is gone or partly removed, without its stamp,
    // so that any later launch, with either bundle, replaces it.
    struct SyncState {
        std::string name;
        std::string problem;
    };
    SyncState syncState(const std::optional<Tree>& before, const Tree& after)
    {
        const auto project = snapshot(globals.project);
        const auto staged = snapshot(staging);
        const auto stagedPart = [&](const std::string& whole) -> SyncState {
            if (!staged)
                return { whole + ", nothing staged", "" };
            if (!isPartOf(*staged, after, false))
                return { whole + ", staging folder", "the staging folder holds something other than the new code" };
            return { whole + (*staged == after ? ", new code staged" : ", new code partly staged"), "" };
        };
        if (project && *project == after)
            return { "new code in place", staged ? "the staging folder is still there beside the new code" : "" };
        if (before && project && *project == *before)
            return stagedPart("old code whole");
        if (!before && !project)
            return stagedPart("no code yet");
        if (!staged || *staged != after)
            return { "broken",
                "project is neither the old nor the new code (against the new: " + difference(project, after)
                    + ") and the staging folder does not hold the new code whole" };
        if (!project)
            return { "project gone, new code staged", "" };
        if (!before || !isPartOf(*project, *before, true))
            return { "broken", "project is not what is left of the old code" };
        if (project->count(".stamp"))
            return { "old code partly removed, new code staged",
                "a partly removed project still has its stamp: a launch with the old bundle would take it as whole" };
        return { "old code partly removed, new code staged", "" };
    }

    std::string stampText() { return readTextFile(requirementsStampPath(globals)).value_or("(none)"); }
    std::string probe()
    {
        const auto result = test::runLocally(globals.python, { "-c", "import svprobe; print(svprobe.VALUE)" });
        return result.output;
    }

    // The end of a complete launch: the code, the environment, its stamp.
    // A launch that finds its code in step leaves a staging folder from an
    // earlier interrupted sync alone (the next sync removes it), so one may
    // remain when the code went back to an older bundle.
    void expectProvisioned(const Tree& code, const std::string& requirements, const std::string& version,
        bool stagingMayRemain = false)
    {
        EXPECT_EQ(difference(snapshot(globals.project), code), "");
        if (!stagingMayRemain) {
            EXPECT_FALSE(present(staging));
        }
        EXPECT_EQ(probe(), test::probeOutput(version));
        EXPECT_EQ(stampText(), requirements);
    }

    // How many kills landed in a running launch, and where.
    void report(const std::string& what, int interrupted, std::size_t planned, Clock::time_point began)
    {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count();
        std::cout << what << ": " << interrupted << " of " << planned << " kill points interrupted a running launch; "
                  << seconds << " s\n";
        for (const auto& [name, count] : seen)
            std::cout << "  " << count << " x " << name << "\n";
        RecordProperty("interrupted", interrupted);
    }

    static std::string milliseconds(Clock::duration length)
    {
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(length).count()) + " ms";
    }

    test::Sandbox box;
    fs::path bin = box / "bin", wheels = box / "wheels", logs = box / "logs";
    Globals globals { (box / "home").string(), 0, bin.string() };
    std::string staging = globals.support + "/app-new";
    fs::path sitePackages;
    std::vector<std::string> environment;
    int launches = 0;
    std::map<std::string, int> seen; // the states or stages kills left, for the report
};

// Code synced back and forth between two bundles with the same requirements,
// so the environment is left alone and every kill lands in the sync or next
// to it. Some recoveries launch the bundle the interrupted launch came from,
// as a user who goes back to the previous app would.
TEST_F(CrashRecovery, CodeSyncKilledAnywhereKeepsAWholeCopyAndRecovers)
{
    const auto began = Clock::now();
    const std::string requirements = test::offlineRequirements(wheels, "1.0");
    const fs::path shipped[2] = { box / "shipped-a", box / "shipped-b" };
    makeShippedCode(shipped[0], 0, requirements);
    makeShippedCode(shipped[1], 1, requirements);
    const Tree code[2] = { *snapshot(shipped[0]), *snapshot(shipped[1]) };
    ASSERT_GT(code[0].size(), 2000u);
    const std::vector<std::string> samples[2] = { sampleFiles(code[0], 24), sampleFiles(code[1], 24) };
    // The removal of the old code starts wherever the directory listing
    // does: watch every top-level entry as well as the sample.
    std::vector<std::string> watched[2] = { samples[0], samples[1] };
    for (int i = 0; i < 2; ++i) {
        for (const auto& [path, entry] : code[i]) {
            if (!path.empty() && path.find('/') == std::string::npos)
                watched[i].push_back(path);
        }
    }

    launch(shipped[0]);
    expectProvisioned(code[0], requirements, "1.0");
    // Uninterrupted syncs give the length of the window to spread the timed
    // kills over: the shortest of three, so that load on the machine while
    // measuring does not push kills past the end. A timed kill that still
    // comes too late shortens it further.
    Clock::duration length = Clock::duration::max();
    for (int i = 1; i <= 3; ++i) {
        length = std::min(length, launch(shipped[i % 2]));
        expectProvisioned(code[i % 2], requirements, "1.0");
    }
    int installed = 1;

    // Kill points that follow the sync's steps on disk, for one direction.
    const auto events = [&](int from, int to) {
        const std::string newStamp = code[to].at(".stamp").data;
        return std::vector<KillPoint> {
            after("at once", [] { return true; }),
            after("staging folder made", [&] { return present(staging); }),
            after("a third of the new code staged",
                [&, to] {
                    int copied = 0;
                    for (const auto& file : samples[to])
                        copied += present(fs::path(staging) / file);
                    return copied >= 8;
                }),
            after("staging complete",
                [&] {
                    struct stat info;
                    return ::lstat(staging.c_str(), &info) == 0 && (info.st_mode & 07777) == 0755;
                }),
            after("old code going",
                [&, from] {
                    for (const auto& entry : watched[from]) {
                        if (!present(fs::path(globals.project) / entry))
                            return true;
                    }
                    return false;
                }),
            after("a third of the old code removed",
                [&, from] {
                    int removed = 0;
                    for (const auto& file : samples[from])
                        removed += !present(fs::path(globals.project) / file);
                    return removed >= 8;
                }),
            after("old code gone",
                [&, newStamp] {
                    return !present(globals.project) || readTextFile(globals.project + "/.stamp") == newStamp;
                }),
            after("new code in place", [&, newStamp] { return readTextFile(globals.project + "/.stamp") == newStamp; }),
        };
    };
    // From a complete staging folder on, the old code is being removed.
    const int removalEvents[] = { 3, 4, 5, 6 };

    // Each event twice (once in each direction), then kills spread over the
    // measured window. After a kill while the old code may be going, and
    // after every fifth timed kill, the recovery launches the old bundle
    // instead of the new one.
    struct Plan {
        int event; // index into events(), or -1 for a timed kill
        double fraction;
        bool goBack;
    };
    std::vector<Plan> plan;
    for (int round = 0; round < 2; ++round) {
        for (int event = 0; event < 8; ++event)
            plan.push_back({ event, 0, std::ranges::count(removalEvents, event) > 0 });
    }
    constexpr int timed = 32;
    for (int i = 0; i < timed; ++i)
        plan.push_back({ -1, 0.02 + 0.88 * i / (timed - 1), i % 5 == 4 });

    int interrupted = 0;
    for (std::size_t index = 0; index < plan.size(); ++index) {
        const int from = installed, to = 1 - installed;
        const auto& step = plan[index];
        const KillPoint point
            = step.event >= 0 ? events(from, to)[static_cast<std::size_t>(step.event)] : at(step.fraction, length);
        SCOPED_TRACE("kill point " + std::to_string(index + 1) + " (" + point.name + "), from "
            + shipped[from].filename().string() + " to " + shipped[to].filename().string());
        const auto killed = killAt(shipped[to], point, length * 4 + 10s);
        if (killed.interrupted) {
            ++interrupted;
            const auto state = syncState(code[from], code[to]);
            EXPECT_EQ(state.problem, "") << state.name;
            ++seen[state.name];
            EXPECT_EQ(stampText(), requirements);
        } else {
            ++seen["launch ended before the kill (" + point.name + ")"];
            if (step.event < 0)
                length = std::min(length, killed.elapsed);
        }
        const int recovery = step.goBack ? from : to;
        launch(shipped[recovery]);
        expectProvisioned(code[recovery], requirements, "1.0", step.goBack);
        installed = recovery;
        if (HasFailure())
            break;
    }
    report("code sync (window " + milliseconds(length) + ")", interrupted, plan.size(), began);
    EXPECT_GE(interrupted, 40);
}

// The environment: made on a first start (from nothing each time), and
// brought to new requirements (from a copy of the first start's result each
// time). The code is smaller here; the test above covers its sync.
TEST_F(CrashRecovery, EnvironmentKilledAnywhereIsRepairedByTheNextLaunch)
{
    const auto began = Clock::now();
    const std::string first = test::offlineRequirements(wheels, "1.0");
    const std::string second = test::offlineRequirements(wheels, "2.0");
    const fs::path shipped = box / "shipped-a", upgrade = box / "shipped-c";
    makeShippedCode(shipped, 0, first, 4);
    makeShippedCode(upgrade, 2, second, 4);
    const Tree code = *snapshot(shipped), newCode = *snapshot(upgrade);
    const fs::path home = globals.home, settled = box / "home-settled";

    const auto firstStart = launch(shipped);
    expectProvisioned(code, first, "1.0");
    copyTree(home, settled);
    auto upgradeLength = launch(upgrade);
    expectProvisioned(newCode, second, "2.0");
    ASSERT_FALSE(HasFailure());

    // Creating the environment takes most of a first start; the install
    // most of a change of requirements.
    const std::vector<KillPoint> firstStartPoints {
        after("interpreter made", [&] { return isExecutableFile(globals.python); }),
        after("pip unpacking itself", [&] { return present(sitePackages / "pip"); }),
        at(0.45, firstStart),
        after("package arriving", [&] { return present(sitePackages / "svprobe"); }),
    };
    const std::vector<KillPoint> upgradeEvents {
        after("old package leaving", [&] { return !present(sitePackages / "svprobe-1.0.dist-info"); }),
        after("new package arriving", [&] { return present(sitePackages / "svprobe-2.0.dist-info"); }),
    };
    const std::vector<double> upgradeTimes { 0.2, 0.3, 0.4, 0.5, 0.6 };

    int interrupted = 0;
    std::error_code error;
    for (const auto& point : firstStartPoints) {
        SCOPED_TRACE("first start, kill point " + point.name);
        removeTree(home, error);
        ASSERT_FALSE(error) << error.message();
        const auto killed = killAt(shipped, point, firstStart * 4 + 30s);
        if (killed.interrupted) {
            ++interrupted;
            ++seen["first start, " + killed.stage];
            const auto state = syncState(std::nullopt, code);
            EXPECT_EQ(state.problem, "") << state.name;
            // The stamp is written only once the packages are in.
            const std::string stamp = stampText();
            EXPECT_TRUE(stamp == "(none)" || (stamp == first && probe() == test::probeOutput("1.0"))) << stamp;
        } else {
            ++seen["launch ended before the kill (first start, " + point.name + ")"];
        }
        launch(shipped);
        expectProvisioned(code, first, "1.0");
    }
    for (std::size_t i = 0; i < upgradeEvents.size() + upgradeTimes.size(); ++i) {
        const KillPoint point = i < upgradeEvents.size() ? upgradeEvents[i]
                                                         : at(upgradeTimes[i - upgradeEvents.size()], upgradeLength);
        SCOPED_TRACE("new requirements, kill point " + point.name);
        removeTree(home, error);
        ASSERT_FALSE(error) << error.message();
        copyTree(settled, home);
        const auto killed = killAt(upgrade, point, upgradeLength * 4 + 30s);
        if (killed.interrupted) {
            ++interrupted;
            ++seen["new requirements, " + killed.stage];
            const auto state = syncState(code, newCode);
            EXPECT_EQ(state.problem, "") << state.name;
            // The working environment is never taken down to install into it.
            EXPECT_TRUE(isExecutableFile(globals.python));
            const std::string stamp = stampText();
            EXPECT_TRUE(stamp == first || (stamp == second && probe() == test::probeOutput("2.0"))) << stamp;
        } else {
            ++seen["launch ended before the kill (new requirements, " + point.name + ")"];
            if (i >= upgradeEvents.size())
                upgradeLength = std::min(upgradeLength, killed.elapsed);
        }
        launch(upgrade);
        expectProvisioned(newCode, second, "2.0");
    }
    report("environment (first start " + milliseconds(firstStart) + ", new requirements "
            + milliseconds(upgradeLength) + ")",
        interrupted, firstStartPoints.size() + upgradeEvents.size() + upgradeTimes.size(), began);
    // With the code sync's 40 and the certain cut below, at least 50 kills
    // land in a running launch.
    EXPECT_GE(interrupted, 9);
}

// The same moment made certain: a stand-in for python3 that makes the
// interpreter, leaves a trace and then waits for ever (for a writer on a
// FIFO that never comes) is killed once both are there. The next launch
// must not trust that interpreter but make the environment again, from
// nothing.
TEST_F(CrashRecovery, CreationCutShortIsMadeAgainFromNothing)
{
    const fs::path calls = box / "calls.log", hold = box / "hold", shipped = box / "shipped";
    const fs::path trace = fs::path(globals.venv) / "unfinished";
    ASSERT_EQ(::mkfifo(hold.c_str(), 0600), 0);
    fs::remove(bin / "python3");
    writeWithMode(bin / "python3",
        "#!/bin/sh\n"
        "echo \"$*\" >> '" + calls.string() + "'\n"
        "if [ \"$1 $2\" = '-m venv' ]; then\n"
        "  /bin/mkdir -p \"$3/bin\" && /bin/cp \"$0\" \"$3/bin/python\"\n"
        "  if [ -p '" + hold.string() + "' ]; then : > \"$3/unfinished\"; read line < '" + hold.string() + "'; fi\n"
        "fi\n",
        0755);
    const std::string requirements = "svprobe\n";
    writeWithMode(shipped / "start.py", "", 0644);
    writeWithMode(shipped / ".stamp", "1\n", 0644);
    writeWithMode(shipped / "requirements.txt", requirements, 0644);

    ASSERT_TRUE(killAt(shipped, after("interpreter made", [&] { return present(trace); }), 60s).interrupted);
    EXPECT_TRUE(isExecutableFile(globals.python));
    fs::remove(hold);

    launch(shipped);
    EXPECT_FALSE(present(trace));
    const std::string log = test::readFile(calls);
    EXPECT_EQ(log,
        "-m venv " + globals.venv + "\n-m venv " + globals.venv + "\n-m ensurepip --upgrade\n-m pip install -r "
            + globals.project + "/requirements.txt\n");
    EXPECT_EQ(stampText(), requirements);
}

} // namespace
} // namespace sv
