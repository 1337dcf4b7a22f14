#include "update/updater.h"

#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/ui.h"
#include "update/install_progress.h"
#include "update/launch_gate.h"
#include "update/package_check.h"
#include "update/package_install.h"
#include "update/swap_script.h"
#include "update/update_error.h"

#include <atomic>
#include <exception>
#include <stdexcept>

namespace sv {
namespace {

// A transfer that brought no response at all. Like every failure that is not
// the installation's own, the user hears that the download failed.
class DownloadFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user stopped the install, or the page asked to stay; nothing more is
// shown.
struct InstallCancelled { };

// Keeps `working` set for exactly as long as one installation runs, on every
// way out of it.
class Installing {
public:
    explicit Installing(bool& working) : working_(working) { working_ = true; }
    ~Installing() { working_ = false; }
    Installing(const Installing&) = delete;
    Installing& operator=(const Installing&) = delete;

private:
    bool& working_;
};

using Progress = std::shared_ptr<platform::ProgressWindow>;

// Shows new figures at most ten times a second. Runs on the download's
// worker; the window, on the main thread, may be gone by the time they come.
std::function<bool(std::uint64_t, std::uint64_t)> downloadMeter(
    const Progress& progress, std::string text, std::shared_ptr<std::atomic<bool>> cancelled)
{
    return [window = std::weak_ptr(progress), text = std::move(text), cancelled,
               last = std::chrono::steady_clock::time_point(),
               shownComplete = false](std::uint64_t received, std::uint64_t expected) mutable {
        if (*cancelled)
            return false;
        const auto now = std::chrono::steady_clock::now();
        // The last figures always show: the bar then ends full.
        const bool complete = expected != 0 && received >= expected;
        if (now - last >= std::chrono::milliseconds(100) || (complete && !shownComplete)) {
            shownComplete = complete;
            last = now;
            platform::mainAsync([window, text, received, expected] {
                if (auto shown = window.lock())
                    shown->update(text, transferredFraction(received, expected), transferredText(received, expected));
            });
        }
        return true;
    };
}

} // namespace

platform::Task<void> Updater::install(UpdateInfo info)
{
    // One installation at a time. The flag is up before the download
    // suspends, so another install and every check started meanwhile stand
    // aside.
    if (working_)
        co_return;
    const Installing installing(working_);
    if (!std::exchange(cleanupAtQuit_, true)) {
        platform::onWillTerminate([self = std::weak_ptr(self_)] {
            if (auto alive = self.lock())
                (*alive)->removeLeftovers();
        });
    }

    // Cancel works up to the hand-over: the download stops at once, a step
    // on a worker when it is done.
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    Progress progress = platform::ui().showProgress(progressTitle, cancelButton, [cancelled] { *cancelled = true; });
    progress->update(downloadingText(info.version), 0.0, transferredText(0, 0));
    const auto stopIfCancelled = [&] {
        if (*cancelled)
            throw InstallCancelled();
    };

    // Each set once this install has made it, and only then: a failure
    // removes these and nothing else, least of all what stood at their
    // names before.
    std::filesystem::path work;
    std::filesystem::path staged;
    std::exception_ptr failure;
    try {
        // Made before the download and private to the user: the package goes
        // straight to disk, and only a few MiB of it are ever in memory.
        const auto workPath = newWorkDirectoryPath(settings_.temporaryDirectory);
        UniqueFd file = createWorkDirectory(workPath);
        work = workPath;
        leftovers_ = { work };

        platform::HttpRequest request = packageRequest(info, settings_);
        request.onBody = [fd = file.get()](std::string_view piece) { return writeAll(fd, piece); };
        request.onProgress = downloadMeter(progress, downloadingText(info.version), cancelled);
        const platform::HttpResult download = co_await platform::fetch(std::move(request));
        stopIfCancelled();
        if (!download.ok())
            throw DownloadFailed(download.error);
        if (file.reset() != 0)
            throw DownloadFailed("cannot write the package");

        progress->update(verifyingText(info.version), std::nullopt, "");
        InstallEnvironment environment { settings_.publicKeys, runningAppFrom(settings_.bundle()),
            settings_.runProgram, nullptr };
        environment.verified = [window = std::weak_ptr(progress), text = installingText(info.version)] {
            platform::mainAsync([window, text] {
                if (auto shown = window.lock())
                    shown->update(text, std::nullopt, "");
            });
        };
        // The package must be newer than the build the check compared the
        // feed with, which is the bundle's own in the app.
        environment.running.build = settings_.appBuild();
        // Verifying, unpacking and copying take seconds for a large package;
        // the app's window goes on meanwhile.
        const auto newBundle = co_await platform::onWorker(
            [&] { return preparePackage(work, info.sha256, info.signature, environment); });
        stopIfCancelled();

        SwapPlan plan = planSwap(settings_.processIdentifier(), 0, environment.running.bundle, work);
        plan.runningLock = settings_.instanceLocks.running;
        claimStagingName(plan);
        staged = plan.staged;
        leftovers_.push_back(staged);
        co_await platform::onWorker([&] {
            stageNewBundle(newBundle, plan, settings_.runProgram);
            return true;
        });
        stopIfCancelled();

        // Quitting for the update must not throw away what the person has
        // not saved in the page, so the page is asked as Quit asks it: last,
        // so that little can change between its answer and the quit, and
        // before the swap lock, so that no launch waits on a person. "Stay"
        // ends the install like Cancel.
        if (settings_.mayQuit && !co_await platform::answerOf<bool>(settings_.mayQuit))
            throw InstallCancelled();
        stopIfCancelled();

        // From the moment the swap lock is held, a launch waits until the
        // new version has shown its window, and then hands over to it.
        UniqueFd swapLock;
        co_await platform::onWorker([&] {
            swapLock = takeSwapLock(settings_.instanceLocks.swap, plan.bundle);
            return true;
        });
        stopIfCancelled();

        // The server's id is read at the last moment, with no turn of the main
        // loop before the script starts: there the app reaps a server that
        // has ended, and its id may then belong to another process.
        plan.serverPid = settings_.serverProcessIdentifier ? settings_.serverProcessIdentifier() : 0;
        startSwapScript(swapScriptArguments(plan), settings_.shell, swapLock.get());
    } catch (...) {
        failure = std::current_exception();
    }

    if (failure) {
        // Nothing of the running app was touched; what the install made goes now.
        leftovers_.clear();
        progress.reset();
        removeTree(staged);
        const auto text = abandonInstall(work, failure);
        try {
            std::rethrow_exception(failure);
        } catch (const InstallCancelled&) {
            co_return;
        } catch (...) {
        }
        platform::alert(std::string(updateNotInstalledTitle), std::string(text));
        co_return;
    }

    // The script now waits for this process to end; the work directory and
    // the staged bundle are its to remove, whatever happens here. The app's
    // termination does not return, but should it ever, the script simply
    // keeps waiting and the updater is free again.
    leftovers_.clear();
    settings_.terminate();
}

void Updater::removeLeftovers() noexcept
{
    for (const auto& path : std::exchange(leftovers_, {}))
        removeTree(path);
}

} // namespace sv
