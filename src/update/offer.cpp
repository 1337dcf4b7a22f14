#include "update/offer.h"

#include "platform/http.h"
#include "platform/ui.h"
#include "update/updater.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace sv {
namespace {

// The server's state is a small JSON object; anything near this is not one.
constexpr std::size_t maxStateBytes = 4 * 1024 * 1024;

} // namespace

std::string offerTitle(const std::string& version) { return "Sandvoll " + version + " is available"; }

std::string offerText(const std::optional<std::string>& notes, const std::string& appVersion,
    const std::vector<std::string>& runningJobs)
{
    std::string text;
    if (notes)
        text = *notes + "\n\n";
    text += "You have version " + appVersion + ". The app restarts after installing.";
    if (!runningJobs.empty()) {
        text += "\n\nStill running: ";
        for (std::size_t i = 0; i < runningJobs.size(); ++i)
            text += (i ? ", " : "") + runningJobs[i];
        text += ". These stop when the app restarts; you can start them again afterwards.";
    }
    return text;
}

std::vector<std::string> runningJobsFromState(std::string_view body)
{
    // The parser builds and frees even very deep documents without
    // recursion, so the server's answer needs no depth limit here.
    const auto state = nlohmann::json::parse(body, nullptr, false);
    if (state.is_discarded() || !state.is_object())
        return {};
    const auto jobs = state.find("jobs");
    if (jobs == state.end() || !jobs->is_object())
        return {};
    std::vector<std::string> names;
    for (const auto& [name, job] : jobs->items()) {
        if (!job.is_object())
            return {};
        const auto running = job.find("running");
        if (running != job.end() && running->is_boolean() && running->get<bool>())
            names.push_back(name);
    }
    // Byte order of UTF-8 is code point order.
    std::sort(names.begin(), names.end());
    return names;
}

std::string stateURL(const std::string& appURL)
{
    return appURL + (appURL.ends_with('/') ? "" : "/") + "api/state";
}

platform::Task<void> Updater::offer(UpdateInfo info)
{
    // The dialog waits for the job list, so it names what a restart stops.
    const std::vector<std::string> jobs = co_await runningJobs();
    const int choice = platform::ui().choose(offerTitle(info.version),
        offerText(info.notesEN, settings_.appVersion(), jobs), { installButton, laterButton });
    if (choice == 0)
        co_await install(std::move(info));
}

platform::Task<std::vector<std::string>> Updater::runningJobs()
{
    // Another account's program on the port (ours has ended) is asked
    // nothing: it would learn that an update is on offer, and could name
    // whatever jobs it liked in the offer.
    if (settings_.serverHeldByOther && settings_.serverHeldByOther())
        co_return std::vector<std::string>();
    platform::HttpRequest request;
    request.url = stateURL(settings_.appURL);
    request.timeout = settings_.stateTimeout;
    request.maxBodyBytes = maxStateBytes;
    const platform::HttpResult result = co_await platform::fetch(std::move(request));
    // Whatever went wrong, the offer is simply made without the job list.
    if (!result.ok())
        co_return std::vector<std::string>();
    co_return runningJobsFromState(result.response->body);
}

} // namespace sv
