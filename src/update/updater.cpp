#include "update/updater.h"

#include "base/bundle_info.h"
#include "base/globals.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/temporary_directory.h"
#include "platform/ui.h"
#include "setup/command_runner.h"
#include "update/public_key.h"

#include <cmath>
#include <unistd.h>

namespace sv {
namespace {

std::string bundleIdentifier()
{
    if (auto identifier = identifierFromInfo(platform::Bundle::main().info()); identifier && !identifier->empty())
        return *identifier;
    return platform::builtInBundleIdentifier();
}

// Keeps a count of running checks right on every way out of a check.
class Counted {
public:
    explicit Counted(int& count) : count_(count) { ++count_; }
    ~Counted() { --count_; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

private:
    int& count_;
};

platform::Task<void> firstAutomaticCheck(std::weak_ptr<Updater*> self, double delay)
{
    co_await platform::sleepFor(delay);
    // The sleep always runs to its end; if the updater went meanwhile,
    // there is nothing left to check for.
    if (auto alive = self.lock())
        co_await (*alive)->check(false);
}

} // namespace

UpdaterSettings UpdaterSettings::standard()
{
    UpdaterSettings settings;
    settings.appVersion = [] { return versionFromInfo(platform::Bundle::main().info()); };
    settings.appBuild = [] { return buildFromInfo(platform::Bundle::main().info()); };
    settings.systemVersion = [] { return platform::runningSystemVersion(); };
    settings.userDefaults = userDefaultsPath(globals().home, bundleIdentifier());
    settings.defaultFeed = std::string(sv::defaultFeed);
    settings.appURL = globals().appURL;
    settings.bundle = [] { return platform::Bundle::main(); };
    settings.publicKeys = updatePublicKeys();
    settings.runProgram = commandRunner(globals());
    settings.temporaryDirectory = platform::temporaryDirectory();
    settings.processIdentifier = [] { return static_cast<int>(::getpid()); };
    settings.terminate = [] { platform::terminate(); };
    // Named as the entry point names them, after the identifier the
    // desktop knows the app by.
    settings.instanceLocks = sv::instanceLocks(platform::userRuntimeDirectory(), platform::builtInBundleIdentifier());
    return settings;
}

ProgramRunner commandRunner(Globals globals)
{
    return [globals = std::move(globals)](
               const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
        // Read whole: every name in the archive's listing is checked before
        // anything is unpacked, and the verified package bounds its size.
        RunResult result = run(globals, executable.string(), arguments, std::nullopt, wholeOutput);
        return ProgramResult { result.status, std::move(result.output) };
    };
}

Updater& Updater::shared()
{
    static Updater updater(UpdaterSettings::standard());
    return updater;
}

Updater::Updater(UpdaterSettings settings)
    : settings_(std::move(settings))
    , self_(std::make_shared<Updater*>(this))
{
}

Updater::~Updater() = default;

void Updater::start()
{
    platform::startDetached(firstAutomaticCheck(self_, settings_.firstCheckDelay));
    scheduleTick(std::chrono::steady_clock::now());
}

void Updater::followServer(std::function<int()> serverProcessIdentifier)
{
    settings_.serverProcessIdentifier = std::move(serverProcessIdentifier);
}

void Updater::askServerOnlyWhileOurs(std::function<bool()> serverHeldByOther)
{
    settings_.serverHeldByOther = std::move(serverHeldByOther);
}

void Updater::askBeforeQuitting(std::function<void(std::function<void(bool)>)> mayQuit)
{
    settings_.mayQuit = std::move(mayQuit);
}

void Updater::scheduleTick(std::chrono::steady_clock::time_point origin)
{
    // Ticks fall on whole multiples of the interval after start(), so they
    // do not drift by the time each one takes. After the machine slept past
    // several of them, only the next one still to come is kept.
    using Seconds = std::chrono::duration<double>;
    const double interval = settings_.checkInterval;
    if (!(interval > 0))
        return;
    const double elapsed = Seconds(std::chrono::steady_clock::now() - origin).count();
    const double next = (std::floor(elapsed / interval) + 1) * interval;
    std::weak_ptr<Updater*> self = self_;
    platform::mainAfter(next - elapsed, [self, origin] {
        auto alive = self.lock();
        if (!alive)
            return;
        Updater& updater = **alive;
        platform::startDetached(updater.check(false));
        updater.scheduleTick(origin);
    });
}

std::string Updater::feedURL() const
{
    return chooseFeedURL(readFeedURLDefault(settings_.userDefaults), settings_.defaultFeed);
}

platform::Task<void> Updater::check(bool manual)
{
    if (working_)
        co_return;
    const Counted counted(checksInProgress_);

    const platform::HttpResult result = co_await platform::fetch(feedRequest(feedURL(), settings_));

    // A failed transfer and a body that is not a feed (an error page, say)
    // are the same thing to the user: the server can't be reached.
    std::optional<UpdateInfo> info;
    if (result.ok()) {
        try {
            info = decodeUpdateInfo(result.response->body);
            info->feedScope = result.response->scope;
        } catch (const FeedDecodeError&) {
        }
    }
    if (!info) {
        if (manual)
            platform::alert(cantCheckTitle, cantCheckText);
        co_return;
    }

    // A release the system is too old for counts as no newer release.
    if (info->build <= settings_.appBuild() || !systemMeets(info->minimumSystemVersion)) {
        if (manual)
            platform::alert(upToDateTitle, upToDateText(settings_.appVersion()));
        co_return;
    }

    // Automatic checks offer each build once per process; asking is
    // recorded before the offer so a check that runs meanwhile sees it.
    if (manual || askedBuild_ != info->build) {
        askedBuild_ = info->build;
        co_await offer(std::move(*info));
    }
}

bool Updater::systemMeets(const std::optional<std::string>& minimumSystemVersion) const
{
    if (!minimumSystemVersion)
        return true;
    return settings_.systemVersion() >= requiredSystemVersion(*minimumSystemVersion);
}

platform::HttpRequest feedRequest(const std::string& url, const UpdaterSettings& settings)
{
    platform::HttpRequest request;
    request.url = url;
    request.timeout = settings.feedTimeout;
    request.reloadIgnoringCache = true;
    request.maxBodyBytes = maxFeedBytes;
    // Servers often compress JSON; the limit holds before and after decoding.
    request.acceptCompressed = true;
    return request;
}

platform::HttpRequest packageRequest(const UpdateInfo& info, const UpdaterSettings& settings)
{
    // The answer's status is not looked at: an error page is taken for the
    // package and then refused because nobody signed it. Never compressed,
    // so that the bytes counted against the limit are the bytes written.
    platform::HttpRequest request;
    request.url = info.url;
    request.namedFrom = info.feedScope;
    request.stallTimeout = settings.packageStallTimeout;
    request.maxBodyBytes = settings.maxPackageBytes;
    return request;
}

std::string upToDateText(const std::string& appVersion)
{
    return "You have version " + appVersion + ", the latest one.";
}

platform::SystemVersion requiredSystemVersion(std::string_view minimumSystemVersion)
{
    std::vector<std::int64_t> numbers;
    std::size_t at = 0;
    while (at <= minimumSystemVersion.size() && numbers.size() < 3) {
        const auto end = std::min(minimumSystemVersion.find('.', at), minimumSystemVersion.size());
        if (auto number = parseSignedInteger(minimumSystemVersion.substr(at, end - at)))
            numbers.push_back(*number);
        at = end + 1;
    }
    numbers.resize(3, 0);
    return { numbers[0], numbers[1], numbers[2] };
}

} // namespace sv
