#include "update/updater.h"

#include "platform/crypto.h"
#include "platform/http.h"
#include "platform/ui.h"
#include "update/package_check.h"
#include "update/package_install.h"
#include "update/swap_script.h"
#include "update/update_error.h"

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

} // namespace

platform::Task<void> Updater::install(UpdateInfo info)
{
    // One installation at a time. The flag is up before the download
    // suspends, so another install and every check started meanwhile stand
    // aside.
    if (working_)
        co_return;
    const Installing installing(working_);

    std::filesystem::path work;
    std::exception_ptr failure;
    try {
        // Only named here; it is created once the package has been verified.
        work = settings_.temporaryDirectory / (std::string(workDirectoryPrefix) + platform::randomUUIDString());

        // The answer's status is not looked at: an error page is taken for the
        // package and then refused because nobody signed it.
        platform::HttpRequest request;
        request.url = info.url;
        request.timeout = settings_.packageTimeout;
        request.maxBodyBytes = settings_.maxPackageBytes;
        platform::HttpResult download = co_await platform::fetch(std::move(request));
        if (!download.ok())
            throw DownloadFailed(download.error);
        const std::string package = std::move(download.response->body);

        InstallEnvironment environment { settings_.publicKey, runningAppFrom(settings_.bundle()),
            settings_.runProgram };
        // The package must be newer than the build the check compared the
        // feed with, which is the bundle's own in the app.
        environment.running.build = settings_.appBuild();
        const auto newBundle = preparePackage(package, info.sha256, info.signature, work, environment);

        startSwapScript(swapScriptText(settings_.processIdentifier(), environment.running.bundle, newBundle, work),
            settings_.shell);
    } catch (...) {
        failure = std::current_exception();
    }

    if (failure) {
        // Nothing outside the work directory was touched, and it goes now.
        platform::alert(std::string(updateNotInstalledTitle), std::string(abandonInstall(work, failure)));
        co_return;
    }

    // The script now waits for this process to end; the work directory is
    // its to remove, whatever happens here. The app's termination does not
    // return, but should it ever, the script simply keeps waiting and the
    // updater is free again.
    settings_.terminate();
}

} // namespace sv
