#pragma once
// The app's self-update controller: scheduled and manual checks of the feed,
// and the offer of a newer release.

#include "base/globals.h"
#include "platform/bundle.h"
#include "platform/http.h"
#include "platform/system_version.h"
#include "platform/task.h"
#include "update/launch_gate.h"
#include "update/package_unpack.h"
#include "update/update_info.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sv {

// Everything the updater takes from outside. The app uses standard(); tests
// pass their own build, feed, server address and shorter delays.
struct UpdaterSettings {
    std::function<std::string()> appVersion;
    std::function<std::int64_t()> appBuild;
    std::function<platform::SystemVersion()> systemVersion;
    // The user defaults file that may name another feed; read at every check.
    std::filesystem::path userDefaults;
    std::string defaultFeed;
    // The local server's root URL; its jobs are at "api/state" below it.
    std::string appURL;

    double firstCheckDelay = 30; // seconds after start()
    double checkInterval = 86400; // seconds, counted from start()
    std::chrono::milliseconds feedTimeout { 20000 };
    // The job list only decorates the offer; a stuck server must not hold it up.
    std::chrono::milliseconds stateTimeout { 5000 };

    // Installing. The package is streamed to disk, so the size limit only
    // keeps a server that never stops sending from filling it; 1 GiB leaves
    // room for any sensible bundle. There is no limit on the whole transfer,
    // so a slow line that keeps sending always gets there, but one that has
    // sent nothing for this long has failed.
    std::chrono::milliseconds packageStallTimeout { std::chrono::seconds(60) };
    std::size_t maxPackageBytes = std::size_t { 1 } << 30;
    // The running app's bundle: what the package must match, and the
    // directory the swap script replaces.
    std::function<platform::Bundle()> bundle;
    // Base64 texts of the Ed25519 keys that packages may be signed with;
    // none trusts nothing.
    std::vector<std::string> publicKeys;
    // Runs the extractor.
    ProgramRunner runProgram;
    // Where work directories are made.
    std::filesystem::path temporaryDirectory;
    // The process whose end the swap script waits for, and how it is ended.
    std::function<int()> processIdentifier;
    // The server that process started, if any (0 or unset: none, or one
    // that has ended and been reaped), which must have ended before the new
    // version starts. Read on the main thread just before the script starts.
    std::function<int()> serverProcessIdentifier;
    // True when another account's program holds the local server's port;
    // asked before each question to the server. Unset: never.
    std::function<bool()> serverHeldByOther;
    std::function<void()> terminate;
    // Asked once the new bundle is ready, before the swap script starts:
    // whether the app may quit now, as the app's own Quit asks its page. It
    // hands the answer (true: it may) to the callback once, on the main
    // thread, at once or later. Unset: nothing is asked.
    std::function<void(std::function<void(bool)>)> mayQuit;
    // The shell that runs the swap script.
    std::filesystem::path shell = "/bin/sh";
    // What keeps launches apart from the swap (launch_gate.h).
    InstanceLocks instanceLocks;

    // The running bundle's version and build, the kernel's version, the
    // user's defaults file, the built-in feed and the process's appURL; for
    // installing, the running bundle, the baked-in keys, the command runner,
    // the user's temporary directory, this process and its normal
    // termination, and the instance locks in the user's runtime directory. Call after the process-wide values are installed.
    [[nodiscard]] static UpdaterSettings standard();
};

class Updater {
public:
    // The one updater of the app, made with standard settings on first use
    // and kept until the process ends. Main thread only.
    static Updater& shared();

    explicit Updater(UpdaterSettings settings);
    // Pending timers are disarmed. Destroy an updater only while no check
    // is running (the shared one is never destroyed before exit).
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Schedules the automatic checks: the first after firstCheckDelay, then
    // one every checkInterval counted from now. Call once, on the main thread.
    void start();

    // Where the updater learns which server the app started.
    void followServer(std::function<int()> serverProcessIdentifier);
    // Where the updater learns how to tell whose program holds the server's
    // port (UpdaterSettings::serverHeldByOther).
    void askServerOnlyWhileOurs(std::function<bool()> serverHeldByOther);
    // Where the updater learns whom to ask before an update quits the app
    // (UpdaterSettings::mayQuit).
    void askBeforeQuitting(std::function<void(std::function<void(bool)>)> mayQuit);

    // One check of the feed. Manual checks report every outcome; automatic
    // ones stay silent unless they have something to offer. Never throws.
    // Start it detached (platform::startDetached) from menus and pages.
    [[nodiscard]] platform::Task<void> check(bool manual);

    // The feed address a check would use now.
    [[nodiscard]] std::string feedURL() const;

    // True while an installation runs; every check is then a no-op.
    [[nodiscard]] bool working() const { return working_; }
    // The build last offered in this process (0 before any offer).
    [[nodiscard]] std::int64_t askedBuild() const { return askedBuild_; }
    // How many checks have begun and not yet ended.
    [[nodiscard]] int checksInProgress() const { return checksInProgress_; }

private:
    friend struct UpdaterTestAccess;

    [[nodiscard]] platform::Task<void> offer(UpdateInfo info);
    [[nodiscard]] platform::Task<std::vector<std::string>> runningJobs();
    [[nodiscard]] platform::Task<void> install(UpdateInfo info);
    [[nodiscard]] bool systemMeets(const std::optional<std::string>& minimumSystemVersion) const;
    void scheduleTick(std::chrono::steady_clock::time_point origin);

    // An install that the app's quitting cuts short leaves nothing behind.
    void removeLeftovers() noexcept;

    UpdaterSettings settings_;
    bool working_ = false;
    // What the running install has made so far, until it is handed over.
    std::vector<std::filesystem::path> leftovers_;
    bool cleanupAtQuit_ = false;
    std::int64_t askedBuild_ = 0;
    int checksInProgress_ = 0;
    // Timers and the delayed first check hold a weak reference to this and
    // do nothing once it is gone.
    std::shared_ptr<Updater*> self_;
};

// The command runner with the given process-wide values, as installing takes
// it: the exit status (not 0 when the program could not be started) and the
// output.
[[nodiscard]] ProgramRunner commandRunner(Globals globals);

// The largest feed body a check reads. A feed is a few hundred bytes of JSON;
// anything near this is not one.
inline constexpr std::size_t maxFeedBytes = 4 * 1024 * 1024;

// The requests an update check and an install make, as the settings say:
// for the feed and for the package it names, which goes no nearer than the
// feed's server. The publisher's tool makes the very same, so that what it
// checks is what an app gets.
[[nodiscard]] platform::HttpRequest feedRequest(const std::string& url, const UpdaterSettings& settings);
[[nodiscard]] platform::HttpRequest packageRequest(const UpdateInfo& info, const UpdaterSettings& settings);

// Message texts of a check.
inline constexpr const char* cantCheckTitle = "Can't check for updates";
inline constexpr const char* cantCheckText = "The update server can't be reached right now. Please try again later.";
inline constexpr const char* upToDateTitle = "Sandvoll is up to date";
[[nodiscard]] std::string upToDateText(const std::string& appVersion);

// The version a release's minimumSystemVersion asks for: the dot-separated
// pieces that are whole numbers (optional sign, digits), major first; pieces
// that are not are dropped and the later ones move up; missing ones are 0.
[[nodiscard]] platform::SystemVersion requiredSystemVersion(std::string_view minimumSystemVersion);

} // namespace sv
